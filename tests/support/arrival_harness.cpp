#include "tests/support/arrival_harness.h"

#include <stdexcept>

#include "host/ob/callback_objects.h"
#include "host/usb/enumeration.h"
#include "notify/sibling_callback.h"

namespace ostdfu_test {

FDO_DATA* Arrived::context() const { return FdoGetData(device()); }

WDFDEVICE Arrived::device() const {
    if (pnp == nullptr || pnp->device() == nullptr) {
        throw std::logic_error("the device was not added");
    }
    return pnp->handle();
}

ArrivalHarness::ArrivalHarness(HarnessOptions options) : driver_(options) {}

host::usb::Hub& ArrivalHarness::hubFor(const Port& port) {
    auto& controller = controllers_[port.controller];
    if (controller == nullptr) {
        const host::usb::PciAddress pci{0, static_cast<ULONG>(0x14 + port.controller), 0};
        controller = &machine().usb().addController(pci, 8);
    }
    host::usb::Hub* hub = &controller->rootHub();
    std::vector<USHORT> prefix;
    for (std::size_t i = 0; i + 1 < port.path.size(); ++i) {
        prefix.push_back(port.path[i]);
        auto& known = hubs_[{port.controller, prefix}];
        if (known == nullptr) {
            known = &hub->attachHub(port.path[i], 8);
        }
        hub = known;
    }
    return *hub;
}

Arrived ArrivalHarness::plug(const sim::BootloaderConfig& config, const Port& port) {
    auto rom = std::make_shared<sim::Bootloader>(config, machine().clock());
    Arrived arrived = plug(std::shared_ptr<host::DeviceEnd>(rom), port);
    arrived.rom = rom;
    return arrived;
}

void ArrivalHarness::loadOnce() {
    if (!loaded_) {
        if (!NT_SUCCESS(driver_.loadDriver())) {
            throw std::runtime_error("the driver did not load");
        }
        loaded_ = true;
    }
}

std::pair<Arrived, host::PnpDeviceDescription> ArrivalHarness::attach(
    std::shared_ptr<host::DeviceEnd> end, const Port& port) {
    loadOnce();
    Arrived arrived;
    arrived.bus = &hubFor(port).attachDevice(port.path.back(), std::move(end));
    auto description = host::usb::enumerate(*arrived.bus);
    if (!description) {
        throw std::runtime_error("the device did not enumerate");
    }
    return {arrived, std::move(*description)};
}

Arrived ArrivalHarness::plug(std::shared_ptr<host::DeviceEnd> end, const Port& port) {
    auto [arrived, description] = attach(std::move(end), port);
    arrived.pnp = &machine().pnp().offerDevice(std::move(description));
    return arrived;
}

std::vector<Arrived> ArrivalHarness::plugTogether(
    const std::vector<std::pair<std::shared_ptr<sim::Bootloader>, Port>>& devices) {
    std::vector<Arrived> arrived;
    std::vector<host::PnpDeviceDescription> descriptions;
    for (const auto& [rom, port] : devices) {
        auto [one, description] = attach(rom, port);
        one.rom = rom;
        arrived.push_back(one);
        descriptions.push_back(std::move(description));
    }
    const std::vector<host::PnpDevice*> offered = machine().pnp().offerDevices(std::move(descriptions));
    for (std::size_t i = 0; i < arrived.size(); ++i) {
        arrived[i].pnp = offered[i];
    }
    return arrived;
}

NTSTATUS ArrivalHarness::askSiblingSerial(const USB_TOPOLOGY_ADDRESS& siblingTopology) {
    ULONG64 serial = 0;
    SiblingRequestRecord record{};
    record.Command = SIBLING_COMMAND_SERIAL;
    record.SerialOut = &serial;
    record.SiblingVendorId = 0x3A7C;
    record.SiblingProductId = 0x1111;
    record.SiblingTopology = siblingTopology;
    return host::notifyCallbackByName(machine().objects(), SIBLING_CALLBACK_OBJECT_NAME, nullptr,
                                      &record);
}

std::vector<host::InterfaceInstance> ArrivalHarness::interfaces(const GUID& classGuid) const {
    return const_cast<ArrivalHarness*>(this)->machine().interfaces().visible(classGuid);
}

}  // namespace ostdfu_test
