// Host-side facts of the run-time library that other parts of the machine share.
#pragma once

#include "platform/kernel_helpers.h"
#include "platform/pool.h"

namespace host {

// Tag of string buffers the system allocates for the driver (interface links and the like),
// which the driver gives back with RtlFreeUnicodeString.
inline constexpr ULONG kSystemStringTag = PoolTag("Ustr");

// A UNICODE_STRING can count at most this many bytes.
inline constexpr std::size_t kMaxUnicodeStringBytes = 0xFFFE;

}  // namespace host
