// Services about the device's place on the bus: port cycle and reset, the topology address
// and its comparison, the host stack's bus interface, and the instance string.
#pragma once

#include "platform/kernel_helpers.h"
#include "platform/wdf.h"

NTSTATUS CyclePort(WDFDEVICE device);
NTSTATUS ResetPort(WDFDEVICE device);

NTSTATUS GetUsbTopologyAddress(WDFDEVICE device, PUSB_TOPOLOGY_ADDRESS address);
// True when both devices hang below the same hub, compared down to the shallower of the two.
BOOLEAN DoPassedUsbTopologyAddressesReferToSameDevice(WDFDEVICE device,
                                                      const USB_TOPOLOGY_ADDRESS* a,
                                                      const USB_TOPOLOGY_ADDRESS* b);

NTSTATUS ObtainAndReferenceHCDirectCallInterface(WDFDEVICE device);
// Releases the reference once, however often it is called.
void DereferenceHCDirectCallInterface(WDFDEVICE device);

// Pool tag of the instance-string copy, which the device context owns until release.
inline constexpr ULONG INSTANCE_STRING_TAG = PoolTag("iinf");

// The lower-case instance identifier cut from the name of the device's hardware key; the caller
// owns the copy (tag "iinf"). null on any failure, with *size 0.
PWSTR QueryInstanceString(WDFDEVICE device, PDEVICE_OBJECT physicalDeviceObject, SIZE_T* size);
PWSTR AllocateInstanceStringCopy(PCWSTR string, SIZE_T* size);
