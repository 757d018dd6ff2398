// The Windows face of platform/: the kernel's own headers, and only what they lack. The build of
// the driver image puts platform/windows/ on the include path before the repository root, so
// "platform/types.h" reaches this file there and platform/types.h everywhere else.
#pragma once

// mingw-w64's wdm.h defines two interlocked intrinsics that its intrin.h also defines in C++;
// these keep intrin.h's copies out.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

// ntifs.h is ntddk.h and wdm.h plus the object-manager calls (ObQueryNameString).
#include <ntifs.h>

// The one way the driver logic writes wide text: WCHAR is wchar_t here.
#define WIDE(text) L##text
