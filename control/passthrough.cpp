#include "control/passthrough.h"

#include "context/device_context.h"
#include "dfu/dfu_protocol.h"
#include "platform/kernel_helpers.h"
#include "platform/trace.h"
#include "usb/configuration.h"
#include "usb/control_transfer.h"

namespace {

constexpr USHORT kLanguageEnglishUs = 0x0409;

constexpr USHORT kVendorFunctions[] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                       URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
constexpr USHORT kClassFunctions[] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                      URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER};

// Copies a cached descriptor when it exists and fits; a buffer too small is reported as a
// device state, as the updater expects.
NTSTATUS CopyCachedDescriptor(const void* source, ULONG length, PVOID output, ULONG outputLength,
                              SIZE_T* bytesTransferred) {
    if (source == nullptr || length == 0 || length > outputLength) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    RtlCopyMemory(output, source, length);
    *bytesTransferred = length;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IoctlClassOrVendorRequest(WDFDEVICE device, const ControlRequestRecord* record, PIRP irp,
                                   BOOLEAN directionIn, SIZE_T* bytesTransferred) {
    if (bytesTransferred != nullptr) {
        *bytesTransferred = 0;
    }
    if (irp == nullptr || record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG timeoutMs = record->TimeoutMs;
    if (timeoutMs == 0 || timeoutMs > PASSTHROUGH_MAX_TIMEOUT_MS) {
        timeoutMs = PASSTHROUGH_MAX_TIMEOUT_MS;
    }
    if (record->Recipient > 3) {
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT function = record->IsClassRequest != 0 ? kClassFunctions[record->Recipient]
                                                        : kVendorFunctions[record->Recipient];
    const ULONG flags = directionIn ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
                                    : USBD_TRANSFER_DIRECTION_OUT;
    PMDL mdl = irp->MdlAddress;
    const ULONG length = mdl != nullptr ? MmGetMdlByteCount(mdl) : 0;
    ULONG transferred = 0;
    USBD_STATUS usbStatus = 0;
    NTSTATUS status = ControlVendorOrClassRequest(device, function, record->Request, record->Value,
                                                  record->Index, flags, nullptr, mdl, length,
                                                  &transferred, timeoutMs, &usbStatus);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_CONTROL, "pass-through: 0x%x usb 0x%x",
                    static_cast<unsigned>(status), static_cast<unsigned>(usbStatus));
        return status;
    }
    if (bytesTransferred != nullptr) {
        *bytesTransferred = transferred;
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoctlGetUsbDescriptor(WDFDEVICE device, const DescriptorRequestRecord* record,
                               PVOID outputBuffer, ULONG outputBufferLength,
                               SIZE_T* bytesTransferred) {
    *bytesTransferred = 0;
    if (outputBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // The reply overwrites the record: take what it says first.
    const ULONG selector = record->Selector;
    const UCHAR stringIndex = record->StringIndex;
    PFDO_DATA fdo = FdoGetData(device);

    switch (selector) {
        case DESCRIPTOR_SELECTOR_DFU_INTERFACE: {
            const auto* d = fdo->DfuInterfaceDescriptor;
            return CopyCachedDescriptor(d, d != nullptr ? d->bLength : 0, outputBuffer,
                                        outputBufferLength, bytesTransferred);
        }
        case DESCRIPTOR_SELECTOR_DFU_FUNCTIONAL: {
            const auto* d = fdo->DfuInterfaceDescriptor != nullptr ? fdo->DfuFunctionalDescriptor
                                                                   : nullptr;
            return CopyCachedDescriptor(d, d != nullptr ? d->bLength : 0, outputBuffer,
                                        outputBufferLength, bytesTransferred);
        }
        case DESCRIPTOR_SELECTOR_CONFIGURATION: {
            const auto* d = fdo->ConfigurationDescriptor;
            return CopyCachedDescriptor(d, d != nullptr ? d->wTotalLength : 0, outputBuffer,
                                        outputBufferLength, bytesTransferred);
        }
        case DESCRIPTOR_SELECTOR_DEVICE: {
            // bLength is the device's word; the cache holds the 18 bytes of the record and no
            // more, and what lies behind it in the context is not the caller's to read.
            const ULONG length = fdo->DeviceDescriptor.bLength < sizeof(USB_DEVICE_DESCRIPTOR)
                                     ? fdo->DeviceDescriptor.bLength
                                     : static_cast<ULONG>(sizeof(USB_DEVICE_DESCRIPTOR));
            return CopyCachedDescriptor(&fdo->DeviceDescriptor, length, outputBuffer,
                                        outputBufferLength, bytesTransferred);
        }
        case DESCRIPTOR_SELECTOR_STRING: {
            if (stringIndex == 0) {
                return STATUS_INVALID_PARAMETER;
            }
            NTSTATUS status = GetStringDescString(
                &fdo->DeviceDescriptor, stringIndex, kLanguageEnglishUs, fdo->DeviceObject,
                fdo->AttachedDeviceObject, static_cast<PWSTR>(outputBuffer), outputBufferLength);
            if (NT_SUCCESS(status)) {
                *bytesTransferred = outputBufferLength;
            }
            return status;
        }
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS IoctlBeginDfu(WDFDEVICE device, WDFREQUEST request, const UCHAR* input) {
    PFDO_DATA fdo = FdoGetData(device);
    if (fdo->DfuInterfaceDescriptor == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    KMutexGuard session(&fdo->SessionLock);
    WDFFILEOBJECT file = WdfRequestGetFileObject(request);
    if (fdo->DfuSessionOwner != nullptr && fdo->DfuSessionOwner != file) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // A handle whose cleanup has run can no longer give the session up.
    const FILE_CONTEXT* context = file != nullptr ? FileGetData(file) : nullptr;
    if (context == nullptr || context->CleanedUp) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SetAlternateSetting(device, input[0]);
    if (NT_SUCCESS(status)) {
        fdo->DfuSessionOwner = file;
    }
    return status;
}
