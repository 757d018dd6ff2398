// The bodies of the pass-through and session I/O controls: any class or vendor request with
// its data stage in the request's MDL, the device's descriptors and strings, and the DFU
// session a file handle owns.
#pragma once

#include "platform/wdf.h"
#include "updater_interface/ioctl.h"

inline constexpr ULONG PASSTHROUGH_MAX_TIMEOUT_MS = 5000;

// directionIn: device-to-host. bytesTransferred may be null (host-to-device).
NTSTATUS IoctlClassOrVendorRequest(WDFDEVICE device, const ControlRequestRecord* record, PIRP irp,
                                   BOOLEAN directionIn, SIZE_T* bytesTransferred);
// The reply goes into the request's shared buffer, after the record has been read.
NTSTATUS IoctlGetUsbDescriptor(WDFDEVICE device, const DescriptorRequestRecord* record,
                               PVOID outputBuffer, ULONG outputBufferLength,
                               SIZE_T* bytesTransferred);
NTSTATUS IoctlBeginDfu(WDFDEVICE device, WDFREQUEST request, const UCHAR* input);
