// Interlocked operations, dispatcher objects (events, mutexes), spin locks, delays and the
// system timer resolution.
//
// Events, mutexes and spin locks live in the driver's storage (its stack, its device context)
// with the sizes they have on Windows x64, so a device context is laid out the same whether the
// driver was compiled here or is a loaded Windows image; only the machine reads inside them.
#pragma once

#include <atomic>
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

enum : LONG { NotificationEvent = 0, SynchronizationEvent = 1, DispatcherMutex = 2 };
using EVENT_TYPE = LONG;

// The 24-byte header every dispatcher object starts with. Inside it is the machine's: the
// object's kind, its signal state, and for a mutex the owning thread and its recursion count.
struct DISPATCHER_HEADER {
    LONG Type;
    LONG SignalState;  // guarded by the machine's dispatcher lock
    ULONG_PTR Owner;   // mutex owner thread, 0 when free
    ULONG OwnerCount;  // mutex recursion
};
static_assert(sizeof(DISPATCHER_HEADER) == 24 && offsetof(DISPATCHER_HEADER, SignalState) == 4);

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;
static_assert(sizeof(KEVENT) == 24);

struct KMUTEX {
    DISPATCHER_HEADER Header;
    UCHAR Reserved[32];  // the rest of the system's mutant, unused here
};
using PRKMUTEX = KMUTEX*;
static_assert(sizeof(KMUTEX) == 56);

NTAPI void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
NTAPI LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
NTAPI void KeClearEvent(PRKEVENT event);
NTAPI LONG KeReadStateEvent(PRKEVENT event);

NTAPI void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
NTAPI LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);

// Waits on a KEVENT or KMUTEX. timeout: null waits without limit; a negative value is a
// relative interval in 100 ns. STATUS_SUCCESS, or STATUS_TIMEOUT when the interval ran out.
NTAPI NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason,
                                     KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                     LARGE_INTEGER* timeout);

// Sleeps for a relative (negative) interval in 100 ns units.
NTAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                                      LARGE_INTEGER* interval);

// Requests (set TRUE) or withdraws (set FALSE) a finer system timer; returns the resolution
// in force, in 100 ns.
NTAPI ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution);
NTAPI ULONG KeQueryTimeIncrement();

// Spin locks: taken only around short copies, never across a wait. A spin lock is one word,
// zero when free; the queue handle lives on the taker's stack.
using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

struct KSPIN_LOCK_QUEUE {
    KSPIN_LOCK_QUEUE* Next;
    PKSPIN_LOCK Lock;
};

struct KLOCK_QUEUE_HANDLE {
    KSPIN_LOCK_QUEUE LockQueue;
    KIRQL OldIrql;
};
using PKLOCK_QUEUE_HANDLE = KLOCK_QUEUE_HANDLE*;
static_assert(sizeof(KLOCK_QUEUE_HANDLE) == 24);

// As the system's own header has it on x64: the lock's word is cleared in place.
inline void KeInitializeSpinLock(PKSPIN_LOCK spinLock) {
    std::atomic_ref<KSPIN_LOCK>(*spinLock).store(0, std::memory_order_release);
}
NTAPI void KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK spinLock, PKLOCK_QUEUE_HANDLE handle);
NTAPI void KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE handle);
