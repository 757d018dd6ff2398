#include "dfu/dfu_requests.h"

#include "context/device_context.h"
#include "platform/trace.h"
#include "usb/control_transfer.h"

namespace {

// The one form all seven requests share: a class request to the DFU interface.
NTSTATUS SendDfuRequest(WDFDEVICE device, UCHAR request, USHORT value, ULONG transferFlags,
                        void* buffer, ULONG length, PULONG bytesTransferred) {
    PFDO_DATA fdo = FdoGetData(device);
    if (fdo->DfuInterfaceDescriptor == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DFU, "request %u: no DFU interface", request);
        return STATUS_INVALID_DEVICE_STATE;
    }
    ULONG transferred = 0;
    USBD_STATUS usbStatus = 0;
    NTSTATUS status = ControlVendorOrClassRequest(
        device, URB_FUNCTION_CLASS_INTERFACE, request, value,
        fdo->DfuInterfaceDescriptor->bInterfaceNumber, transferFlags, buffer, nullptr, length,
        &transferred, DFU_REQUEST_TIMEOUT_MS, &usbStatus);
    TraceEvents(NT_SUCCESS(status) ? TRACE_LEVEL_VERBOSE : TRACE_LEVEL_WARNING, TRACE_DFU,
                "request %u value %u length %u: status 0x%x usb 0x%x moved %u", request, value,
                length, static_cast<unsigned>(status), static_cast<unsigned>(usbStatus),
                transferred);
    if (bytesTransferred != nullptr) {
        *bytesTransferred = transferred;
    }
    return status;
}

}  // namespace

NTSTATUS DfuDetach(WDFDEVICE device, USHORT detachTimeoutMs) {
    return SendDfuRequest(device, DFU_DETACH, detachTimeoutMs, USBD_TRANSFER_DIRECTION_OUT,
                          nullptr, 0, nullptr);
}

NTSTATUS DfuDnload(WDFDEVICE device, const void* data, ULONG length, USHORT blockNumber) {
    // The gate takes a mutable buffer for both directions; an OUT transfer only reads it.
    return SendDfuRequest(device, DFU_DNLOAD, blockNumber, USBD_TRANSFER_DIRECTION_OUT,
                          const_cast<void*>(data), length, nullptr);
}

NTSTATUS DfuUpload(WDFDEVICE device, void* buffer, ULONG length, USHORT blockNumber,
                   PULONG bytesReceived) {
    *bytesReceived = 0;
    return SendDfuRequest(device, DFU_UPLOAD, blockNumber, USBD_TRANSFER_DIRECTION_IN, buffer,
                          length, bytesReceived);
}

NTSTATUS DfuGetStatus(WDFDEVICE device, DfuStatusReply* reply, PULONG pollTimeoutMs) {
    NTSTATUS status = SendDfuRequest(device, DFU_GETSTATUS, 0, USBD_TRANSFER_DIRECTION_IN,
                                     reply->bytes, DFU_STATUS_REPLY_LENGTH, nullptr);
    if (pollTimeoutMs != nullptr) {
        *pollTimeoutMs = reply->bwPollTimeout();
    }
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DFU, "status %s state %s poll %u ms",
                DfuStatusName(reply->bStatus()), DfuStateName(reply->bState()),
                reply->bwPollTimeout());
    return status;
}

NTSTATUS DfuClrStatus(WDFDEVICE device) {
    return SendDfuRequest(device, DFU_CLRSTATUS, 0, USBD_TRANSFER_DIRECTION_OUT, nullptr, 0,
                          nullptr);
}

NTSTATUS DfuGetState(WDFDEVICE device, PUCHAR state) {
    return SendDfuRequest(device, DFU_GETSTATE, 0, USBD_TRANSFER_DIRECTION_IN, state, 1,
                          nullptr);
}

NTSTATUS DfuAbort(WDFDEVICE device) {
    return SendDfuRequest(device, DFU_ABORT, 0, USBD_TRANSFER_DIRECTION_OUT, nullptr, 0,
                          nullptr);
}
