// Learns from the bootloader which commands it offers, where its segments start, whether its
// flash is read-protected, and which product it is; then applies the product row.
#pragma once

#include "platform/wdf.h"

enum class ProbeEnd {
    Identified,       // a row was applied, or the device keeps an identity without one
    NoFirstSegment,   // segment 1 has no base address: nothing was identified
};

// *end says how the probe ended. The status is not a success only when applying the product
// row failed in a way that ends the preparation (the sibling callback object).
NTSTATUS RunIdentityProbe(WDFDEVICE device, ProbeEnd* end);
