// Hardware preparation: a freshly enumerated bootloader becomes a described device.
#include "context/device_context.h"
#include "dfu/dfu_protocol.h"
#include "dfu/dfu_requests.h"
#include "driver/callbacks.h"
#include "driver/driver.h"
#include "driver/identity_probe.h"
#include "driver/segments.h"
#include "notify/event_log.h"
#include "notify/sibling_callback.h"
#include "platform/rtl.h"
#include "platform/sync.h"
#include "platform/trace.h"
#include "usb/configuration.h"
#include "usb/control_transfer.h"
#include "usb/port_services.h"

namespace {

// Step codes of the final preparation event.
enum PrepareStep : ULONG {
    StepDone = 0,
    StepDescriptors = 1,
    StepBusInterface = 4,
    StepInstanceString = 5,
    StepCapabilities = 6,
    StepNotStmDfu = 7,
    StepNoDfuInterface = 8,
    StepNoFunctionalDescriptor = 9,
    StepNoFirstSegment = 10,
};

constexpr USHORT kLanguageEnglishUs = 0x0409;
constexpr ULONG kDeviceQualifierLength = 10;
constexpr LONG kDescriptorTimeoutMs = 500;
constexpr ULONG kSerialPlaceholder = 0x0BADF00D;
constexpr ULONG kSerialHighChars = 4;

void ReadDeviceStrings(PFDO_DATA fdo, bool* serialRead) {
    struct StringRead {
        UCHAR index;
        PWSTR destination;
    };
    const StringRead reads[] = {
        {fdo->DeviceDescriptor.iProduct, fdo->ProductString},
        {fdo->DeviceDescriptor.iManufacturer, fdo->ManufacturerString},
        {fdo->DeviceDescriptor.iSerialNumber, fdo->SerialNumberString},
    };
    for (const StringRead& read : reads) {
        NTSTATUS status = GetStringDescString(&fdo->DeviceDescriptor, read.index,
                                              kLanguageEnglishUs, fdo->DeviceObject,
                                              fdo->AttachedDeviceObject, read.destination,
                                              FDO_STRING_CHARS * sizeof(WCHAR));
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "string %u: 0x%x", read.index,
                        static_cast<unsigned>(status));
        }
        if (read.destination == fdo->SerialNumberString) {
            *serialRead = NT_SUCCESS(status);
        }
    }
}

bool ConvertHex(PWSTR text, USHORT chars, PULONG value) {
    UNICODE_STRING string;
    string.Buffer = text;
    string.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    ULONG converted = 0;
    if (!NT_SUCCESS(RtlUnicodeStringToInteger(&string, 16, &converted))) {
        return false;
    }
    *value = converted;
    return true;
}

// The serial-number string as a number: its first four characters the high half, from the
// fifth on the low half. A serial that cannot be read or converted keeps the placeholder.
ULONG64 ParseDescriptorSerial(PFDO_DATA fdo, bool serialRead) {
    ULONG high = kSerialPlaceholder;
    ULONG low = kSerialPlaceholder;
    WCHAR local[255] = {};
    if (serialRead && NT_SUCCESS(RtlStringCbPrintfW(local, sizeof(local), WIDE("%ws"),
                                                    fdo->SerialNumberString))) {
        const WCHAR first = local[0];
        // A first unit with both bytes set is not a character of the serial: skip it.
        PWSTR highChars = ((first & 0xFF) != 0 && (first >> 8) != 0) ? local + 1 : local;
        if (ConvertHex(highChars, kSerialHighChars, &high)) {
            SIZE_T rest = 0;
            RtlStringCchLengthW(local + kSerialHighChars, 255 - kSerialHighChars, &rest);
            ConvertHex(local + kSerialHighChars, static_cast<USHORT>(rest), &low);
        }
    }
    return static_cast<ULONG64>(high) << 32 | low;
}

bool AnswersDeviceQualifier(WDFDEVICE device, PFDO_DATA fdo) {
    if (fdo->DeviceDescriptor.bcdUSB < 0x0200) {
        return false;
    }
    UCHAR qualifier[kDeviceQualifierLength] = {};
    ULONG received = 0;
    USBD_STATUS usbStatus = 0;
    NTSTATUS status =
        GetUSBDescriptor(device, USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0, 0, qualifier,
                         sizeof(qualifier), &received, kDescriptorTimeoutMs, &usbStatus);
    return NT_SUCCESS(status) && received == kDeviceQualifierLength;
}

void RegisterInterface(PFDO_DATA fdo, const GUID& guid, PUNICODE_STRING link, LONG* enabled) {
    NTSTATUS status = IoRegisterDeviceInterface(fdo->PhysicalDeviceObject, &guid, nullptr, link);
    if (NT_SUCCESS(status)) {
        status = IoSetDeviceInterfaceState(link, TRUE);
    }
    if (NT_SUCCESS(status)) {
        InterlockedExchange(enabled, 1);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "interface %08x: 0x%x", guid.Data1,
                    static_cast<unsigned>(status));
    }
}

NTSTATUS ErrorTail(PFDO_DATA fdo, ULONG step, NTSTATUS status) {
    LogFormattedEvent(fdo->DeviceObject, OSTDFU_EVENT_ERROR, WIDE("PrepHW: Code:%u status:0x%x"),
                      step, static_cast<ULONG>(status));
    return STATUS_SUCCESS;
}

NTSTATUS SuccessTail(WDFDEVICE device, PFDO_DATA fdo, ULONG step, NTSTATUS status) {
    DfuSetIdle(device);
    LogFormattedEvent(fdo->DeviceObject, OSTDFU_EVENT_INFORMATION,
                      WIDE("PrepHW: Code:%u status:0x%x"), step, static_cast<ULONG>(status));
    InterlockedExchange(&fdo->PrepareHardwareDone, 1);
    if (fdo->CompanionInterfaceWanted != 0) {
        RegisterInterface(fdo, fdo->CompanionInterfaceGuid, &fdo->CompanionInterfaceLink,
                          &fdo->CompanionInterfaceEnabled);
    }
    if (fdo->ProductInterfaceWanted != 0) {
        RegisterInterface(fdo, fdo->ProductInterfaceGuid, &fdo->ProductInterfaceLink,
                          &fdo->ProductInterfaceEnabled);
    }
    RegisterInterface(fdo, fdo->DriverInterfaceGuid, &fdo->DriverInterfaceLink,
                      &fdo->DriverInterfaceEnabled);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS OstDFUDeviceEvtDevicePrepareHardware(WDFDEVICE device, WDFCMRESLIST /*resourcesRaw*/,
                                              WDFCMRESLIST /*resourcesTranslated*/) {
    PFDO_DATA fdo = FdoGetData(device);
    InterlockedExchange(&fdo->PrepareHardwareDone, 0);
    InterlockedExchange(&fdo->DeviceActive, 1);
    LogFormattedEvent(fdo->DeviceObject, OSTDFU_EVENT_INFORMATION, WIDE("PrepHW: pcode:%u"),
                      ReadNoFence(&fdo->ProductType));

    NTSTATUS status = ReadAndSelectDescriptors(device);
    if (!NT_SUCCESS(status)) {
        return ErrorTail(fdo, StepDescriptors, status);
    }
    ULONG busyWaits = 0;
    if (NT_SUCCESS(
            ReadRegGlobalParameterDword(device, WIDE("NumDfuBootIterBusyWaits"), &busyWaits)) &&
        busyWaits != 0) {
        fdo->NumDfuBootIterBusyWaits = busyWaits;
    }
    bool serialRead = false;
    ReadDeviceStrings(fdo, &serialRead);
    fdo->DescriptorSerial = ParseDescriptorSerial(fdo, serialRead);
    fdo->HasDeviceQualifier = AnswersDeviceQualifier(device, fdo) ? TRUE : FALSE;

    status = ObtainAndReferenceHCDirectCallInterface(device);
    if (!NT_SUCCESS(status)) {
        return ErrorTail(fdo, StepBusInterface, status);
    }
    const USB_BUS_INTERFACE_USBDI_V1& bus = fdo->BusInterface;
    fdo->IsHighSpeed =
        (bus.IsDeviceHighSpeed != nullptr && bus.IsDeviceHighSpeed(bus.BusContext)) ? TRUE : FALSE;

    fdo->InstanceString =
        QueryInstanceString(device, fdo->PhysicalDeviceObject, &fdo->InstanceStringSize);
    if (fdo->InstanceString == nullptr) {
        return ErrorTail(fdo, StepInstanceString, STATUS_INSUFFICIENT_RESOURCES);
    }
    if (fdo->IsStmDfuDevice == 0) {
        return ErrorTail(fdo, StepNotStmDfu, STATUS_INVALID_DEVICE_STATE);
    }
    status = nrxutils_GetDeviceCaps2(device, &fdo->DeviceDescriptor, fdo->DeviceObject,
                                     fdo->AttachedDeviceObject, ReadNoFence(&fdo->ProductType),
                                     fdo->InstanceString, &fdo->DeviceCaps2);
    if (!NT_SUCCESS(status)) {
        return ErrorTail(fdo, StepCapabilities, status);
    }
    fdo->DeviceCaps2.Serial = fdo->DescriptorSerial;
    InterlockedExchange(&fdo->DeviceCaps2Valid, 1);

    fdo->DfuInterfaceDescriptor = FindInterfaceDescriptor(
        device, nullptr, ANY_DESCRIPTOR_VALUE, ANY_DESCRIPTOR_VALUE, DFU_INTERFACE_CLASS,
        DFU_INTERFACE_SUBCLASS, ANY_DESCRIPTOR_VALUE);
    if (fdo->DfuInterfaceDescriptor == nullptr) {
        return SuccessTail(device, fdo, StepNoDfuInterface, status);
    }
    fdo->DfuFunctionalDescriptor = reinterpret_cast<DFU_FUNCTIONAL_DESCRIPTOR*>(FindDescriptor(
        device, fdo->DfuInterfaceDescriptor, USB_DFU_FUNCTIONAL_DESCRIPTOR_TYPE));
    if (fdo->DfuFunctionalDescriptor == nullptr) {
        return SuccessTail(device, fdo, StepNoFunctionalDescriptor, status);
    }
    NTSTATUS topology = GetUsbTopologyAddress(device, &fdo->TopologyAddress);
    if (!NT_SUCCESS(topology)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "topology address: 0x%x",
                    static_cast<unsigned>(topology));
    }
    ProbeEnd end = ProbeEnd::Identified;
    status = RunIdentityProbe(device, &end);
    if (end == ProbeEnd::NoFirstSegment) {
        return SuccessTail(device, fdo, StepNoFirstSegment, status);
    }
    if (!NT_SUCCESS(status)) {
        return ErrorTail(fdo, StepDone, status);
    }
    return SuccessTail(device, fdo, StepDone, status);
}
