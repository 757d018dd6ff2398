// A machine with one USB device and a minimal function driver on it, for tests of the USB
// transport alone. The driver's add callback creates the framework device with the real device
// context and fills the four device-object fields; it registers no other callback, so nothing
// runs that the test does not call.
//
//   FDO (minimal driver)  ->  [optional ScriptedLowerDevice filter]  ->  bus PDO  ->  device end
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "context/device_context.h"
#include "host/io/scripted_lower_device.h"
#include "host/machine.h"
#include "tests/support/scripted_device_end.h"

namespace ostdfu_test {

struct TransportOptions {
    // Where the device sits: PCI address of its host controller, root-hub port, and the hub
    // ports below it (empty: directly at the root port).
    host::usb::PciAddress pci{0, 0x14, 0};
    USHORT rootPort = 3;
    std::vector<USHORT> hubPorts;
    std::u16string serialNumber = u"315A28A0B956";
    // Puts a ScriptedLowerDevice (PassDown) between the driver and the bus.
    bool filter = false;
    // Makes the device end with the machine's clock (the bootloader model needs it); unset: the
    // end given to the constructor, or a ScriptedDeviceEnd.
    std::function<std::shared_ptr<host::DeviceEnd>(host::Clock&)> makeEnd;
};

class TransportHarness {
  public:
    explicit TransportHarness(TransportOptions options = {},
                              std::shared_ptr<host::DeviceEnd> end = nullptr);
    ~TransportHarness();

    host::Machine& machine() { return *machine_; }
    // The device end, when it is a scripted one.
    ScriptedDeviceEnd& end() { return *scripted_; }
    host::usb::Device& busDevice() { return *busDevice_; }
    host::DeviceEnd& deviceEnd() { return *end_; }
    host::PnpDevice& pnpDevice() { return *pnpDevice_; }
    host::io::ScriptedLowerDevice& filter() { return *filter_; }
    WDFDEVICE device() const;
    FDO_DATA* fdo() const;

    std::vector<host::usb::TrafficEntry> traffic() const { return busDevice_->traffic(); }
    std::vector<std::string> leakedTags() const { return machine_->pool().leakedTags(); }

  private:
    std::unique_ptr<host::Machine> machine_;
    std::shared_ptr<host::DeviceEnd> end_;
    std::shared_ptr<ScriptedDeviceEnd> scripted_;
    host::usb::Device* busDevice_ = nullptr;
    std::unique_ptr<host::io::ScriptedLowerDevice> filter_;
    host::PnpDevice* pnpDevice_ = nullptr;
};

// The bytes of a setup packet as the bus recorded it, e.g. {0xA1, 0x03, ...}.
std::vector<std::uint8_t> setupBytes(const host::usb::TrafficEntry& entry);

}  // namespace ostdfu_test
