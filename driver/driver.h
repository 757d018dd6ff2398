// The driver-wide layer: the entry point and the driver object's cleanup. What they set up
// for every device (pool type, registry paths) is declared in context/driver_globals.h.
#pragma once

#include "context/driver_globals.h"
#include "platform/wdf.h"

// Pool tags of the driver-wide allocations and of device add.
inline constexpr ULONG OSTDFU_TAG_REGISTRY_PATH = 0x50474552;     // both registry-path copies
inline constexpr ULONG OSTDFU_TAG_ADD_PARAMETERS = 0x7A376C63;    // the values read at add
inline constexpr ULONG OSTDFU_TAG_HARDWARE_IDS = 0x7337386D;      // the hardware-ID list

// C linkage: the framework's entry stub calls it by this name.
extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_OBJECT_CONTEXT_CLEANUP OstDFUDriverEvtContextCleanup;
