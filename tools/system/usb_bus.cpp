#include "tools/system/usb_bus.h"

#include <algorithm>

#include "host/libusb/libusb_device_end.h"

namespace dfuhost {

std::string usbDeviceName(unsigned busNumber, const std::vector<unsigned>& ports) {
    std::string name = std::to_string(busNumber) + "-";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        name += (i == 0 ? "" : ".") + std::to_string(ports[i]);
    }
    return name;
}

UsbBus usbBus() {
    namespace lu = host::libusb;
    auto context = std::make_shared<lu::Context>();
    UsbBus bus;
    bus.scenario.fileName = kUsbBusName;
    std::vector<lu::FoundDevice> placed;
    for (const lu::FoundDevice& found : lu::findBootloaders(*context)) {
        scenario::Device device;
        try {
            const lu::BusPlace place = lu::busPlaceOf(found.busNumber, found.ports);
            device.controller = place.controller;
            device.location = place.location;
        } catch (const lu::UsbError& e) {
            bus.skipped.push_back(e.what());
            continue;
        }
        device.name = usbDeviceName(found.busNumber, found.ports);
        device.index = bus.scenario.devices.size();
        device.locationGiven = true;
        bus.scenario.devices.push_back(std::move(device));
        placed.push_back(found);
    }
    bus.deviceEnd = [context, placed](const scenario::Device& device,
                                      host::Clock& clock) -> std::shared_ptr<host::DeviceEnd> {
        const auto found = std::find_if(placed.begin(), placed.end(), [&](const lu::FoundDevice& f) {
            return f.busNumber == device.controller && f.ports == device.location;
        });
        if (found == placed.end()) {
            throw lu::UsbError("no bootloader at " + lu::deviceText(device.controller, device.location));
        }
        return std::make_shared<lu::LibusbDeviceEnd>(context, *found, clock);
    };
    return bus;
}

}  // namespace dfuhost
