// The bus of the machine's real USB: every STM32 bootloader (0483:DF11) found through libusb,
// each at the place it has on the system's USB (controller = USB bus number, then its ports),
// with a libusb device end at its port instead of a bootloader model.
#pragma once

#include <string>
#include <vector>

#include "tools/system/driver_on_bus.h"

namespace dfuhost {

inline constexpr const char* kUsbBusName = "<usb>";

struct UsbBus {
    scenario::Scenario scenario;
    // For SystemOptions::deviceEnd: opens the device of a scenario entry; throws
    // host::libusb::UsbError when it cannot (permission, busy), naming the device and the fix.
    std::function<std::shared_ptr<host::DeviceEnd>(const scenario::Device&, host::Clock&)> deviceEnd;
    // Devices found but left off the bus (too deep to place), one line each.
    std::vector<std::string> skipped;
};

// "3-1.4": the name the system gives the device at bus 3, port 4 of the hub at root port 1.
std::string usbDeviceName(unsigned busNumber, const std::vector<unsigned>& ports);

// Looks at the machine's USB now. Throws host::libusb::UsbError when libusb cannot start.
UsbBus usbBus();

}  // namespace dfuhost
