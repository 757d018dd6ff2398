// The control gate (class and vendor requests through the framework's I/O target) and the
// hand-built synchronous IRPs for standard descriptor reads and internal USB I/O controls.
#include "usb/control_transfer.h"

#include "context/device_context.h"
#include "context/driver_globals.h"
#include "platform/kernel_helpers.h"
#include "platform/trace.h"

namespace {

constexpr ULONG TAG_GATE_URB = PoolTag("urbt");
constexpr ULONG TAG_STRING_URB = PoolTag("utsw");

// A string descriptor's length lives in one byte.
constexpr ULONG MAX_STRING_DESCRIPTOR_BYTES = 255;

// The machinery shared by SendUrbToUSB and SendArgument1And2BufferToUSB.
NTSTATUS SendInternalIoctlAndWait(PDEVICE_OBJECT ownDevice, PDEVICE_OBJECT targetDevice,
                                  ULONG ioControlCode, PVOID argument1, PVOID argument2,
                                  PVOID argument4, PVOID userBuffer, LONG timeoutMs) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp = IoAllocateIrp(static_cast<CHAR>(targetDevice->StackSize + 1), FALSE);
    if (irp == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "no IRP for ioctl 0x%x", ioControlCode);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The extra first location is ours: it tells the completion routine who sent the IRP.
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = ownDevice;

    IoSetCompletionRoutine(irp, SyncCompleteSubmitUrb, &event, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = argument1;
    next->Parameters.Others.Argument2 = argument2;
    next->Parameters.Others.Argument4 = argument4;
    // Shares its slot with Argument3, which internal USB requests leave unused.
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    irp->UserBuffer = userBuffer;

    // 64-bit arithmetic: the magnitude of the most negative time-out does not fit a LONG.
    const LONGLONG magnitude = timeoutMs < 0 ? -static_cast<LONGLONG>(timeoutMs) : timeoutMs;
    LARGE_INTEGER timeout;
    timeout.QuadPart = RelativeMilliseconds(magnitude);
    LARGE_INTEGER* wait = timeoutMs != 0 ? &timeout : nullptr;

    NTSTATUS status = IofCallDriver(targetDevice, irp);
    if (status == STATUS_PENDING) {
        NTSTATUS waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, wait);
        if (waited == STATUS_TIMEOUT) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_USB, "ioctl 0x%x timed out, cancelling",
                        ioControlCode);
            IoCancelIrp(irp);
            // The lower driver still owns the IRP (and the caller's URB) until it completes it.
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    return status;
}

}  // namespace

NTSTATUS SyncCompleteSubmitUrb(PDEVICE_OBJECT /*deviceObject*/, PIRP irp, PVOID context) {
    if (irp->PendingReturned) {
        if (context != nullptr) {
            KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "pending IRP completed with no event");
        }
    }
    // The sender frees the IRP.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendUrbToUSB(PDEVICE_OBJECT ownDevice, PDEVICE_OBJECT targetDevice, PURB urb,
                      PVOID argument4, ULONG_PTR argument2, PVOID userBuffer, LONG timeoutMs) {
    return SendInternalIoctlAndWait(ownDevice, targetDevice, IOCTL_INTERNAL_USB_SUBMIT_URB, urb,
                                    reinterpret_cast<PVOID>(argument2), argument4, userBuffer,
                                    timeoutMs);
}

NTSTATUS SendArgument1And2BufferToUSB(PDEVICE_OBJECT ownDevice, PDEVICE_OBJECT targetDevice,
                                      ULONG ioControlCode, PVOID argument1, ULONG_PTR argument2,
                                      PVOID argument4, PVOID userBuffer, LONG timeoutMs) {
    return SendInternalIoctlAndWait(ownDevice, targetDevice, ioControlCode, argument1,
                                    reinterpret_cast<PVOID>(argument2), argument4, userBuffer,
                                    timeoutMs);
}

NTSTATUS ControlVendorOrClassRequest(WDFDEVICE device, USHORT function, UCHAR request, USHORT value,
                                     USHORT index, ULONG transferFlags, PVOID transferBuffer,
                                     PMDL transferBufferMdl, ULONG transferLength,
                                     PULONG bytesTransferred, ULONG timeoutMs,
                                     USBD_STATUS* usbStatus) {
    if (bytesTransferred != nullptr) {
        *bytesTransferred = 0;
    }
    PoolBuffer urbBuffer(NonPagedPoolType, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                         TAG_GATE_URB);
    if (!urbBuffer) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "no URB for function 0x%x", function);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* urb = urbBuffer.get<URB>();
    RtlZeroMemory(urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& control = urb->UrbControlVendorClassRequest;
    control.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    control.Hdr.Function = function;
    // A URB that never reaches the bus driver keeps this status.
    control.Hdr.Status = USBD_STATUS_NOT_SENT;
    control.TransferFlags = transferFlags;
    control.TransferBufferLength = transferLength;
    control.TransferBuffer = transferBuffer;
    control.TransferBufferMDL = transferBufferMdl;
    control.Request = request;
    control.Value = value;
    control.Index = index;

    WDF_MEMORY_DESCRIPTOR urbDescriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&urbDescriptor, urb,
                                      sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(timeoutMs));

    ULONG_PTR sent = 0;
    NTSTATUS status = WdfIoTargetSendInternalIoctlOthersSynchronously(
        FdoGetData(device)->DefaultIoTarget, WDF_NO_HANDLE, IOCTL_INTERNAL_USB_SUBMIT_URB,
        &urbDescriptor, nullptr, nullptr, &options, &sent);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_USB, "function 0x%x request %u: 0x%x, sent %llu",
                function, request, status, static_cast<unsigned long long>(sent));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB,
                    "function 0x%x request %u failed 0x%x, URB status 0x%x, sent %llu", function,
                    request, status, static_cast<unsigned>(control.Hdr.Status),
                    static_cast<unsigned long long>(sent));
    }
    if (usbStatus != nullptr) {
        *usbStatus = control.Hdr.Status;
    }
    // A URB the bus driver never saw still holds the length asked for: nothing was moved.
    if (bytesTransferred != nullptr && control.Hdr.Status != USBD_STATUS_NOT_SENT) {
        *bytesTransferred = control.TransferBufferLength;
    }
    return status;
}

void BuildDescriptorRequest(PURB urb, UCHAR descriptorType, UCHAR index, USHORT languageId,
                            PVOID buffer, ULONG length) {
    RtlZeroMemory(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.TransferBuffer = buffer;
    request.TransferBufferLength = length;
    request.DescriptorType = descriptorType;
    request.Index = index;
    request.LanguageId = languageId;
}

NTSTATUS GetUSBDescriptor(WDFDEVICE device, UCHAR descriptorType, UCHAR index, USHORT languageId,
                          PVOID buffer, ULONG bufferLength, PULONG bytesReceived, LONG timeoutMs,
                          USBD_STATUS* usbStatus) {
    PFDO_DATA fdo = FdoGetData(device);
    if (bytesReceived != nullptr) {
        *bytesReceived = 0;
    }
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    BuildDescriptorRequest(&urb, descriptorType, index, languageId, buffer, bufferLength);
    _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb.UrbControlDescriptorRequest;

    NTSTATUS status = SendUrbToUSB(fdo->DeviceObject, fdo->AttachedDeviceObject, &urb, nullptr, 0,
                                   nullptr, timeoutMs);
    if (NT_SUCCESS(status)) {
        if (bytesReceived != nullptr) {
            *bytesReceived = request.TransferBufferLength;
        }
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "descriptor 0x%x/%u failed 0x%x", descriptorType,
                    index, status);
    }
    if (usbStatus != nullptr) {
        *usbStatus = request.Hdr.Status;
    }
    return status;
}

NTSTATUS GetStringDescString(const USB_DEVICE_DESCRIPTOR* /*deviceDescriptor*/, UCHAR index,
                             USHORT languageId, PDEVICE_OBJECT ownDevice,
                             PDEVICE_OBJECT targetDevice, PWSTR destination,
                             ULONG destinationBytes) {
    // The terminator needs one whole character of room.
    if (destination == nullptr || destinationBytes < sizeof(WCHAR)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PoolBuffer urbBuffer(NonPagedPoolType, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), TAG_STRING_URB);
    if (!urbBuffer) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* urb = urbBuffer.get<URB>();
    RtlZeroMemory(destination, destinationBytes);
    BuildDescriptorRequest(urb, USB_STRING_DESCRIPTOR_TYPE, index, languageId, destination,
                           destinationBytes);
    _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;

    NTSTATUS status = SendUrbToUSB(ownDevice, targetDevice, urb, nullptr, 0, nullptr, 500);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "string %u failed 0x%x", index, status);
        return status;
    }

    // A compliant device sends at most 255 bytes; a longer answer is capped there rather than
    // cut to its low byte, which would turn a 256-byte answer into an empty string.
    ULONG received = request.TransferBufferLength;
    if (received > MAX_STRING_DESCRIPTOR_BYTES) {
        received = MAX_STRING_DESCRIPTOR_BYTES;
    }
    if (received > destinationBytes) {
        received = destinationBytes;
    }
    // bLength and bDescriptorType come first; the characters follow, moved down over them.
    const ULONG characters = received < 2 ? 0 : (received - 2) / 2;
    auto* bytes = reinterpret_cast<UCHAR*>(destination);
    RtlMoveMemory(bytes, bytes + 2, characters * sizeof(WCHAR));
    const WCHAR terminator = 0;
    RtlCopyMemory(bytes + characters * sizeof(WCHAR), &terminator, sizeof(terminator));
    return STATUS_SUCCESS;
}
