// The device's configuration: the framework USB target, the cached descriptors, the bounded
// descriptor walk and the switch between alternate settings of the DFU interface.
#pragma once

#include "platform/kernel_helpers.h"
#include "platform/wdf.h"

// Creates the USB target once, copies the device descriptor and selects the configuration.
NTSTATUS ReadAndSelectDescriptors(WDFDEVICE device);
NTSTATUS ConfigureDevice(WDFDEVICE device);
NTSTATUS SelectInterfaces(WDFDEVICE device);

// Whether descriptor is a whole, well-formed descriptor inside the cached configuration.
BOOLEAN IsDescriptorValid(WDFDEVICE device, const USB_COMMON_DESCRIPTOR* descriptor);
// null starts the walk at the configuration descriptor; null ends it.
PUSB_COMMON_DESCRIPTOR NextDescriptor(WDFDEVICE device, const USB_COMMON_DESCRIPTOR* descriptor);
// One past the last byte of the cached configuration (start + wTotalLength).
const UCHAR* GetConfigDescriptorEnd(WDFDEVICE device);

NTSTATUS SetAlternateSetting(WDFDEVICE device, UCHAR setting);

// Pool tag of the buffer GetConfigurationDescriptor hands to its caller.
inline constexpr ULONG CONFIGURATION_DESCRIPTOR_TAG = PoolTag("c73z");

// Reads the configuration descriptor from the device; on success the caller owns *descriptor
// (CONFIGURATION_DESCRIPTOR_TAG) and frees it. wTotalLength 9 gives success with no buffer.
NTSTATUS GetConfigurationDescriptor(WDFDEVICE device, PUSB_CONFIGURATION_DESCRIPTOR* descriptor,
                                    PULONG length);
void OutputConfigDescriptorToWPP(const USB_CONFIGURATION_DESCRIPTOR* descriptor);
