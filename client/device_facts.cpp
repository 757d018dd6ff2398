#include "client/device_facts.h"

namespace client {

namespace {

constexpr AreaKind kSegmentKinds[4] = {AreaKind::Flash, AreaKind::Otp, AreaKind::OptionBytes, AreaKind::Other};

std::string narrowAscii(const std::u16string& text) {
    std::string out;
    for (const char16_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    return out;
}

}  // namespace

bool DeviceFacts::productIdentified() const {
    return !(appVid == 0 && appPid == 0) && !(appVid == kBootloaderVid && appPid == kBootloaderPid);
}

const MemoryArea* DeviceFacts::areaFor(std::uint8_t alternateSetting) const {
    for (const MemoryArea& area : areas) {
        if (area.alternateSetting == alternateSetting) return &area;
    }
    return nullptr;
}

const MemoryArea* DeviceFacts::areaOf(AreaKind kind) const {
    for (const MemoryArea& area : areas) {
        if (area.kind == kind) return &area;
    }
    return nullptr;
}

const char* areaKindName(AreaKind kind) {
    switch (kind) {
        case AreaKind::Flash: return "internal flash";
        case AreaKind::Otp: return "one-time-programmable area";
        case AreaKind::OptionBytes: return "option bytes";
        case AreaKind::Other: return "device feature area";
    }
    return "?";
}

FactsResult readDeviceFacts(const Handle& handle) {
    FactsResult result;
    const auto fail = [&](NTSTATUS status, const char* what) {
        result.status = status;
        result.failure = what;
        return result;
    };
    const auto info = GetDeviceHandleInfo(handle);
    if (!NT_SUCCESS(info.status)) return fail(info.status, "device handle information");
    result.facts.interfaceNumber = info.record.InterfaceNumber;

    const auto functional = GetUsbDescriptor(handle, DESCRIPTOR_SELECTOR_DFU_FUNCTIONAL, 0, 9);
    if (!NT_SUCCESS(functional.status)) return fail(functional.status, "DFU functional descriptor");
    if (functional.bytes.size() < 7) return fail(STATUS_UNSUCCESSFUL, "DFU functional descriptor (too short)");
    result.facts.transferSize = static_cast<std::uint16_t>(functional.bytes[5] | functional.bytes[6] << 8);
    if (result.facts.transferSize == 0) return fail(STATUS_UNSUCCESSFUL, "DFU functional descriptor (wTransferSize 0)");

    const auto identity = GetIdentity(handle);
    if (NT_SUCCESS(identity.status)) {
        result.facts.appVid = static_cast<std::uint16_t>(identity.record.AppVid);
        result.facts.appPid = static_cast<std::uint16_t>(identity.record.AppPid);
    }
    // The driver answers a failure when it found no protection.
    const auto protection = GetReadProtectState(handle);
    result.facts.readProtected = NT_SUCCESS(protection.status) && (protection.record & 1) != 0;

    const auto caps = GetDeviceCaps(handle);
    if (!NT_SUCCESS(caps.status)) return fail(caps.status, "device capabilities");
    const auto strings = GetSegmentStrings(handle);
    if (!NT_SUCCESS(strings.status)) return fail(strings.status, "segment strings");
    const std::uint8_t settings[4] = {caps.record.Segment1AltSetting, caps.record.Segment2AltSetting,
                                      caps.record.Segment3AltSetting, caps.record.Segment4AltSetting};
    const ULONG bases[4] = {caps.record.Segment1Base, caps.record.Segment2Base, caps.record.Segment3Base,
                            caps.record.Segment4Base};
    for (std::size_t segment = 0; segment < 4; ++segment) {
        auto layout = parseMemoryLayout(narrowAscii(strings.record[segment]));
        if (!layout || result.facts.areaFor(settings[segment]) != nullptr) continue;
        result.facts.areas.push_back(
            MemoryArea{settings[segment], kSegmentKinds[segment], std::move(*layout), bases[segment]});
    }
    if (result.facts.areaOf(AreaKind::Flash) == nullptr) return fail(STATUS_UNSUCCESSFUL, "layout of the internal flash");
    return result;
}

}  // namespace client
