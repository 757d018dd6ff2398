#include "driver/segments.h"

#include "context/device_context.h"
#include "platform/rtl.h"
#include "platform/trace.h"
#include "usb/configuration.h"
#include "usb/control_transfer.h"

namespace {

constexpr USHORT kLanguageEnglishUs = 0x0409;
constexpr ULONG kLayoutStringBytes = 510;
constexpr ULONG kDigitChars = 128;

// Where a search begins: the given descriptor, or the configuration's start; null when there
// is no configuration or the start is not a whole descriptor inside it.
const USB_COMMON_DESCRIPTOR* WalkStart(WDFDEVICE device, const void* start) {
    PFDO_DATA fdo = FdoGetData(device);
    if (fdo->ConfigurationDescriptor == nullptr) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "no configuration");
        return nullptr;
    }
    const auto* d = start != nullptr
                        ? static_cast<const USB_COMMON_DESCRIPTOR*>(start)
                        : reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(fdo->ConfigurationDescriptor);
    if (!IsDescriptorValid(device, d)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "start outside the configuration");
        return nullptr;
    }
    return d;
}

bool Matches(LONG criterion, UCHAR value) { return criterion < 0 || criterion == value; }

PWSTR SegmentStringOf(PFDO_DATA fdo, ULONG segment) {
    PWSTR strings[] = {fdo->SegmentString1, fdo->SegmentString2, fdo->SegmentString3,
                       fdo->SegmentString4};
    return strings[segment - 1];
}

UCHAR SegmentAltSettingOf(PFDO_DATA fdo, ULONG segment) {
    const UCHAR settings[] = {
        fdo->DeviceCaps2.Segment1AltSetting, fdo->DeviceCaps2.Segment2AltSetting,
        fdo->DeviceCaps2.Segment3AltSetting, fdo->DeviceCaps2.Segment4AltSetting};
    return settings[segment - 1];
}

PWSTR FindChar(PWSTR text, WCHAR c) {
    for (; *text != 0; ++text) {
        if (*text == c) {
            return text;
        }
    }
    return nullptr;
}

PWSTR FindHexPrefix(PWSTR text) {
    for (; text[0] != 0; ++text) {
        if (text[0] == u'0' && text[1] == u'x') {
            return text;
        }
    }
    return nullptr;
}

// "@Internal Flash  /0x08000000/128*0002Kg": the hexadecimal digits between "0x" and the
// second slash. Everything after the second slash is left alone.
ULONG ParseLayoutAddress(PWSTR layout) {
    PWSTR firstSlash = FindChar(layout, u'/');
    if (firstSlash == nullptr) {
        return 0;
    }
    PWSTR secondSlash = FindChar(firstSlash + 1, u'/');
    if (secondSlash == nullptr) {
        return 0;
    }
    *secondSlash = 0;
    PWSTR prefix = FindHexPrefix(firstSlash + 1);
    if (prefix == nullptr) {
        return 0;
    }
    WCHAR digits[kDigitChars] = {};
    if (!NT_SUCCESS(RtlStringCchCopyW(digits, kDigitChars, prefix + 2))) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "address field too long");
        return 0;
    }
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, digits);
    ULONG address = 0;
    if (!NT_SUCCESS(RtlUnicodeStringToInteger(&text, 16, &address))) {
        return 0;
    }
    return address;
}

}  // namespace

PUSB_INTERFACE_DESCRIPTOR FindInterfaceDescriptor(WDFDEVICE device, const void* start,
                                                  LONG interfaceNumber, LONG alternateSetting,
                                                  LONG interfaceClass, LONG interfaceSubClass,
                                                  LONG interfaceProtocol) {
    const USB_COMMON_DESCRIPTOR* d = WalkStart(device, start);
    for (; d != nullptr; d = NextDescriptor(device, d)) {
        if (d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
            d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            continue;
        }
        auto* candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
        if (Matches(interfaceNumber, candidate->bInterfaceNumber) &&
            Matches(alternateSetting, candidate->bAlternateSetting) &&
            Matches(interfaceClass, candidate->bInterfaceClass) &&
            Matches(interfaceSubClass, candidate->bInterfaceSubClass) &&
            Matches(interfaceProtocol, candidate->bInterfaceProtocol)) {
            return const_cast<PUSB_INTERFACE_DESCRIPTOR>(candidate);
        }
    }
    return nullptr;
}

PUSB_COMMON_DESCRIPTOR FindDescriptor(WDFDEVICE device, const void* start, LONG descriptorType) {
    const USB_COMMON_DESCRIPTOR* d = WalkStart(device, start);
    while (d != nullptr && d->bDescriptorType != descriptorType) {
        d = NextDescriptor(device, d);
    }
    return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
}

ULONG GetSegmentBaseAddress(WDFDEVICE device, ULONG segment) {
    if (segment < 1 || segment > 4) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "no segment %u", segment);
        return 0;
    }
    PFDO_DATA fdo = FdoGetData(device);
    if (fdo->DfuInterfaceDescriptor == nullptr) {
        return 0;
    }
    const UCHAR setting = SegmentAltSettingOf(fdo, segment);
    WCHAR layout[kLayoutStringBytes / sizeof(WCHAR)] = {};

    PUSB_INTERFACE_DESCRIPTOR alternate = FindInterfaceDescriptor(
        device, nullptr, fdo->DfuInterfaceDescriptor->bInterfaceNumber, setting,
        ANY_DESCRIPTOR_VALUE, ANY_DESCRIPTOR_VALUE, ANY_DESCRIPTOR_VALUE);
    if (alternate == nullptr) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "segment %u: no alternate setting %u",
                    segment, setting);
        return 0;
    }
    NTSTATUS status = GetStringDescString(&fdo->DeviceDescriptor, alternate->iInterface,
                                          kLanguageEnglishUs, fdo->DeviceObject,
                                          fdo->AttachedDeviceObject, layout, sizeof(layout));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "segment %u: string unreadable 0x%x",
                    segment, static_cast<unsigned>(status));
        return 0;
    }
    status = RtlStringCbPrintfW(SegmentStringOf(fdo, segment), FDO_STRING_CHARS * sizeof(WCHAR),
                                WIDE("%ws"), layout);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "segment %u: string cut", segment);
    }
    const ULONG base = ParseLayoutAddress(layout);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "segment %u base 0x%08x", segment, base);
    return base;
}
