#include "tools/system/report.h"

#include <cstdio>

#include "context/device_context.h"
#include "host/io/device_interfaces.h"
#include "host/rtl/text.h"
#include "tools/scenario/scenario.h"

namespace dfuhost {

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

std::string hex64(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string guidString(const GUID& guid) { return host::narrow(host::guidText(guid)); }

namespace {

Json interfacesJson(DriverOnBus& system, const DeviceSlot& slot, FDO_DATA* fdo) {
    Json interfaces = Json::object();
    const struct {
        InterfaceKind kind;
        LONG* enabled;
    } kinds[] = {{InterfaceKind::Driver, &fdo->DriverInterfaceEnabled},
                 {InterfaceKind::Product, &fdo->ProductInterfaceEnabled},
                 {InterfaceKind::Companion, &fdo->CompanionInterfaceEnabled}};
    for (const auto& k : kinds) {
        interfaces[interfaceKindName(k.kind)] = ReadInterlockedFlag(k.enabled) != 0;
    }
    for (const auto& k : kinds) {
        const std::optional<GUID> guid = system.interfaceGuid(slot, k.kind);
        interfaces[std::string(interfaceKindName(k.kind)) + "_guid"] =
            guid ? Json(guidString(*guid)) : Json(nullptr);
    }
    return interfaces;
}

}  // namespace

Json deviceSnapshot(DriverOnBus& system, const DeviceSlot& slot) {
    Json d = Json::object();
    FDO_DATA* fdo = slot.context();
    d["added"] = fdo != nullptr;
    d["add_status"] = slot.pnp != nullptr ? Json(statusText(slot.pnp->addStatus())) : Json(nullptr);
    const auto field = [&](const char* name, auto value) {
        d[name] = fdo != nullptr ? Json(value(*fdo)) : Json(nullptr);
    };
    field("ProductType", [](FDO_DATA& f) { return f.ProductType; });
    field("IsStmDfuDevice", [](FDO_DATA& f) { return f.IsStmDfuDevice; });
    field("PrepareHardwareDone", [](FDO_DATA& f) { return ReadInterlockedFlag(&f.PrepareHardwareDone); });
    field("DeviceActive", [](FDO_DATA& f) { return ReadInterlockedFlag(&f.DeviceActive); });
    field("AppVid", [](FDO_DATA& f) { return f.AppVid; });
    field("AppPid", [](FDO_DATA& f) { return f.AppPid; });
    field("AppVariant", [](FDO_DATA& f) { return f.AppVariant; });
    field("OptionBytesValid", [](FDO_DATA& f) { return f.OptionBytesValid; });
    field("OptionByteProductCode", [](FDO_DATA& f) { return f.OptionByteProductCode; });
    field("ReadProtectState", [](FDO_DATA& f) { return f.ReadProtectState; });
    field("NumDfuBootIterBusyWaits", [](FDO_DATA& f) { return f.NumDfuBootIterBusyWaits; });
    field("DescriptorSerial", [](FDO_DATA& f) { return hex64(f.DescriptorSerial); });
    field("ManufacturerSerial", [](FDO_DATA& f) { return hex64(f.ManufacturerSerial); });
    field("SupportsGet", [](FDO_DATA& f) { return f.SupportsGet != 0; });
    field("SupportsSetAddress", [](FDO_DATA& f) { return f.SupportsSetAddress != 0; });
    field("SupportsErase", [](FDO_DATA& f) { return f.SupportsErase != 0; });
    field("SupportsReadUnprotect", [](FDO_DATA& f) { return f.SupportsReadUnprotect != 0; });
    d["interfaces"] = fdo != nullptr ? interfacesJson(system, slot, fdo) : Json(nullptr);
    field("caps", [](FDO_DATA& f) {
        return scenario::toHex(reinterpret_cast<const std::uint8_t*>(&f.DeviceCaps2),
                               sizeof(f.DeviceCaps2));
    });
    d["memory_crc32"] = hex32(slot.rom->crc32());
    // Beyond the contract: where the device is and what the PnP manager made of it.
    d["location"] = locationText(slot.entry->controller, slot.entry->location);
    d["pnp_state"] = pnpStateText(slot);
    d["arrivals"] = slot.arrivals;
    return d;
}

Json eventsJson(const host::EventLog& log) {
    Json events = Json::array();
    for (const host::EventLogEntry& entry : log.entries()) {
        const std::vector<std::u16string> strings = entry.insertionStrings();
        Json e = Json::object();
        e["id"] = hex32(entry.eventId());
        e["object"] = host::narrow(entry.objectName);
        e["text"] = strings.empty() ? std::string() : host::narrow(strings.front());
        e["packet"] = scenario::toHex(entry.packet);
        e["message"] = log.render(entry);
        events.push_back(std::move(e));
    }
    return events;
}

Json usbJson(const std::vector<UsbRecord>& records) {
    Json usb = Json::array();
    for (const UsbRecord& record : records) {
        const host::usb::TrafficEntry& t = record.entry;
        Json r = Json::object();
        r["device"] = record.device;
        if (t.kind != host::usb::TrafficEntry::Kind::Control) {
            r["port"] = t.kind == host::usb::TrafficEntry::Kind::CyclePort ? "cycle" : "reset";
        }
        r["setup"] = scenario::toHex(t.setup.data(), t.setup.size());
        r["data"] = scenario::toHex(t.data);
        r["status"] = hex32(static_cast<std::uint32_t>(t.status));
        r["length"] = t.actualLength;
        usb.push_back(std::move(r));
    }
    return usb;
}

Json waitsJson(const host::WaitLog& waits) {
    Json list = Json::array();
    for (const host::WaitLog::Entry& entry : waits.entries()) {
        if (entry.micros % 1000 == 0) {
            list.push_back(entry.micros / 1000);
        } else {
            list.push_back(static_cast<double>(entry.micros) / 1000.0);
        }
    }
    return list;
}

}  // namespace dfuhost
