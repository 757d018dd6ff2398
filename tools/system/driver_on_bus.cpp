#include "tools/system/driver_on_bus.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "context/device_context.h"
#include "driver/driver.h"
#include "host/framework/device.h"
#include "host/ob/callback_objects.h"
#include "host/registry/inf_file.h"
#include "host/registry/reg_file.h"
#include "host/rtl/text.h"
#include "host/usb/enumeration.h"
#include "notify/message_table.h"
#include "notify/sibling_callback.h"
#include "tools/system/device_build.h"
#include "tools/system/driver_package.h"
#include "tools/system/progress.h"
#include "updater_interface/interface_guids.h"

namespace dfuhost {

namespace {

constexpr std::u16string_view kService = u"ostdfu";
constexpr std::u16string_view kParametersPath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ostdfu\\Parameters";

// Hubs made for devices that come later have every port a hub may have (USB numbers them in a
// byte).
constexpr unsigned kWidestHub = 255;

// A device that keeps leaving as soon as it has arrived would otherwise keep one call busy.
constexpr unsigned kMaxArrivalsPerSettle = 8;

host::MessageTable driverMessageTable() {
    host::MessageTable table;
    ULONG count = 0;
    const EVENT_MESSAGE_ENTRY* messages = OstDfuMessageTable(&count);
    for (ULONG i = 0; i < count; ++i) {
        table.add(messages[i].MessageId, messages[i].Text);
    }
    return table;
}

std::vector<std::uint8_t> dwordBytes(std::uint64_t value, unsigned bytes) {
    std::vector<std::uint8_t> data;
    for (unsigned i = 0; i < bytes; ++i) {
        data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return data;
}

// The driver is installed from its package as the system would for a bootloader, then the
// scenario's parameters change the Parameters key the package wrote.
void installDriver(host::Registry& registry) {
    const host::InfInstallation installed = host::installInf(
        registry, driverPackageInf(), "USB\\VID_0483&PID_DF11", kDriverPackageName);
    if (installed.service != kService) {
        throw std::logic_error("the driver package installs another service than dfuhost loads");
    }
}

void writeParameters(host::Registry& registry, const scenario::Scenario& s) {
    const scenario::Parameters& p = s.parameters;
    switch (p.kind) {
        case scenario::Parameters::Kind::Missing:
            registry.deleteKey(kParametersPath);
            return;
        case scenario::Parameters::Kind::Empty:
            return;
        case scenario::Parameters::Kind::RegFile: {
            std::filesystem::path file(p.regFile);
            if (file.is_relative() && !s.fileName.empty() && s.fileName.front() != '<') {
                file = std::filesystem::path(s.fileName).parent_path() / file;
            }
            try {
                host::loadRegFile(registry, file.string());
            } catch (const host::RegFileError& e) {
                scenario::fail(s, "parameters", std::string("a .reg file that loads (") + e.what() + ")");
            }
            return;
        }
        case scenario::Parameters::Kind::Values:
            registry.deleteKey(kParametersPath);
            registry.createKey(kParametersPath);
            for (const auto& [name, value] : p.values) {
                const std::u16string wideName = host::widen(name);
                switch (value.type) {
                    case scenario::RegistryValue::Type::Dword:
                        registry.setValue(kParametersPath, wideName, REG_DWORD, dwordBytes(value.number, 4));
                        break;
                    case scenario::RegistryValue::Type::Qword:
                        registry.setValue(kParametersPath, wideName, REG_QWORD, dwordBytes(value.number, 8));
                        break;
                    case scenario::RegistryValue::Type::Sz:
                        registry.setString(kParametersPath, wideName, host::widen(value.text));
                        break;
                    case scenario::RegistryValue::Type::Binary:
                        registry.setBinary(kParametersPath, wideName, value.binary);
                        break;
                    case scenario::RegistryValue::Type::MultiSz: {
                        std::vector<std::u16string> strings;
                        for (const std::string& text : value.strings) strings.push_back(host::widen(text));
                        registry.setMultiString(kParametersPath, wideName, strings);
                        break;
                    }
                }
            }
            return;
    }
}

// "6&2c41a7f3&0&15": an instance id made from the port, for a device whose serial number
// another device uses already.
std::u16string portInstanceId(const scenario::Device& device) {
    std::uint32_t hash = 2166136261u;
    for (char c : locationText(device.controller, device.location)) {
        hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
    }
    char text[40];
    std::snprintf(text, sizeof(text), "6&%08x&0&%u", hash, device.location.back());
    return host::widen(text);
}

}  // namespace

// Hears the bus from whatever thread the device end calls it on (often inside a transfer): it
// only takes note; settle() acts on the notes from the scenario's thread.
class DriverOnBus::Listener final : public host::usb::BusListener {
public:
    void deviceDisconnected(host::usb::Device& device) override { note(device); }
    void deviceReconnected(host::usb::Device& device) override { note(device); }

    std::vector<host::usb::Device*> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(changed_, {});
    }

private:
    void note(host::usb::Device& device) {
        std::lock_guard lock(mutex_);
        if (std::find(changed_.begin(), changed_.end(), &device) == changed_.end()) {
            changed_.push_back(&device);
        }
    }
    std::mutex mutex_;
    std::vector<host::usb::Device*> changed_;
};

const char* interfaceKindName(InterfaceKind kind) {
    switch (kind) {
        case InterfaceKind::Driver:
            return "driver";
        case InterfaceKind::Product:
            return "product";
        case InterfaceKind::Companion:
            return "companion";
    }
    return "?";
}

FDO_DATA* DeviceSlot::context() const {
    if (pnp == nullptr || pnp->handle() == nullptr) return nullptr;
    return FdoGetData(pnp->handle());
}

bool DeviceSlot::started() const { return pnp != nullptr && pnp->state() == host::PnpState::Started; }

std::string pnpStateText(const DeviceSlot& slot) {
    if (slot.pnp != nullptr) return host::pnpStateName(slot.pnp->state());
    if (slot.enumerationFailed) return "did not enumerate";
    if (slot.bus->gone()) return "not on the bus";
    return "not offered";
}

std::string statusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(status));
    return text;
}

std::string statusName(NTSTATUS status) {
    const char* name = NtStatusName(status);
    return name != nullptr ? std::string(name) + " (" + statusText(status) + ")" : statusText(status);
}

host::usb::PciAddress controllerAddress(unsigned controller) {
    return {0, static_cast<ULONG>(0x14 + controller), 0};
}

USB_TOPOLOGY_ADDRESS topologyOf(unsigned controller, const std::vector<unsigned>& location) {
    USB_TOPOLOGY_ADDRESS address{};
    const host::usb::PciAddress pci = controllerAddress(controller);
    address.PciBusNumber = pci.bus;
    address.PciDeviceNumber = pci.device;
    address.PciFunctionNumber = pci.function;
    if (!location.empty()) {
        address.RootHubPortNumber = static_cast<USHORT>(location.front());
        for (std::size_t i = 1; i < location.size() && i - 1 < 5; ++i) {
            address.HubPortNumber[i - 1] = static_cast<USHORT>(location[i]);
        }
    }
    return address;
}

std::string locationText(unsigned controller, const std::vector<unsigned>& location) {
    std::string text = std::to_string(controller) + ":";
    for (std::size_t i = 0; i < location.size(); ++i) {
        text += (i == 0 ? "" : ".") + std::to_string(location[i]);
    }
    return text;
}

DriverOnBus::DriverOnBus(const scenario::Scenario& s, SystemOptions options)
    : scenario_(s), options_(std::move(options)) {
    host::MachineOptions machineOptions;
    machineOptions.virtualClock = !options_.realTime;
    machineOptions.osMajor = options_.osVersion ? options_.osVersion->first : scenario_.osMajor;
    machineOptions.osMinor = options_.osVersion ? options_.osVersion->second : scenario_.osMinor;
    machine_ = std::make_unique<host::Machine>(machineOptions);
    machine_->eventLog().setMessageTable(driverMessageTable());
    if (options_.traceFlags != 0) {
        machine_->trace().enable(options_.traceFlags);
    }

    installDriver(machine_->registry());
    writeParameters(machine_->registry(), scenario_);
    if (!options_.registryFile.empty()) {
        try {
            host::loadRegFile(machine_->registry(), options_.registryFile);
        } catch (const host::RegFileError& e) {
            throw scenario::ScenarioError(e.what());
        }
    }

    std::vector<std::shared_ptr<host::DeviceEnd>> ends;
    for (std::size_t i = 0; i < scenario_.devices.size(); ++i) {
        DeviceSlot slot;
        slot.entry = &scenario_.devices[i];
        if (options_.deviceEnd) {
            ends.push_back(options_.deviceEnd(*slot.entry, machine_->clock()));
            slots_.push_back(std::move(slot));
            continue;
        }
        slot.rom = bootloaderFor(scenario_, *slot.entry, machine_->clock());
        ends.push_back(slot.rom);
        slots_.push_back(std::move(slot));
    }

    // Ports: every root hub and hub is as wide as the highest port used on it (8 at least), so
    // any location the scenario names exists.
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const scenario::Device& d = *slots_[i].entry;
        slots_[i].bus = &hubFor(d.controller, d.location, scenario::kNarrowestHub)
                             .attachDevice(static_cast<USHORT>(d.location.back()), ends[i]);
        slots_[i].bus->setRecording(options_.recordTraffic);
    }
    listener_ = std::make_unique<Listener>();
    machine_->usb().setListener(listener_.get());
}

DriverOnBus::~DriverOnBus() {
    if (machine_) {
        machine_->usb().setListener(nullptr);
    }
    machine_.reset();
}

host::usb::Hub& DriverOnBus::hubFor(unsigned controller, const std::vector<unsigned>& location,
                                    unsigned minimumWidth) {
    auto widthBelow = [this, controller, minimumWidth](const std::vector<unsigned>& prefix) {
        return static_cast<USHORT>(scenario_.hubWidth(controller, prefix, minimumWidth));
    };
    if (controllers_.size() <= controller) {
        controllers_.resize(controller + 1, nullptr);
    }
    if (controllers_[controller] == nullptr) {
        controllers_[controller] =
            &machine_->usb().addController(controllerAddress(controller), widthBelow({}));
    }
    host::usb::Hub* hub = &controllers_[controller]->rootHub();
    std::vector<unsigned> prefix;
    for (std::size_t i = 0; i + 1 < location.size(); ++i) {
        prefix.push_back(location[i]);
        const auto key = std::make_pair(controller, prefix);
        auto known = std::find_if(hubs_.begin(), hubs_.end(),
                                  [&key](const auto& entry) { return entry.first == key; });
        if (known == hubs_.end()) {
            host::usb::Hub& added =
                hub->attachHub(static_cast<USHORT>(location[i]), widthBelow(prefix));
            hubs_.emplace_back(key, &added);
            hub = &added;
        } else {
            hub = known->second;
        }
    }
    return *hub;
}

bool DriverOnBus::driverLoaded() const { return machine_->pnp().driverLoaded(); }

std::string DriverOnBus::driverName() const {
    const std::string& image = imagePath();
    return image.empty() ? "built-in" : image;
}

const std::string& DriverOnBus::imagePath() const {
    return options_.driverImage.empty() ? scenario_.driverImage : options_.driverImage;
}

NTSTATUS DriverOnBus::start() {
    // Counted from the driver's load, so the machine's own setup takes none of them.
    for (const scenario::MachineFault& fault : scenario_.machineFaults) {
        if (fault.allocationTag) {
            machine_->faults().failAllocation(*fault.allocationTag, fault.nth);
        } else {
            machine_->faults().failCall(*fault.service, fault.nth, fault.status);
        }
    }
    if (imagePath().empty()) {
        entryStatus_ = machine_->pnp().loadDriver(DriverEntry, kService);
    } else {
        // The image's entry stub binds it to the framework through the framework's loader.
        const host::image::DriverImages::Loaded loaded = machine_->driverImages().load(imagePath());
        if (loaded.image == nullptr) {
            throw scenario::ScenarioError(loaded.error);
        }
        entryStatus_ = machine_->pnp().loadDriver(loaded.image->entryPoint(), kService,
                                                  host::FrameworkBinding::ByDriver);
    }
    if (!NT_SUCCESS(entryStatus_)) {
        return entryStatus_;
    }
    std::vector<DeviceSlot*> all;
    for (DeviceSlot& slot : slots_) all.push_back(&slot);
    arriveTogether(all);
    settle();
    return entryStatus_;
}

DeviceSlot* DriverOnBus::find(const std::string& nameOrNumber) {
    for (DeviceSlot& slot : slots_) {
        if (slot.name() == nameOrNumber) return &slot;
    }
    if (!nameOrNumber.empty() && nameOrNumber.size() < 6 &&
        nameOrNumber.find_first_not_of("0123456789") == std::string::npos) {
        const unsigned long number = std::stoul(nameOrNumber);
        if (number >= 1 && number <= slots_.size()) return &slots_[number - 1];
    }
    return nullptr;
}

std::optional<host::PnpDeviceDescription> DriverOnBus::describe(
    DeviceSlot& slot, const std::vector<host::PnpDeviceDescription>& alsoArriving) {
    slot.arrivalPending = false;
    if (!driverLoaded() || slot.bus->gone()) return std::nullopt;
    // The previous arrival still holds the physical device object (a handle is open on it): the
    // device arrives once that is closed.
    if (slot.bus->pdo()->AttachedDevice != nullptr) {
        slot.arrivalPending = true;
        return std::nullopt;
    }
    std::optional<host::PnpDeviceDescription> description = host::usb::enumerate(*slot.bus);
    slot.enumerationFailed = !description.has_value();
    if (!description) return std::nullopt;
    // Two devices with one serial number would share an instance id, and with it their
    // interface links: the later one is known by its port instead, as hubs do with duplicates.
    if (!description->serialNumber.empty()) {
        auto sameId = [&](const std::u16string& instanceId, PDEVICE_OBJECT pdo) {
            return pdo != slot.bus->pdo() && instanceId == description->serialNumber;
        };
        bool taken = std::any_of(alsoArriving.begin(), alsoArriving.end(), [&](const auto& other) {
            return sameId(other.instanceId.empty() ? other.serialNumber : other.instanceId,
                          other.physicalDevice);
        });
        for (host::PnpDevice* other : machine_->pnp().devices()) {
            taken = taken || sameId(other->instanceId(), other->description().physicalDevice);
        }
        if (taken) description->instanceId = portInstanceId(*slot.entry);
    }
    if (slot.entry->hardwareIds) {
        description->hardwareIds.clear();
        for (const std::string& id : *slot.entry->hardwareIds) {
            description->hardwareIds.push_back(host::widen(id));
        }
    }
    return description;
}

DeviceSlot& DriverOnBus::attach(scenario::Device entry, std::shared_ptr<host::DeviceEnd> end) {
    entry.index = scenario_.devices.size() + attached_.size();
    attached_.push_back(std::move(entry));
    const scenario::Device& d = attached_.back();
    host::usb::Hub& hub = hubFor(d.controller, d.location, kWidestHub);
    DeviceSlot slot;
    slot.entry = &d;
    slot.bus = &hub.attachDevice(static_cast<USHORT>(d.location.back()), std::move(end));
    slot.bus->setRecording(options_.recordTraffic);
    slot.arrivalPending = true;
    slots_.push_back(std::move(slot));
    return slots_.back();
}

void DriverOnBus::arriveTogether(const std::vector<DeviceSlot*>& slots) {
    // The hubs enumerate one device after the other; the driver then starts them side by side,
    // so a bus full of bootloaders is ready after one device's arrival time, not the sum.
    std::vector<host::PnpDeviceDescription> descriptions;
    std::vector<DeviceSlot*> offered;
    for (DeviceSlot* slot : slots) {
        if (std::optional<host::PnpDeviceDescription> description = describe(*slot, descriptions)) {
            descriptions.push_back(std::move(*description));
            offered.push_back(slot);
        }
    }
    if (offered.empty()) return;
    std::vector<host::PnpDevice*> arrived;
    {
        const std::string what = offered.size() == 1
                                     ? "identifying " + offered.front()->name()
                                     : "identifying " + std::to_string(offered.size()) + " devices";
        Progress progress(options_.progress, what, &machine_->clock());
        arrived = machine_->pnp().offerDevices(std::move(descriptions));
    }
    for (std::size_t i = 0; i < offered.size(); ++i) {
        offered[i]->pnp = arrived[i];
        ++offered[i]->arrivals;
    }
    collectTraffic();
}

void DriverOnBus::settle() {
    for (unsigned round = 0; round < kMaxArrivalsPerSettle; ++round) {
        const std::vector<host::usb::Device*> changed = listener_->take();
        bool any = false;
        std::vector<DeviceSlot*> arriving;
        for (DeviceSlot& slot : slots_) {
            const bool noted = std::find(changed.begin(), changed.end(), slot.bus) != changed.end();
            if (!noted && !slot.arrivalPending) continue;
            any = true;
            // Whatever came back, the device that was there left first: the system learns of it
            // as a surprise removal.
            if (noted && slot.started()) {
                machine_->pnp().surpriseRemoveDevice(*slot.pnp);
                collectTraffic();
            }
            if (!slot.bus->gone()) {
                arriving.push_back(&slot);
            } else {
                slot.arrivalPending = false;
            }
        }
        if (!any) return;
        arriveTogether(arriving);
    }
}

bool DriverOnBus::arrivedSince(DeviceSlot& slot, unsigned seen) {
    slot.bus->end().checkPresence();
    settle();
    return slot.arrivals > seen && slot.started();
}

void DriverOnBus::surpriseRemove(DeviceSlot& slot) {
    if (slot.rom) slot.rom->unplug();
    settle();
    // A device that was already off the bus (it left for its application) may still have its
    // driver started when the bus said nothing new.
    if (slot.started()) {
        machine_->pnp().surpriseRemoveDevice(*slot.pnp);
        collectTraffic();
    }
    slot.arrivalPending = false;
}

void DriverOnBus::remove(DeviceSlot& slot) {
    if (slot.started()) {
        machine_->pnp().removeDevice(*slot.pnp);
        collectTraffic();
    }
    if (slot.rom) slot.rom->unplug();
    settle();
    slot.arrivalPending = false;
}

void DriverOnBus::plug(DeviceSlot& slot) {
    if (!slot.rom) {
        // A real device comes back by its cable; one still on the bus arrives again.
        if (!slot.started() && !slot.bus->gone()) slot.arrivalPending = true;
        settle();
        return;
    }
    switch (slot.rom->presence()) {
        case sim::Presence::Unplugged:
            slot.rom->plug();
            break;
        case sim::Presence::InApplication:
            // Back into the bootloader: the boot pins still select system memory.
            slot.rom->cyclePort();
            break;
        case sim::Presence::Attached:
            if (!slot.started()) slot.arrivalPending = true;
            break;
    }
    settle();
}

SiblingAnswer DriverOnBus::notifySibling(const scenario::SiblingNotifyAction& action) {
    ULONG64 serial = 0;
    SiblingRequestRecord record{};
    record.Command = action.command;
    record.SerialOut = action.serialOut ? &serial : nullptr;
    record.SiblingVendorId = action.vendorId;
    record.SiblingProductId = action.productId;
    record.Result = static_cast<LONG64>(action.result);
    record.SiblingTopology = topologyOf(action.controller, action.location);
    SiblingAnswer answer;
    answer.notifyStatus = host::notifyCallbackByName(machine_->objects(), SIBLING_CALLBACK_OBJECT_NAME,
                                                     nullptr, &record);
    answer.result = static_cast<std::uint64_t>(record.Result);
    if (action.serialOut) answer.serial = serial;
    return answer;
}

std::optional<GUID> DriverOnBus::interfaceGuid(const DeviceSlot& slot, InterfaceKind kind) const {
    if (kind == InterfaceKind::Driver) return GUID_DEVINTERFACE_OSTDFU_DRIVER;
    FDO_DATA* fdo = slot.context();
    if (fdo == nullptr) return std::nullopt;
    const GUID guid = kind == InterfaceKind::Product ? fdo->ProductInterfaceGuid
                                                     : fdo->CompanionInterfaceGuid;
    if (IsEqualGUID(guid, GUID{})) return std::nullopt;
    return guid;
}

std::optional<std::u16string> DriverOnBus::interfaceLink(const DeviceSlot& slot,
                                                         InterfaceKind kind) const {
    const std::optional<GUID> guid = interfaceGuid(slot, kind);
    if (!guid || !slot.started()) return std::nullopt;
    for (const host::InterfaceInstance& instance : machine_->interfaces().visible(*guid)) {
        if (instance.physicalDevice == slot.bus->pdo()) return instance.symbolicLink;
    }
    return std::nullopt;
}

void DriverOnBus::removeAll() {
    for (DeviceSlot& slot : slots_) {
        if (slot.started()) {
            machine_->pnp().removeDevice(*slot.pnp);
            collectTraffic();
        }
        slot.arrivalPending = false;
    }
    // Devices that came back while this ran stay unannounced: the system is shutting down.
    listener_->take();
}

bool DriverOnBus::unload() {
    if (unloaded_) return true;
    if (!machine_->pnp().unloadDriver()) return false;
    unloaded_ = true;
    collectTraffic();
    leaks_ = machine_->pool().leakedTags();
    return true;
}

void DriverOnBus::collectTraffic() {
    for (DeviceSlot& slot : slots_) {
        std::vector<host::usb::TrafficEntry> entries = slot.bus->traffic();
        if (entries.empty()) continue;
        slot.bus->clearTraffic();
        for (host::usb::TrafficEntry& entry : entries) {
            if (options_.traceUsb) {
                std::fprintf(stderr, "[usb %s] %s\n", slot.name().c_str(),
                             host::usb::describe(entry).c_str());
            }
            usb_.push_back({slot.name(), std::move(entry)});
        }
    }
}

const std::vector<UsbRecord>& DriverOnBus::usb() {
    collectTraffic();
    return usb_;
}

}  // namespace dfuhost
