// The driver's trace levels and flags, whichever face carries the traces: one flag per layer of
// the driver logic, levels as the system's software tracing numbers them.
#pragma once

#include "platform/types.h"

enum TRACE_LEVEL : ULONG {
    TRACE_LEVEL_ERROR = 2,
    TRACE_LEVEL_WARNING = 3,
    TRACE_LEVEL_INFORMATION = 4,
    TRACE_LEVEL_VERBOSE = 5,
};

enum TRACE_FLAG : ULONG {
    TRACE_DRIVER = 0x01,   // entry, add, preparation, teardown, identity
    TRACE_USB = 0x02,      // configuration, descriptors, transfers, port services
    TRACE_DFU = 0x04,      // DFU requests, DfuSe commands, device memory
    TRACE_CONTROL = 0x08,  // I/O controls
    TRACE_NOTIFY = 0x10,   // sibling callback, capabilities, event log
};

// The flag's name as traces print it; "?" for anything but one flag.
constexpr const char* TraceFlagName(ULONG flag) {
    switch (flag) {
        case TRACE_DRIVER: return "driver";
        case TRACE_USB: return "usb";
        case TRACE_DFU: return "dfu";
        case TRACE_CONTROL: return "control";
        case TRACE_NOTIFY: return "notify";
        default: return "?";
    }
}
