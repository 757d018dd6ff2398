// The driver loaded on a machine with a USB bus: bootloader models plugged into ports arrive as
// the system would bring them (enumeration by the hub, device add, hardware preparation). For
// tests of device arrival, the sibling callback and the control interface.
#pragma once

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "sim/bootloader.h"
#include "tests/support/driver_harness.h"

namespace ostdfu_test {

struct Port {
    unsigned controller = 0;
    std::vector<USHORT> path{1};  // root-hub port, then hub ports
};

struct Arrived {
    std::shared_ptr<sim::Bootloader> rom;  // when the device end is the bootloader model
    host::usb::Device* bus = nullptr;
    host::PnpDevice* pnp = nullptr;
    FDO_DATA* context() const;
    WDFDEVICE device() const;
};

class ArrivalHarness {
public:
    explicit ArrivalHarness(HarnessOptions options = {});
    DriverHarness& driver() { return driver_; }
    host::Machine& machine() { return driver_.machine(); }

    // Loads the driver when it is not loaded yet, then plugs the bootloader in.
    Arrived plug(const sim::BootloaderConfig& config, const Port& port = {});
    Arrived plug(std::shared_ptr<host::DeviceEnd> end, const Port& port = {});
    // Plugs them all in, enumerates them one after the other and offers them to the PnP
    // manager at once; returns when every one has started or failed.
    std::vector<Arrived> plugTogether(
        const std::vector<std::pair<std::shared_ptr<sim::Bootloader>, Port>>& devices);
    // The enabled interfaces of a class, as user mode sees them.
    std::vector<host::InterfaceInstance> interfaces(const GUID& classGuid) const;
    std::vector<std::string> eventTexts() { return driver_.eventTexts(); }
    // A sibling driver of the paired product asks for the serial of the bootloader below the
    // hub of that place, on the calling thread; the status of the notification.
    NTSTATUS askSiblingSerial(const USB_TOPOLOGY_ADDRESS& siblingTopology);

private:
    void loadOnce();
    host::usb::Hub& hubFor(const Port& port);
    // Attached to the port and enumerated; pnp stays nullptr.
    std::pair<Arrived, host::PnpDeviceDescription> attach(std::shared_ptr<host::DeviceEnd> end,
                                                          const Port& port);

    DriverHarness driver_;
    bool loaded_ = false;
    std::map<unsigned, host::usb::HostController*> controllers_;
    std::map<std::pair<unsigned, std::vector<USHORT>>, host::usb::Hub*> hubs_;
};

}  // namespace ostdfu_test
