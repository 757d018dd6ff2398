// The driver on a bus: the emulated machine with the driver's Parameters key, the driver loaded
// as the service "ostdfu", host controllers, hubs and ports with a bootloader model at each
// device's port, and each device enumerated by its hub and offered to the PnP manager. Devices
// leave and come back as a real bus would make them: pulled cables, orderly removal, a plug,
// and the re-enumeration that follows a port cycle, a detach, a read unprotect or an option-byte
// write. At the end the devices are removed in order, the driver unloads and the pool is checked.
//
// One scenario at a time, from one thread: the actions run one after the other, and the machine
// is the process's current one while this object lives. The devices of the bus arrive side by
// side at the start, each on a PnP worker of its own.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/machine.h"
#include "host/usb/bus.h"
#include "sim/bootloader.h"
#include "tools/scenario/scenario.h"

struct FDO_DATA;

namespace dfuhost {

struct SystemOptions {
    bool realTime = false;
    // Replaces the scenario's system version.
    std::optional<std::pair<unsigned, unsigned>> osVersion;
    // Loaded after the scenario's parameters, so it may add to them or replace them.
    std::string registryFile;
    ULONG traceFlags = 0;  // the driver's trace flags, to stderr
    bool traceUsb = false;  // every transfer on the bus, to stderr
    bool progress = false;  // progress lines on stderr while devices arrive
    // When set, what stands at each device's port instead of a bootloader model (real hardware).
    // It may throw; the machine's clock paces whatever waits the end makes.
    std::function<std::shared_ptr<host::DeviceEnd>(const scenario::Device&, host::Clock&)> deviceEnd;
    // Keep every transfer for the result (off for a long run, which would grow without end).
    bool recordTraffic = true;
    // A Windows driver image (ostdfu.sys) to run instead of the built-in driver; it replaces the
    // scenario's.
    std::string driverImage;
};

// One transfer as the scenario's result reports it.
struct UsbRecord {
    std::string device;
    host::usb::TrafficEntry entry;
};

enum class InterfaceKind { Driver, Product, Companion };
const char* interfaceKindName(InterfaceKind kind);

// One device of the scenario: its model, its place on the bus and its latest arrival.
struct DeviceSlot {
    const scenario::Device* entry = nullptr;  // its entry in the scenario
    // The bootloader model; nullptr for a real device, which only the cable can unplug.
    std::shared_ptr<sim::Bootloader> rom;
    host::usb::Device* bus = nullptr;
    // The PnP manager's record of the latest arrival; nullptr until the device was offered.
    host::PnpDevice* pnp = nullptr;
    unsigned arrivals = 0;
    // The hub could not read the device descriptor at the last attempt.
    bool enumerationFailed = false;
    // Came back, but its previous arrival is still held by an open handle.
    bool arrivalPending = false;

    const std::string& name() const { return entry->name; }
    // The driver's device exists and its context can be read.
    FDO_DATA* context() const;
    // Started by the driver and not removed since.
    bool started() const;
};

struct SiblingAnswer {
    NTSTATUS notifyStatus = STATUS_SUCCESS;  // of the notification itself
    std::uint64_t result = 0;                 // the record's Result field afterwards
    std::optional<std::uint64_t> serial;      // the serial buffer, when one was passed
};

class DriverOnBus {
public:
    // Builds the machine and every device model; throws scenario::ScenarioError for a device
    // the scenario cannot describe and for a .reg file that does not load.
    DriverOnBus(const scenario::Scenario& scenario, SystemOptions options);
    ~DriverOnBus();
    DriverOnBus(const DriverOnBus&) = delete;
    DriverOnBus& operator=(const DriverOnBus&) = delete;

    host::Machine& machine() { return *machine_; }
    const scenario::Scenario& scenario() const { return scenario_; }

    // Loads the driver and brings every device, in the scenario's order. The status is the
    // driver entry's; when it fails no device is offered.
    NTSTATUS start();
    NTSTATUS driverEntryStatus() const { return entryStatus_; }
    // Which driver answers: "built-in", or the image file as given.
    std::string driverName() const;
    bool driverLoaded() const;

    // Slots stay where they are while devices are added.
    std::deque<DeviceSlot>& devices() { return slots_; }
    // By name, or by its 1-based position; nullptr when there is no such device.
    DeviceSlot* find(const std::string& nameOrNumber);

    // The cable is pulled: the device goes off the bus, then the system's surprise removal.
    void surpriseRemove(DeviceSlot& device);
    // The system's orderly removal, then the cable is pulled. A device that is not started is
    // only unplugged.
    void remove(DeviceSlot& device);
    // A device the scenario did not have, plugged in at its location with `end` at its port; it
    // arrives at the next settle(). Hubs made for it have every port a hub may have, since
    // more devices may follow at any port. Throws std::logic_error for a taken port.
    DeviceSlot& attach(scenario::Device entry, std::shared_ptr<host::DeviceEnd> end);
    // The device comes back on the bus as a bootloader (from an unplugged cable or from its
    // application) and arrives. A device whose driver is started is left as it is.
    void plug(DeviceSlot& device);
    // Takes in what the bus reported since the last call: devices that left are surprise-removed,
    // devices that came back are enumerated and offered again.
    void settle();
    // One look for a device that is to leave and arrive again (it re-enumerates): the device end
    // looks at its place first, since a real one tells of nothing by itself, then settle(). True
    // once an arrival after the `seen`th has started.
    bool arrivedSince(DeviceSlot& device, unsigned seen);

    SiblingAnswer notifySibling(const scenario::SiblingNotifyAction& action);

    // The visible interface of that kind that the device published, if any.
    std::optional<std::u16string> interfaceLink(const DeviceSlot& device, InterfaceKind kind) const;
    std::optional<GUID> interfaceGuid(const DeviceSlot& device, InterfaceKind kind) const;

    // The end of a run, in two halves so that the caller can close its handles in between: the
    // orderly removal of every device still there, in order; then the driver's unload.
    void removeAll();
    // False when an open handle still holds a removed device.
    bool unload();
    std::vector<std::string> leaks() const { return leaks_; }

    // Every transfer on the bus so far, in order.
    const std::vector<UsbRecord>& usb();

private:
    class Listener;

    // The description the device's hub reports for it, or nullopt when it cannot arrive now.
    // alsoArriving: the devices about to arrive with it, whose instance ids count as taken.
    std::optional<host::PnpDeviceDescription> describe(
        DeviceSlot& device, const std::vector<host::PnpDeviceDescription>& alsoArriving);
    void arriveTogether(const std::vector<DeviceSlot*>& devices);
    void collectTraffic();
    // Made as wide as the widest port of a device below them, and at least `minimumWidth`.
    host::usb::Hub& hubFor(unsigned controller, const std::vector<unsigned>& location, unsigned minimumWidth);

    scenario::Scenario scenario_;
    SystemOptions options_;
    // The image to load: the options' before the scenario's; empty for the built-in driver.
    const std::string& imagePath() const;
    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<Listener> listener_;
    std::deque<DeviceSlot> slots_;
    std::deque<scenario::Device> attached_;  // the entries of devices added by attach()
    std::vector<host::usb::HostController*> controllers_;
    std::vector<std::pair<std::pair<unsigned, std::vector<unsigned>>, host::usb::Hub*>> hubs_;
    NTSTATUS entryStatus_ = STATUS_PENDING;
    bool unloaded_ = false;
    std::vector<std::string> leaks_;
    std::vector<UsbRecord> usb_;
};

// Where the device stands for the system: the PnP state of its latest arrival, or why it has
// none ("did not enumerate", "not on the bus", "not offered").
std::string pnpStateText(const DeviceSlot& device);

// "0xc0000001".
std::string statusText(NTSTATUS status);
// "STATUS_UNSUCCESSFUL (0xc0000001)", or the number alone for a status without a name.
std::string statusName(NTSTATUS status);

// The PCI address the bus gives a controller index, and the topology address of a location.
host::usb::PciAddress controllerAddress(unsigned controller);
USB_TOPOLOGY_ADDRESS topologyOf(unsigned controller, const std::vector<unsigned>& location);
// "0:3.2": controller, root-hub port, hub ports.
std::string locationText(unsigned controller, const std::vector<unsigned>& location);

}  // namespace dfuhost
