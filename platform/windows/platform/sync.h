// Interlocked operations, dispatcher objects, spin locks, delays and the timer resolution: the
// kernel's own, plus the unordered single loads and stores the driver logic writes for fields
// other threads read without a lock.
#pragma once

#include <type_traits>

#include "platform/types.h"

// One plain access through a volatile glvalue: the compiler neither tears nor removes it, and
// x64 orders nothing around it, which is all the driver asks of these fields.
template <class T>
    requires std::is_integral_v<T>
inline void WriteNoFence(T* target, std::type_identity_t<T> value) {
    *static_cast<volatile T*>(target) = value;
}
template <class T>
    requires std::is_integral_v<T>
inline T ReadNoFence(T* source) {
    return *static_cast<volatile T*>(source);
}
