// Power callbacks and surprise removal: they keep DeviceActive, which long-running operations
// poll to learn that the device is gone.
#include <array>

#include "context/device_context.h"
#include "driver/callbacks.h"
#include "platform/trace.h"
#include "usb/control_transfer.h"

namespace {

// How long a device may take to answer the liveness check before it counts as gone.
constexpr ULONG kLivenessTimeoutMs = 100;

constexpr std::array<const char*, 8> kPowerStateNames = {
    "WdfPowerDeviceInvalid",
    "WdfPowerDeviceD0",
    "WdfPowerDeviceD1",
    "WdfPowerDeviceD2",
    "WdfPowerDeviceD3",
    "WdfPowerDeviceD3Final",
    "WdfPowerDevicePrepareForHibernation",
    "PowerDeviceMaximum",
};

}  // namespace

const char* PowerStateName(WDF_POWER_DEVICE_STATE state) {
    const auto index = static_cast<ULONG>(state);
    return index < kPowerStateNames.size() ? kPowerStateNames[index]
                                           : "UnKnown Device Power State";
}

NTSTATUS OstDFUDeviceEvtDeviceD0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previousState) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "from %s", PowerStateName(previousState));
    return STATUS_SUCCESS;
}

NTSTATUS OstDFUDeviceEvtDeviceD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE targetState) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "to %s", PowerStateName(targetState));
    return STATUS_SUCCESS;
}

NTSTATUS OstDFUDeviceSelfManagedIoSuspend(WDFDEVICE device) {
    UCHAR deviceStatus[2] = {};
    ULONG received = 0;
    USBD_STATUS usbStatus = 0;
    NTSTATUS status = ControlVendorOrClassRequest(
        device, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, 0, 0, USBD_TRANSFER_DIRECTION_IN,
        deviceStatus, nullptr, sizeof(deviceStatus), &received, kLivenessTimeoutMs, &usbStatus);
    if (!NT_SUCCESS(status)) {
        // A device that no longer answers is gone: long-running operations stop on this.
        InterlockedExchange(&FdoGetData(device)->DeviceActive, 0);
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "device silent: 0x%x",
                    static_cast<unsigned>(status));
    } else {
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "device status 0x%04x",
                    deviceStatus[0] | deviceStatus[1] << 8);
    }
    return STATUS_SUCCESS;
}

void OstDFUDeviceIoSurpriseRemoval(WDFDEVICE device) {
    PFDO_DATA fdoData = FdoGetData(device);
    InterlockedExchange(&fdoData->DeviceActive, 0);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "device gone");
}
