// Compile-time comparison of platform/'s records (in namespace ours) with the system's headers'
// records of the same name: the same size, and for each field of a list the same offset and
// size. Included by the cross-compiled layout checks after both are in.
#pragma once

#define OSTDFU_SAME_SIZE(type)                                 \
    static_assert(sizeof(ours::type) == sizeof(type),          \
                  #type " has another size than the system headers'");
#define OSTDFU_SAME_FIELD(type, field)                                    \
    static_assert(offsetof(ours::type, field) == offsetof(type, field) && \
                      sizeof(ours::type::field) == sizeof(type::field),   \
                  #type "." #field " differs from the system headers'");
// A record with the same size and, for each field of its list, the same offset and size.
#define OSTDFU_SAME_RECORD(type, FIELDS) OSTDFU_SAME_SIZE(type) FIELDS(OSTDFU_SAME_FIELD, type)
