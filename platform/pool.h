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
NTAPI PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
NTAPI void ExFreePoolWithTag(PVOID p, ULONG tag);
