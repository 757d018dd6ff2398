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
    lu::Context context;
    UsbBus bus;
    bus.scenario.fileName = kUsbBusName;
    std::vector<lu::FoundDevice> placed;
    for (const lu::FoundDevice& found : lu::findBootloaders(context)) {
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
    // Each end gets a libusb session of its own. In a shared one, whichever thread is handling
    // the session's events reaps every device's transfers, so with several devices at work a
    // transfer's completion is passed from that thread to its sender: two wake-ups instead of
    // none, and a node that was pulled can hold up the others' transfers.
    bus.deviceEnd = [placed](const scenario::Device& device,
                             host::Clock& clock) -> std::shared_ptr<host::DeviceEnd> {
        const auto found = std::find_if(placed.begin(), placed.end(), [&](const lu::FoundDevice& f) {
            return f.busNumber == device.controller && f.ports == device.location;
        });
        if (found == placed.end()) {
            throw lu::UsbError("no bootloader at " + lu::deviceText(device.controller, device.location));
        }
        return std::make_shared<lu::LibusbDeviceEnd>(std::make_shared<lu::Context>(), *found, clock);
    };
    return bus;
}

}  // namespace dfuhost
