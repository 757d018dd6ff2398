// Software tracing: one macro layer keyed by the calling function. Texts and levels are free;
// the machine routes enabled traces to stderr or a file. Cheap when off: the format arguments
// are not evaluated unless the flag and level are enabled.
#pragma once

#include "platform/trace_flags.h"

// The formats are checked where the host's printf renders them. On Windows the trace layer is
// the system's software tracing, whose preprocessor types the arguments itself (%u takes a
// 32-bit ULONG there, which the C library's rules would call a mismatch).
#if defined(_WIN32)
#define OSTDFU_TRACE_FORMAT
#else
#define OSTDFU_TRACE_FORMAT __attribute__((format(printf, 4, 5)))
#endif

bool TraceIsEnabled(ULONG flag, ULONG level);
void TraceWrite(ULONG flag, ULONG level, const char* function, const char* format, ...)
    OSTDFU_TRACE_FORMAT;

#define TraceEvents(level, flag, ...)                          \
    do {                                                       \
        if (TraceIsEnabled((flag), (level))) {                 \
            TraceWrite((flag), (level), __func__, __VA_ARGS__); \
        }                                                      \
    } while (0)

struct DRIVER_OBJECT;
// Starting and stopping the driver's tracing session.
void WPP_INIT_TRACING(DRIVER_OBJECT* driverObject, const UNICODE_STRING* registryPath);
void WPP_CLEANUP(DRIVER_OBJECT* driverObject);
