// Software tracing on Windows without the tracing preprocessor: every trace is one debug print
// of the component "IHV driver", "ostdfu <flag> <function>: <text>", at the debug-print level
// of its trace level. Errors reach an attached debugger as the system is set up out of the
// box; the other levels once the component's filter mask admits them. The arguments are
// evaluated on every call; the kernel drops what the mask does not admit.
#pragma once

#include "platform/trace_flags.h"

constexpr ULONG TraceDebugPrintLevel(ULONG level) {
    switch (level) {
        case TRACE_LEVEL_ERROR: return DPFLTR_ERROR_LEVEL;
        case TRACE_LEVEL_WARNING: return DPFLTR_WARNING_LEVEL;
        case TRACE_LEVEL_INFORMATION: return DPFLTR_TRACE_LEVEL;
        default: return DPFLTR_INFO_LEVEL;
    }
}

#define TraceEvents(level, flag, format, ...)                                              \
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, TraceDebugPrintLevel(level), "ostdfu %s %s: " format "\n", \
               TraceFlagName(flag), __func__ __VA_OPT__(, ) __VA_ARGS__)

// Debug prints need no session.
#define WPP_INIT_TRACING(driverObject, registryPath) ((void)(driverObject), (void)(registryPath))
#define WPP_CLEANUP(driverObject) ((void)(driverObject))
