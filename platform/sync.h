// Interlocked operations, dispatcher objects (events, mutexes), spin locks, delays and the
// system timer resolution.
#pragma once

#include <atomic>
#include <thread>
#include <type_traits>

#include "platform/ntstatus.h"

// Interlocked operations on plain 32-bit fields: every access to a cross-thread flag goes
// through one of these, so no access is a data race.
inline LONG InterlockedExchange(LONG* target, LONG value) {
    return std::atomic_ref<LONG>(*target).exchange(value);
}
// Returns the initial value; the exchange happens only when it equalled comparand.
inline LONG InterlockedCompareExchange(LONG* destination, LONG exchange, LONG comparand) {
    std::atomic_ref<LONG>(*destination).compare_exchange_strong(comparand, exchange);
    return comparand;
}
inline LONG InterlockedIncrement(LONG* addend) { return ++std::atomic_ref<LONG>(*addend); }
inline LONG InterlockedDecrement(LONG* addend) { return --std::atomic_ref<LONG>(*addend); }

// Single unordered stores and loads of fields that other threads read without a lock.
template <class T>
    requires std::is_integral_v<T>
inline void WriteNoFence(T* target, std::type_identity_t<T> value) {
    std::atomic_ref<T>(*target).store(value, std::memory_order_relaxed);
}
template <class T>
    requires std::is_integral_v<T>
inline T ReadNoFence(T* source) {
    return std::atomic_ref<T>(*source).load(std::memory_order_relaxed);
}

// Dispatcher objects live in caller storage (stack, device context) and need no teardown.
enum : LONG { NotificationEvent = 0, SynchronizationEvent = 1, DispatcherMutex = 2 };
using EVENT_TYPE = LONG;

struct DISPATCHER_HEADER {
    LONG Type;
    LONG SignalState;    // guarded by the machine's dispatcher lock
    ULONG_PTR Owner;     // mutex owner thread, 0 when free
    ULONG OwnerCount;    // mutex recursion
};

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;

struct KMUTEX {
    DISPATCHER_HEADER Header;
};
using PRKMUTEX = KMUTEX*;

void KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PKEVENT event, KPRIORITY increment, BOOLEAN wait);
void KeClearEvent(PKEVENT event);
LONG KeReadStateEvent(PKEVENT event);

void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);

// Waits on a KEVENT or KMUTEX. timeout: null waits without limit; a negative value is a
// relative interval in 100 ns. STATUS_SUCCESS, or STATUS_TIMEOUT when the interval ran out.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, LARGE_INTEGER* timeout);

// Sleeps for a relative (negative) interval in 100 ns units.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                LARGE_INTEGER* interval);

// Requests (set TRUE) or withdraws (set FALSE) a finer system timer; returns the resolution
// in force, in 100 ns.
ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution);
ULONG KeQueryTimeIncrement();

// Spin locks: taken only around short copies, never across a wait.
using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

struct KLOCK_QUEUE_HANDLE {
    PKSPIN_LOCK Lock;
    UCHAR OldIrql;
};

inline void KeInitializeSpinLock(PKSPIN_LOCK spinLock) {
    std::atomic_ref<KSPIN_LOCK>(*spinLock).store(0, std::memory_order_release);
}
inline void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK spinLock, KLOCK_QUEUE_HANDLE* handle) {
    std::atomic_ref<KSPIN_LOCK> lock(*spinLock);
    KSPIN_LOCK expected = 0;
    while (!lock.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
        expected = 0;
        std::this_thread::yield();
    }
    handle->Lock = spinLock;
    handle->OldIrql = 0;
}
inline void KeReleaseInStackQueuedSpinLock(KLOCK_QUEUE_HANDLE* handle) {
    std::atomic_ref<KSPIN_LOCK>(*handle->Lock).store(0, std::memory_order_release);
}
