#include "tools/commands/device_report.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "context/device_context.h"
#include "driver/product_table.h"
#include "host/rtl/text.h"

namespace dfuhost {

namespace {

std::string format(const char* pattern, auto... values) {
    char text[256];
    std::snprintf(text, sizeof(text), pattern, values...);
    return text;
}

std::string utf8(const WCHAR* text, std::size_t capacity) {
    std::size_t length = 0;
    while (length < capacity && text[length] != 0) ++length;
    return host::narrow(std::u16string_view(text, length));
}

std::string serialText(std::uint64_t value, unsigned bytes) {
    if (bytes == 0 || bytes > 8) bytes = 8;
    return format("%0*llx", static_cast<int>(bytes * 2),
                  static_cast<unsigned long long>(bytes == 8 ? value : value & ((1ull << (8 * bytes)) - 1)));
}

// One named field of the capabilities record: where it is and how wide.
struct CapsField {
    const char* name;
    std::size_t offset;
    std::size_t size;
    enum class Kind { Number, Text, Guid } kind = Kind::Number;
};

#define CAPS_NUMBER(field) CapsField{#field, offsetof(DEVICE_CAPS2, field), sizeof(DEVICE_CAPS2::field)}
#define CAPS_TEXT(field) \
    CapsField{#field, offsetof(DEVICE_CAPS2, field), sizeof(DEVICE_CAPS2::field), CapsField::Kind::Text}
constexpr CapsField kCapsFields[] = {
    CAPS_NUMBER(CapsVersion),     CAPS_NUMBER(CapsProductType),   CAPS_TEXT(InstanceName),
    CapsField{"ReportedInterfaceGuid", offsetof(DEVICE_CAPS2, ReportedInterfaceGuid), sizeof(GUID),
              CapsField::Kind::Guid},
    CAPS_NUMBER(Byte1772),        CAPS_NUMBER(Byte1773),          CAPS_NUMBER(Byte1774),
    CAPS_NUMBER(Byte1775),        CAPS_NUMBER(Word1776),          CAPS_NUMBER(Byte1778),
    CAPS_NUMBER(ProductKey),      CAPS_NUMBER(Word1784),          CAPS_TEXT(ProductIdText),
    CAPS_NUMBER(EepromPresent),   CAPS_NUMBER(SerialFirstKey),    CAPS_NUMBER(SerialLength),
    CAPS_NUMBER(ErasedByteValue), CAPS_NUMBER(Dword3112),         CAPS_NUMBER(Dword3116),
    CAPS_NUMBER(EepromSectionSize), CAPS_NUMBER(Byte3126),        CAPS_NUMBER(FirmwareVersion),
    CAPS_NUMBER(bcdUSB),          CAPS_NUMBER(idVendor),          CAPS_NUMBER(idProduct),
    CAPS_NUMBER(bcdDevice),       CAPS_NUMBER(Word3168),          CAPS_NUMBER(Byte3183),
    CAPS_NUMBER(ReadAppIdFromMemory), CAPS_NUMBER(Qword3200),     CAPS_NUMBER(Dword3212),
    CAPS_NUMBER(Segment1AltSetting), CAPS_NUMBER(Segment2AltSetting), CAPS_NUMBER(Segment3AltSetting),
    CAPS_NUMBER(Segment4AltSetting), CAPS_NUMBER(Byte3231),       CAPS_NUMBER(VersionWordCount),
    CAPS_NUMBER(VersionLow),      CAPS_NUMBER(VersionHigh),       CAPS_NUMBER(Segment1Base),
    CAPS_NUMBER(Segment2Base),    CAPS_NUMBER(Serial),            CAPS_NUMBER(VersionLocationValid),
    CAPS_NUMBER(SegmentStringsValid), CAPS_NUMBER(VersionBlockOffset), CAPS_NUMBER(VersionAddress),
    CAPS_NUMBER(Word3296),        CAPS_NUMBER(Byte3301),          CAPS_NUMBER(Byte3302),
    CAPS_NUMBER(Byte3303),        CAPS_NUMBER(EepromSectionAddress), CAPS_NUMBER(ApplicationSize),
    CAPS_NUMBER(AuxSectionAddress), CAPS_NUMBER(Dword3316),       CAPS_NUMBER(AuxSectionSize),
    CAPS_NUMBER(IdentityFromOptionBytes), CAPS_NUMBER(Segment3Base), CAPS_NUMBER(Segment4Base),
    CAPS_NUMBER(ProductOrdinal),  CAPS_NUMBER(Dword3340),         CAPS_NUMBER(ProductKey2),
    CAPS_NUMBER(Byte3355),        CAPS_NUMBER(Byte3356),          CAPS_NUMBER(Byte3357),
    CAPS_NUMBER(VersionHasHighWord), CAPS_NUMBER(Byte3438),
};
#undef CAPS_NUMBER
#undef CAPS_TEXT

// Explicit little-endian assembly: the record is bytes from the driver, not a struct of ours.
std::uint64_t readLe(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

std::string capsValue(const CapsField& field, const std::uint8_t* record) {
    const std::uint8_t* at = record + field.offset;
    switch (field.kind) {
        case CapsField::Kind::Text: {
            std::u16string text;
            for (std::size_t i = 0; i + 1 < field.size; i += 2) {
                const auto unit = static_cast<char16_t>(at[i] | at[i + 1] << 8);
                if (unit == 0) break;
                text.push_back(unit);
            }
            return "\"" + host::narrow(text) + "\"";
        }
        case CapsField::Kind::Guid: {
            GUID guid;
            std::memcpy(&guid, at, sizeof(guid));
            return guidString(guid);
        }
        case CapsField::Kind::Number:
            break;
    }
    const std::uint64_t value = readLe(at, field.size);
    return format("0x%0*llx", static_cast<int>(field.size * 2), static_cast<unsigned long long>(value));
}

Json capsJson(const std::uint8_t* record) {
    Json caps = Json::object();
    for (const CapsField& field : kCapsFields) {
        if (field.kind == CapsField::Kind::Number && field.size <= 4) {
            caps[field.name] = readLe(record + field.offset, field.size);
        } else {
            std::string value = capsValue(field, record);
            if (field.kind == CapsField::Kind::Text) value = value.substr(1, value.size() - 2);
            caps[field.name] = value;
        }
    }
    return caps;
}

std::string segmentBaseText(const DEVICE_CAPS2& caps, unsigned segment) {
    const ULONG bases[] = {caps.Segment1Base, caps.Segment2Base, caps.Segment3Base, caps.Segment4Base};
    return format("0x%08x", bases[segment]);
}

}  // namespace

std::string productName(ULONG productCode) {
    if (productCode == PRODUCT_TYPE_STM_DFU) return "STM32 bootloader";
    for (const ProductRow& row : ProductRows()) {
        if (row.productCode == productCode) return host::narrow(host::viewOf(row.name));
    }
    return "unknown product";
}

DeviceSummary placeSummary(DriverOnBus& system, DeviceSlot& device) {
    DeviceSummary s;
    s.name = device.name();
    s.location = locationText(device.entry->controller, device.entry->location);
    s.pnpState = pnpStateText(device);
    for (InterfaceKind kind : {InterfaceKind::Driver, InterfaceKind::Product, InterfaceKind::Companion}) {
        if (system.interfaceLink(device, kind)) s.interfaces.push_back(interfaceKindName(kind));
    }
    return s;
}

DeviceSummary summarize(Session& session, DeviceSlot& device) {
    DeviceSummary s = placeSummary(session.system(), device);
    if (const auto link = session.system().interfaceLink(device, InterfaceKind::Driver)) querySummary(s, *link);
    return s;
}

void querySummary(DeviceSummary& s, const std::u16string& link) {
    client::OpenResult opened = client::openLink(link);
    if (!NT_SUCCESS(opened.status)) {
        s.queryStatus = opened.status;
        return;
    }
    s.published = true;
    const client::Handle& h = opened.handle;
    const auto note = [&s](NTSTATUS status) {
        if (!NT_SUCCESS(status) && NT_SUCCESS(s.queryStatus)) s.queryStatus = status;
        return NT_SUCCESS(status);
    };
    const auto caps = client::GetDeviceCaps(h);
    if (note(caps.status)) {
        s.productCode = caps.record.CapsProductType;
        if (caps.record.VersionLocationValid != 0) s.firmwareVersion = caps.record.FirmwareVersion;
    }
    s.productName = productName(s.productCode);
    const auto identity = client::GetIdentity(h);
    if (note(identity.status)) {
        s.appVid = static_cast<std::uint16_t>(identity.record.AppVid);
        s.appPid = static_cast<std::uint16_t>(identity.record.AppPid);
        s.appVariant = static_cast<std::uint16_t>(identity.record.AppVariant);
    }
    const auto serial = client::GetManufacturerSerial(h);
    if (note(serial.status) && serial.record.Length != 0) {
        s.serial = serial.record.Value;
        s.serialBytes = serial.record.Length;
    }
    const auto protect = client::GetReadProtectState(h);
    if (note(protect.status)) s.readProtect = protect.record;
}

std::string summaryHeader() {
    return format("%-16s %-8s %-40s %-15s %-10s %-16s %-9s %s", "DEVICE", "LOCATION", "PRODUCT",
                  "APPLICATION", "VERSION", "SERIAL", "READPROT", "INTERFACES");
}

std::string summaryLine(const DeviceSummary& s) {
    if (!s.published) {
        return format("%-16s %-8s (%s; no driver interface%s)", s.name.c_str(), s.location.c_str(),
                      s.pnpState.c_str(),
                      NT_SUCCESS(s.queryStatus) ? "" : (": " + statusName(s.queryStatus)).c_str());
    }
    const std::string product = std::to_string(s.productCode) + " " + s.productName;
    std::string app = format("%04x:%04x", s.appVid, s.appPid);
    if (s.appVariant != 0) app += format("/%04x", s.appVariant);
    const std::string version = !s.firmwareVersion            ? std::string("-")
                                : *s.firmwareVersion > 0xFFFF ? format("0x%08x", *s.firmwareVersion)
                                                              : format("0x%04x", *s.firmwareVersion);
    const std::string serial = s.serial ? serialText(*s.serial, s.serialBytes) : "-";
    std::string interfaces;
    for (const std::string& name : s.interfaces) interfaces += (interfaces.empty() ? "" : ",") + name;
    return format("%-16s %-8s %-40s %-15s %-10s %-16s %-9s %s", s.name.c_str(), s.location.c_str(),
                  product.c_str(), app.c_str(), version.c_str(), serial.c_str(),
                  s.readProtect != 0 ? "yes" : "no", interfaces.c_str());
}

Json summaryJson(const DeviceSummary& s) {
    Json j = Json::object();
    j["name"] = s.name;
    j["location"] = s.location;
    j["pnp_state"] = s.pnpState;
    j["published"] = s.published;
    if (s.published) {
        j["product_code"] = s.productCode;
        j["product"] = s.productName;
        j["app_vid"] = s.appVid;
        j["app_pid"] = s.appPid;
        j["app_variant"] = s.appVariant;
        j["firmware_version"] = s.firmwareVersion ? Json(*s.firmwareVersion) : Json(nullptr);
        j["manufacturer_serial"] = s.serial ? Json(hex64(*s.serial)) : Json(nullptr);
        j["read_protected"] = s.readProtect != 0;
    }
    if (!NT_SUCCESS(s.queryStatus)) j["query_status"] = statusText(s.queryStatus);
    j["interfaces"] = s.interfaces;
    return j;
}

int printInfo(Session& session, DeviceSlot& device) {
    const bool json = session.options().json;
    client::Handle h = session.open(device);
    Json doc = Json::object();
    std::vector<std::string> lines;
    const auto line = [&lines](std::string text) { lines.push_back(std::move(text)); };
    NTSTATUS worst = STATUS_SUCCESS;
    const auto check = [&worst](const char* what, NTSTATUS status, std::vector<std::string>& out) {
        if (!NT_SUCCESS(status)) {
            out.push_back(format("  %s: %s", what, statusName(status).c_str()));
            if (NT_SUCCESS(worst)) worst = status;
        }
        return NT_SUCCESS(status);
    };

    doc["device"] = device.name();
    doc["location"] = locationText(device.entry->controller, device.entry->location);
    line(format("%s at %s (%s)", device.name().c_str(), doc["location"].get<std::string>().c_str(),
                host::narrow(device.bus->pdoName()).c_str()));

    const auto version = client::GetInterfaceVersion(h);
    if (check("interface version", version.status, lines)) {
        const InterfaceVersionInfo& v = version.record;
        doc["interface_version"] = {{"major", v.Major}, {"minor", v.Minor},
                                    {"compatible_major", v.CompatibleMajor},
                                    {"compatible_minor", v.CompatibleMinor}, {"revision", v.Revision}};
        line(format("interface version %u.%u (compatible with %u.%u), revision %llu", v.Major,
                    v.Minor, v.CompatibleMajor, v.CompatibleMinor,
                    static_cast<unsigned long long>(v.Revision)));
    }

    line("identity");
    const auto identity = client::GetIdentity(h);
    if (check("identity", identity.status, lines)) {
        const DeviceIdentityInfo& i = identity.record;
        const std::string serial = utf8(i.SerialNumberString, IDENTITY_STRING_CHARS);
        const std::string maker = utf8(i.ManufacturerString, IDENTITY_STRING_CHARS);
        const std::string product = utf8(i.ProductString, IDENTITY_STRING_CHARS);
        doc["identity"] = {{"app_vid", i.AppVid}, {"app_pid", i.AppPid}, {"app_variant", i.AppVariant},
                           {"serial_number_string", serial}, {"manufacturer_string", maker},
                           {"product_string", product}, {"flags", i.Flags}};
        line(format("  application     %04x:%04x variant 0x%04x", i.AppVid, i.AppPid, i.AppVariant));
        line("  serial string   \"" + serial + "\"");
        line("  manufacturer    \"" + maker + "\"");
        line("  product         \"" + product + "\"");
        line(format("  flags           0x%08x%s%s", i.Flags,
                    (i.Flags & IDENTITY_FLAG_DEVICE_QUALIFIER) ? " device-qualifier" : "",
                    (i.Flags & IDENTITY_FLAG_HIGH_SPEED) ? " high-speed" : ""));
    }
    const auto handleInfo = client::GetDeviceHandleInfo(h);
    if (check("handle info", handleInfo.status, lines)) {
        doc["dfu_interface_number"] = handleInfo.record.InterfaceNumber;
        line(format("  DFU interface   %u", handleInfo.record.InterfaceNumber));
    }
    const auto size = client::GetInstanceStringSize(h);
    if (check("instance string size", size.status, lines)) {
        const auto instance = client::GetInstanceString(h, size.record);
        if (check("instance string", instance.status, lines)) {
            doc["instance_string"] = host::narrow(instance.record);
            line("  instance        \"" + host::narrow(instance.record) + "\"");
        }
    }

    line("memory");
    const auto protect = client::GetReadProtectState(h);
    if (check("read protection", protect.status, lines)) {
        doc["read_protect_state"] = protect.record;
        line(format("  read protection %u (%s)", protect.record,
                    protect.record != 0 ? "protected: memory cannot be read" : "off"));
    }
    const auto caps = client::GetDeviceCaps(h);
    const bool haveCaps = check("capabilities", caps.status, lines);
    const auto segments = client::GetSegmentStrings(h);
    if (check("segments", segments.status, lines)) {
        Json list = Json::array();
        for (unsigned i = 0; i < 4; ++i) {
            const std::string text = host::narrow(segments.record[i]);
            const std::string base = haveCaps ? segmentBaseText(caps.record, i) : "?";
            list.push_back({{"segment", i + 1}, {"layout", text}, {"base", base}});
            line(format("  segment %u       %-10s \"%s\"", i + 1, base.c_str(), text.c_str()));
        }
        doc["segments"] = std::move(list);
    }
    const auto optionBytes = client::ReadOptionBytes(h, OPTION_BYTES_SIZE);
    if (check("option bytes", optionBytes.status, lines)) {
        doc["option_bytes"] = scenario::toHex(optionBytes.bytes);
        line("  option bytes    " + scenario::toHex(optionBytes.bytes));
    }
    const auto allowed = client::GetOptionByteWritesAllowed(h);
    if (check("option-byte writes", allowed.status, lines)) {
        doc["option_byte_writes_allowed"] = allowed.record;
        line(format("  option-byte writes allowed %u", allowed.record));
    }
    const auto busy = client::GetBusyWaitLimit(h);
    if (check("busy-wait limit", busy.status, lines)) {
        doc["busy_wait_limit"] = busy.record;
        line(format("  busy-wait limit %u", busy.record));
    }

    line("manufacturer serial cache");
    const auto serial = client::GetManufacturerSerial(h);
    if (check("manufacturer serial", serial.status, lines)) {
        const ManufacturerSerialBlock& b = serial.record;
        doc["manufacturer_serial"] = {{"marker", hex32(b.Marker)}, {"from_record", b.FromRecord},
                                      {"record_byte", b.RecordByte}, {"length", b.Length},
                                      {"value", hex64(b.Value)}};
        line(format("  marker 0x%08x, from record %u, record byte 0x%02x, %u bytes: %s", b.Marker,
                    b.FromRecord, b.RecordByte, b.Length,
                    b.Length != 0 ? serialText(b.Value, b.Length).c_str() : "-"));
    }
    line("application identity record");
    const auto record = client::GetAppIdRecord(h);
    if (NT_SUCCESS(record.status)) {
        doc["app_id_record"] = scenario::toHex(record.record.data(), record.record.size());
        line("  " + scenario::toHex(record.record.data(), record.record.size()));
    } else {
        doc["app_id_record"] = nullptr;
        line("  none (" + statusName(record.status) + ")");
    }

    if (haveCaps) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&caps.record);
        doc["caps"] = capsJson(bytes);
        line(format("capabilities record (%u bytes)", DEVICE_CAPS2_SIZE));
        for (const CapsField& field : kCapsFields) {
            std::string value = capsValue(field, bytes);
            if (std::strcmp(field.name, "CapsProductType") == 0) {
                value += " (" + std::to_string(caps.record.CapsProductType) + " " +
                         productName(caps.record.CapsProductType) + ")";
            }
            line(format("  %-24s %4zu  %s", field.name, field.offset, value.c_str()));
        }
    }

    if (json) {
        printJson(doc, session.system().driverName());
    } else {
        for (const std::string& text : lines) std::printf("%s\n", text.c_str());
    }
    return NT_SUCCESS(worst) ? kExitSuccess : kExitFailed;
}

}  // namespace dfuhost
