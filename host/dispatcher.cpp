#include "host/dispatcher.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "host/clock.h"
#include "host/machine.h"

namespace host {

std::uintptr_t currentThreadTag() {
    static std::atomic<std::uintptr_t> next{1};
    thread_local std::uintptr_t tag = next.fetch_add(1);
    return tag;
}

void Dispatcher::initializeEvent(KEVENT* event, EVENT_TYPE type, bool signalled) {
    std::lock_guard lock(mutex_);
    event->Header = {};
    event->Header.Type = type;
    event->Header.SignalState = signalled ? 1 : 0;
}

LONG Dispatcher::setEvent(KEVENT* event) {
    std::lock_guard lock(mutex_);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    signalled_.notify_all();
    return previous;
}

void Dispatcher::clearEvent(KEVENT* event) {
    std::lock_guard lock(mutex_);
    event->Header.SignalState = 0;
}

LONG Dispatcher::readEvent(KEVENT* event) {
    std::lock_guard lock(mutex_);
    return event->Header.SignalState;
}

void Dispatcher::initializeMutex(KMUTEX* mutex) {
    std::lock_guard lock(mutex_);
    mutex->Header = {};
    mutex->Header.Type = DispatcherMutex;
    mutex->Header.SignalState = 1;
}

LONG Dispatcher::releaseMutex(KMUTEX* mutex) {
    std::lock_guard lock(mutex_);
    DISPATCHER_HEADER& h = mutex->Header;
    if (h.Owner != currentThreadTag() || h.OwnerCount == 0) {
        std::fprintf(stderr, "dispatcher: mutex released by a thread that does not own it\n");
        std::abort();
    }
    LONG previous = h.SignalState;
    if (--h.OwnerCount == 0) {
        h.Owner = 0;
        h.SignalState = 1;
        signalled_.notify_all();
    }
    return previous;
}

bool Dispatcher::satisfiable(const DISPATCHER_HEADER* object, std::uintptr_t self) const {
    if (object->Type == DispatcherMutex) {
        return object->Owner == 0 || object->Owner == self;
    }
    return object->SignalState != 0;
}

void Dispatcher::satisfy(DISPATCHER_HEADER* object, std::uintptr_t self) {
    if (object->Type == DispatcherMutex) {
        object->Owner = self;
        ++object->OwnerCount;
        object->SignalState = 0;
    } else if (object->Type == SynchronizationEvent) {
        object->SignalState = 0;
    }
}

NTSTATUS Dispatcher::wait(DISPATCHER_HEADER* object, const LARGE_INTEGER* timeout) {
    const std::uintptr_t self = currentThreadTag();
    std::unique_lock lock(mutex_);
    auto ready = [&] { return satisfiable(object, self); };

    if (timeout == nullptr) {
        signalled_.wait(lock, ready);
        satisfy(object, self);
        return STATUS_SUCCESS;
    }
    if (timeout->QuadPart > 0) {
        std::fprintf(stderr, "dispatcher: absolute time-outs are not supported\n");
        std::abort();
    }
    const std::uint64_t micros = static_cast<std::uint64_t>(-timeout->QuadPart) / 10;
    const auto grace = clock_.isVirtual() ? std::chrono::microseconds(kVirtualWaitGrace)
                                          : std::chrono::microseconds(micros);
    const auto limit = std::min<std::chrono::microseconds>(grace, std::chrono::microseconds(micros));
    if (signalled_.wait_for(lock, limit, ready)) {
        satisfy(object, self);
        return STATUS_SUCCESS;
    }
    lock.unlock();
    if (clock_.isVirtual()) {
        clock_.sleepMicros(micros);
    }
    waits_.record(WaitLog::Kind::Timeout, micros);
    return STATUS_TIMEOUT;
}

NTSTATUS Dispatcher::delay(const LARGE_INTEGER* interval) {
    const LONGLONG units = interval->QuadPart < 0 ? -interval->QuadPart : interval->QuadPart;
    const std::uint64_t micros = static_cast<std::uint64_t>(units) / 10;
    waits_.record(WaitLog::Kind::Delay, micros);
    clock_.sleepMicros(micros);
    return STATUS_SUCCESS;
}

}  // namespace host

// ---- platform entry points -------------------------------------------------------------------

void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    host::Machine::current().dispatcher().initializeEvent(event, type, state != FALSE);
}
LONG KeSetEvent(PKEVENT event, KPRIORITY, BOOLEAN) {
    return host::Machine::current().dispatcher().setEvent(event);
}
void KeClearEvent(PKEVENT event) { host::Machine::current().dispatcher().clearEvent(event); }
LONG KeReadStateEvent(PKEVENT event) {
    return host::Machine::current().dispatcher().readEvent(event);
}
void KeInitializeMutex(PRKMUTEX mutex, ULONG) {
    host::Machine::current().dispatcher().initializeMutex(mutex);
}
LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN) {
    return host::Machine::current().dispatcher().releaseMutex(mutex);
}
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               LARGE_INTEGER* timeout) {
    return host::Machine::current().dispatcher().wait(static_cast<DISPATCHER_HEADER*>(object),
                                                      timeout);
}
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER* interval) {
    return host::Machine::current().dispatcher().delay(interval);
}
ULONG ExSetTimerResolution(ULONG, BOOLEAN setResolution) {
    host::TimerResolution& resolution = host::Machine::current().timerResolution();
    if (setResolution) {
        resolution.request();
    } else {
        resolution.release();
    }
    // Linux timers are finer than a millisecond already: report 1 ms in 100 ns units.
    return 10000;
}
ULONG KeQueryTimeIncrement() { return 10000; }

// The lock word is 0 when free. Held only around short copies, so a waiter yields rather than
// sleeps; the handle records the lock for the release.
void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK spinLock, PKLOCK_QUEUE_HANDLE handle) {
    std::atomic_ref<KSPIN_LOCK> lock(*spinLock);
    KSPIN_LOCK expected = 0;
    while (!lock.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
        expected = 0;
        std::this_thread::yield();
    }
    handle->LockQueue.Next = nullptr;
    handle->LockQueue.Lock = spinLock;
    handle->OldIrql = 0;
}
void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle) {
    std::atomic_ref<KSPIN_LOCK>(*handle->LockQueue.Lock).store(0, std::memory_order_release);
}
