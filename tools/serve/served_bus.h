// The bootloader models of a scenario served as usbdevfs devices on a umockdev testbed: each at
// the bus and ports its location gives (controller 0 is bus 1), with the hubs between it and
// its root hub, so libusb names it as Linux would ("1-15.2"). A model that leaves the bus on its
// own (leave, reset, re-enumeration) takes its node away, and brings a new one (with a new
// address, as the kernel gives it) when it comes back.
//
// Driven from one thread; the models tell of their comings and goings from umockdev's thread,
// which only takes note and wakes the driving thread (settle()).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/umockdev/usbdevfs_server.h"
#include "sim/bootloader.h"
#include "tools/scenario/scenario.h"
#include "tools/system/report.h"

namespace dfuhost {

class TransferLog;

class ServedBus {
public:
    // Builds every model on `clock` and the hubs; no device is on the testbed yet. Throws
    // scenario::ScenarioError for a device the model cannot be.
    ServedBus(const scenario::Scenario& scenario, host::Clock& clock, TransferLog* log,
              std::function<void()> wake);
    ~ServedBus();
    ServedBus(const ServedBus&) = delete;
    ServedBus& operator=(const ServedBus&) = delete;

    // The cable is plugged in: the model is attached and its node appears. Nothing happens to a
    // device already on the bus.
    void plug(const std::string& device);
    // The cable is pulled: the node goes away and the model is unplugged.
    void pull(const std::string& device);
    // Follows the models that left or came back since the last call.
    void settle();

    // Each device: name, place, node, presence, DFU state and status, address pointer, memory
    // CRC-32 (the same as `dfuhost run` reports).
    Json snapshot() const;

private:
    struct Unit;
    Unit& unit(const std::string& device);
    void depart(Unit& unit);
    void serve(Unit& unit);
    unsigned nextAddress(unsigned busNumber);

    host::umockdev::Testbed testbed_;
    TransferLog* log_;
    std::function<void()> wake_;
    std::vector<std::unique_ptr<Unit>> units_;
    // Nodes of devices that left: the command may still hold them open, and gets ENODEV.
    std::vector<std::unique_ptr<host::umockdev::UsbdevfsServer>> departed_;
    std::vector<std::string> hubs_;  // sysfs paths of the hubs added
    std::vector<std::pair<unsigned, unsigned>> lastAddress_;  // bus, last address given
};

}  // namespace dfuhost
