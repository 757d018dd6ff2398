// What the driver logic adds to the system's calls, the same over either face of platform/:
// pool tags written as text, relative intervals in milliseconds, and scope guards for pool
// blocks and the two lock kinds the driver uses.
#pragma once

#include "platform/pool.h"
#include "platform/sync.h"

// Relative kernel intervals are negative counts of 100 ns.
constexpr LONGLONG RelativeMilliseconds(LONGLONG milliseconds) { return -10000LL * milliseconds; }

// A tag written as its four characters, in the order a pool dump shows them: PoolTag("urbt").
constexpr ULONG PoolTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}

// Frees a pool block when the scope ends unless released; the one way the driver logic owns
// a temporary buffer.
class PoolBuffer {
public:
    PoolBuffer(POOL_TYPE poolType, SIZE_T size, ULONG tag)
        : p_(ExAllocatePoolWithTag(poolType, size, tag)), tag_(tag) {}
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;
    ~PoolBuffer() {
        if (p_ != nullptr) {
            ExFreePoolWithTag(p_, tag_);
        }
    }
    explicit operator bool() const { return p_ != nullptr; }
    template <class T = UCHAR>
    T* get() const {
        return static_cast<T*>(p_);
    }
    PVOID release() {
        PVOID p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PVOID p_;
    ULONG tag_;
};

// Scope guards for the two lock kinds the driver uses.
class KMutexGuard {
public:
    explicit KMutexGuard(PRKMUTEX mutex) : mutex_(mutex) {
        KeWaitForSingleObject(mutex_, Executive, KernelMode, FALSE, nullptr);
    }
    KMutexGuard(const KMutexGuard&) = delete;
    KMutexGuard& operator=(const KMutexGuard&) = delete;
    ~KMutexGuard() { KeReleaseMutex(mutex_, FALSE); }

private:
    PRKMUTEX mutex_;
};

class InStackQueuedSpinLockGuard {
public:
    explicit InStackQueuedSpinLockGuard(PKSPIN_LOCK lock) {
        KeAcquireInStackQueuedSpinLock(lock, &handle_);
    }
    InStackQueuedSpinLockGuard(const InStackQueuedSpinLockGuard&) = delete;
    InStackQueuedSpinLockGuard& operator=(const InStackQueuedSpinLockGuard&) = delete;
    ~InStackQueuedSpinLockGuard() { KeReleaseInStackQueuedSpinLock(&handle_); }

private:
    KLOCK_QUEUE_HANDLE handle_;
};
