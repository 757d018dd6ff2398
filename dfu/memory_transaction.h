// The opening every device-memory transaction shares.
#pragma once

#include "context/device_context.h"

// Both DFU descriptors are known.
inline bool HasDfuDescriptors(const FDO_DATA* fdo) {
    return fdo->DfuFunctionalDescriptor != nullptr && fdo->DfuInterfaceDescriptor != nullptr;
}

// DfuSetIdle, set the address pointer, DfuSetIdle; the first failure is the result.
NTSTATUS PointAt(WDFDEVICE device, ULONG address);

// wTransferSize of the functional descriptor, decoded byte by byte.
inline ULONG DfuTransferSize(const FDO_DATA* fdo) {
    const auto* bytes = reinterpret_cast<const UCHAR*>(fdo->DfuFunctionalDescriptor);
    return static_cast<ULONG>(bytes[5]) | static_cast<ULONG>(bytes[6]) << 8;
}
