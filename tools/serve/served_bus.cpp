#include "tools/serve/served_bus.h"

#include <algorithm>
#include <atomic>

#include <nlohmann/json.hpp>

#include "tools/serve/transfer_log.h"
#include "tools/system/device_build.h"
#include "tools/system/report.h"

namespace dfuhost {

namespace {

namespace um = host::umockdev;

constexpr unsigned kFirstDeviceAddress = 2;  // 1 is the root hub's
constexpr unsigned kLastDeviceAddress = 127;

const char* presenceName(sim::Presence presence) {
    switch (presence) {
        case sim::Presence::Attached:
            return "attached";
        case sim::Presence::InApplication:
            return "in application";
        case sim::Presence::Unplugged:
            return "unplugged";
    }
    return "unknown";
}

std::vector<unsigned> prefix(const std::vector<unsigned>& ports, std::size_t count) {
    return {ports.begin(), ports.begin() + static_cast<std::ptrdiff_t>(count)};
}

}  // namespace

// Hears the model from umockdev's thread (inside a transfer): only takes note.
struct ServedBus::Unit final : host::DeviceEndEvents {
    const scenario::Device* entry = nullptr;
    std::shared_ptr<sim::Bootloader> rom;
    std::unique_ptr<um::UsbdevfsServer> server;
    std::function<void()> wake;
    // It went off the bus since the last settle(), whether or not it is back yet: a device
    // that re-enumerates gets a new node.
    std::atomic<bool> bounced{false};

    void deviceDisconnected() override {
        bounced.store(true);
        wake();
    }
    void deviceReconnected() override { wake(); }
    unsigned busNumber() const { return entry->controller + 1; }
};

ServedBus::ServedBus(const scenario::Scenario& s, host::Clock& clock, TransferLog* log, std::function<void()> wake)
    : log_(log), wake_(std::move(wake)) {
    for (const scenario::Device& device : s.devices) {
        auto unit = std::make_unique<Unit>();
        unit->entry = &device;
        unit->rom = bootloaderFor(s, device, clock);
        unit->wake = wake_;
        unit->rom->setEvents(unit.get());
        units_.push_back(std::move(unit));
    }
    // Every hub between a device and its root hub, once, outermost first.
    std::vector<std::pair<unsigned, std::vector<unsigned>>> placed;
    for (const auto& unit : units_) {
        const std::vector<unsigned>& ports = unit->entry->location;
        for (std::size_t depth = 1; depth < ports.size(); ++depth) {
            std::pair<unsigned, std::vector<unsigned>> hub{unit->busNumber(), prefix(ports, depth)};
            if (std::find(placed.begin(), placed.end(), hub) != placed.end()) continue;
            const unsigned ports = s.hubWidth(unit->entry->controller, hub.second, scenario::kNarrowestHub);
            hubs_.push_back(testbed_.addHub({hub.first, hub.second, nextAddress(hub.first)}, ports));
            placed.push_back(std::move(hub));
        }
    }
}

ServedBus::~ServedBus() {
    for (const auto& unit : units_) {
        unit->server.reset();
        unit->rom->setEvents(nullptr);
    }
    departed_.clear();
    for (auto hub = hubs_.rbegin(); hub != hubs_.rend(); ++hub) testbed_.remove(*hub);
}

ServedBus::Unit& ServedBus::unit(const std::string& device) {
    for (const auto& unit : units_) {
        if (unit->entry->name == device) return *unit;
    }
    throw scenario::ScenarioError("no device named \"" + device + "\" on the bus");
}

unsigned ServedBus::nextAddress(unsigned busNumber) {
    auto last = std::find_if(lastAddress_.begin(), lastAddress_.end(),
                             [&](const auto& entry) { return entry.first == busNumber; });
    if (last == lastAddress_.end()) {
        lastAddress_.emplace_back(busNumber, kFirstDeviceAddress);
        return kFirstDeviceAddress;
    }
    last->second = last->second >= kLastDeviceAddress ? kFirstDeviceAddress : last->second + 1;
    return last->second;
}

void ServedBus::serve(Unit& unit) {
    const um::UsbPlace place{unit.busNumber(), unit.entry->location, nextAddress(unit.busNumber())};
    um::TransferObserver observer;
    if (log_ != nullptr) {
        observer = [log = log_, name = unit.entry->name](const host::SetupPacket& setup,
                                                          std::span<const std::uint8_t> data,
                                                          const host::TransferResult& result) {
            log->write(name, setup, data, result);
        };
    }
    unit.server = std::make_unique<um::UsbdevfsServer>(testbed_, *unit.rom, place, std::move(observer));
}

void ServedBus::plug(const std::string& device) {
    Unit& u = unit(device);
    u.rom->plug();
    settle();
}

void ServedBus::depart(Unit& unit) {
    if (!unit.server) return;
    unit.server->unplug();
    departed_.push_back(std::move(unit.server));
}

void ServedBus::pull(const std::string& device) {
    Unit& u = unit(device);
    depart(u);
    u.rom->unplug();
    u.bounced.store(false);
}

void ServedBus::settle() {
    for (const auto& unit : units_) {
        const bool bounced = unit->bounced.exchange(false);
        if (bounced || !unit->rom->connected()) depart(*unit);
        if (!unit->server && unit->rom->connected()) serve(*unit);
    }
}

Json ServedBus::snapshot() const {
    Json devices = Json::array();
    for (const auto& unit : units_) {
        const sim::Bootloader& rom = *unit->rom;
        Json d;
        d["name"] = unit->entry->name;
        d["usb"] = um::UsbPlace{unit->busNumber(), unit->entry->location, 0}.sysfsName();
        d["devnode"] = unit->server ? Json(unit->server->devnode()) : Json();
        d["presence"] = presenceName(rom.presence());
        d["state"] = std::string(sim::stateName(rom.state()));
        d["status"] = std::string(sim::statusName(rom.status()));
        d["address_pointer"] = hex32(rom.addressPointer());
        d["memory_crc32"] = hex32(rom.crc32());
        const std::optional<std::uint32_t> start = rom.applicationStartAddress();
        d["application_start"] = start ? Json(hex32(*start)) : Json();
        devices.push_back(std::move(d));
    }
    return devices;
}

}  // namespace dfuhost
