// Kernel pool. Every allocation carries a four-character tag so the machine can account for
// it, fail it on purpose and report what was never freed.
#pragma once

#include "platform/types.h"

enum POOL_TYPE : ULONG {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 0x200,
};

// Returns nullptr when the pool is exhausted (or a fault plan says so). Memory is not zeroed.
PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
void ExFreePoolWithTag(PVOID p, ULONG tag);

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
