// The driver's only road to the device's default control pipe (the control gate), and the
// hand-built synchronous URB submission used for standard descriptor reads and internal USB
// I/O controls.
#pragma once

#include "platform/wdf.h"

// The URB header status the gate sets before sending: a URB that never reached the bus driver
// reports it. Not a status of the USB stack's own list.
inline constexpr USBD_STATUS USBD_STATUS_NOT_SENT = static_cast<USBD_STATUS>(0xFFFFFFFFu);

// One class or vendor control transfer (or GET_STATUS) to the default I/O target, waited for
// synchronously. Once a URB was allocated, the optional outputs receive the bytes moved and the
// USB completion status, whatever the result.
NTSTATUS ControlVendorOrClassRequest(WDFDEVICE device, USHORT function, UCHAR request,
                                     USHORT value, USHORT index, ULONG transferFlags,
                                     PVOID transferBuffer, PMDL transferBufferMdl,
                                     ULONG transferLength, PULONG bytesTransferred,
                                     ULONG timeoutMs, USBD_STATUS* usbStatus);

// IOCTL_INTERNAL_USB_SUBMIT_URB in an IRP built by hand, sent to targetDevice and waited for
// with a time-out (0: no limit; a negative value counts by its magnitude) and cancellation.
NTSTATUS SendUrbToUSB(PDEVICE_OBJECT ownDevice, PDEVICE_OBJECT targetDevice, PURB urb,
                      PVOID argument4, ULONG_PTR argument2, PVOID userBuffer, LONG timeoutMs);
// The same road for any internal USB I/O control.
NTSTATUS SendArgument1And2BufferToUSB(PDEVICE_OBJECT ownDevice, PDEVICE_OBJECT targetDevice,
                                      ULONG ioControlCode, PVOID argument1, ULONG_PTR argument2,
                                      PVOID argument4, PVOID userBuffer, LONG timeoutMs);
// Completion routine of both hand-built IRPs; the context is the waiting event.
IO_COMPLETION_ROUTINE SyncCompleteSubmitUrb;

// Fills a zeroed GET_DESCRIPTOR_FROM_DEVICE request for the buffer.
void BuildDescriptorRequest(PURB urb, UCHAR descriptorType, UCHAR index, USHORT languageId,
                            PVOID buffer, ULONG length);

NTSTATUS GetUSBDescriptor(WDFDEVICE device, UCHAR descriptorType, UCHAR index, USHORT languageId,
                          PVOID buffer, ULONG bufferLength, PULONG bytesReceived, LONG timeoutMs,
                          USBD_STATUS* usbStatus);
// Reads string descriptor index into destination as NUL-terminated UTF-16 (never fails on a
// short or odd answer; the whole destination is zeroed first).
NTSTATUS GetStringDescString(const USB_DEVICE_DESCRIPTOR* deviceDescriptor, UCHAR index,
                             USHORT languageId, PDEVICE_OBJECT ownDevice,
                             PDEVICE_OBJECT targetDevice, PWSTR destination,
                             ULONG destinationBytes);
