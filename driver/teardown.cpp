// Undoing what hardware preparation set up, and the end of the device context.
#include "context/device_context.h"
#include "driver/callbacks.h"
#include "notify/event_log.h"
#include "platform/rtl.h"
#include "platform/sync.h"
#include "platform/trace.h"
#include "usb/port_services.h"

namespace {

void DisableInterface(PUNICODE_STRING link, LONG* enabled) {
    if (InterlockedCompareExchange(enabled, 0, 1) == 1) {
        NTSTATUS status = IoSetDeviceInterfaceState(link, FALSE);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "interface not disabled: 0x%x",
                        static_cast<unsigned>(status));
        }
    }
    if (link->Buffer != nullptr) {
        RtlFreeUnicodeString(link);
    }
    *link = {};
}

}  // namespace

NTSTATUS OstDFUDeviceEvtDeviceReleaseHardware(WDFDEVICE device, WDFCMRESLIST) {
    PFDO_DATA fdo = FdoGetData(device);
    InterlockedExchange(&fdo->PrepareHardwareDone, 0);
    if (fdo->CallbackRegistration != nullptr) {
        ExUnregisterCallback(fdo->CallbackRegistration);
        fdo->CallbackRegistration = nullptr;
    }
    if (fdo->CallbackObject != nullptr) {
        ObfDereferenceObject(fdo->CallbackObject);
        fdo->CallbackObject = nullptr;
    }
    DisableInterface(&fdo->CompanionInterfaceLink, &fdo->CompanionInterfaceEnabled);
    DisableInterface(&fdo->ProductInterfaceLink, &fdo->ProductInterfaceEnabled);
    DisableInterface(&fdo->DriverInterfaceLink, &fdo->DriverInterfaceEnabled);
    DereferenceHCDirectCallInterface(device);
    if (fdo->InstanceString != nullptr) {
        ExFreePoolWithTag(fdo->InstanceString, INSTANCE_STRING_TAG);
        fdo->InstanceString = nullptr;
        fdo->InstanceStringSize = 0;
    }
    LogFormattedEvent(fdo->DeviceObject, OSTDFU_EVENT_INFORMATION, WIDE("RelHW: pcode:%u"),
                      ReadNoFence(&fdo->ProductType));
    return STATUS_SUCCESS;
}

void OstDFUDeviceEvtDeviceContextCleanup(WDFOBJECT device) {
    LogFormattedEvent(FdoGetData(device)->DeviceObject, OSTDFU_EVENT_INFORMATION, WIDE("%ws"),
                      WIDE("DriverEvtContextCleanup"));
}
