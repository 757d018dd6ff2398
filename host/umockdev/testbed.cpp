#include "host/umockdev/testbed.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <umockdev.h>

namespace host::umockdev {

namespace {

std::string portPath(const std::vector<unsigned>& ports, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += (i == 0 ? "" : ".") + std::to_string(ports[i]);
    }
    return text;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// Device, configuration, interface and the status-change endpoint of a full-speed hub.
const std::vector<std::uint8_t> kHubDescriptors = {
    0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x01,                                      // device: class 9, no strings
    0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xE0, 0x00,        // configuration 1, self-powered
    0x09, 0x04, 0x00, 0x00, 0x01, 0x09, 0x00, 0x00, 0x00,        // interface 0, class 9
    0x07, 0x05, 0x81, 0x03, 0x01, 0x00, 0xFF,                    // interrupt IN 1, 1 byte
};

}  // namespace

bool underUmockdev() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "umockdev-preload") != nullptr;
}

const char* preloadLibrary() { return UMOCKDEV_PRELOAD_DIR "/libumockdev-preload.so.0"; }

bool preloadInstalled() { return ::access(preloadLibrary(), R_OK) == 0; }

std::string childPreload(const char* inherited) {
    const std::string before = inherited != nullptr ? inherited : "";
    // A second copy would wrap every call twice and serve the outer testbed's view to the inner.
    if (before.find("umockdev-preload") != std::string::npos) return before;
    return before.empty() ? std::string(preloadLibrary()) : std::string(preloadLibrary()) + ":" + before;
}

std::string UsbPlace::sysfsName() const { return std::to_string(busNumber) + "-" + portPath(ports, ports.size()); }

std::string UsbPlace::sysfsPath() const {
    std::string path = "/devices/pci0000:00/usb" + std::to_string(busNumber);
    for (std::size_t depth = 1; depth <= ports.size(); ++depth) {
        path += "/" + std::to_string(busNumber) + "-" + portPath(ports, depth);
    }
    return path;
}

std::string UsbPlace::devnode() const {
    char node[32];
    std::snprintf(node, sizeof(node), "/dev/bus/usb/%03u/%03u", busNumber, address);
    return node;
}

std::string configurationValueText(unsigned configuration) {
    return configuration == 0 ? std::string() : std::to_string(configuration) + "\n";
}

std::string deviceRecord(const UsbPlace& place, const DeviceSysfs& device) {
    const std::string node = place.devnode();
    const std::vector<std::uint8_t>& d = device.descriptors;
    std::string record = "P: " + place.sysfsPath() + "\n" + "N: " + node.substr(5) + "\n" +  // relative to /dev
                         "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + node + "\n";
    // Attribute values as the kernel's sysfs code prints them. umockdev reads an "A:" value as C
    // text, so its newline goes in escaped; the strings come from the device and go in as bytes
    // ("H:"), so that no character of theirs can end the record's line.
    const auto text = [&](const char* name, const std::string& value) {
        std::string escaped;
        for (char c : value) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
        record += std::string("A: ") + name + "=" + escaped + "\n";
    };
    const auto number = [&](const char* name, const char* format, unsigned value) {
        char printed[16];
        std::snprintf(printed, sizeof(printed), format, value);
        text(name, std::string(printed) + "\n");
    };
    const auto bytes = [&](const char* name, const std::string& value) {
        if (!value.empty()) record += std::string("H: ") + name + "=" + hex({value.begin(), value.end()}) + "0a\n";
    };
    const auto word = [&](std::size_t at) { return static_cast<unsigned>(d[at] | d[at + 1] << 8); };

    char uevent[96];
    std::snprintf(uevent, sizeof(uevent), "E: BUSNUM=%03u\nE: DEVNUM=%03u\n", place.busNumber, place.address);
    record += uevent;
    number("busnum", "%u", place.busNumber);
    number("devnum", "%u", place.address);
    text("devpath", portPath(place.ports, place.ports.size()) + "\n");
    number("speed", "%u", device.speedMbps);
    number("maxchild", "%u", device.maxchild);
    if (d.size() >= 18) {
        // The uevent's product (vendor/product/release, hex) and class triple (decimal).
        std::snprintf(uevent, sizeof(uevent), "E: PRODUCT=%x/%x/%x\nE: TYPE=%u/%u/%u\n", word(8), word(10), word(12),
                      d[4], d[5], d[6]);
        record += uevent;
        char version[16];
        std::snprintf(version, sizeof(version), "%2x.%02x\n", d[3], d[2]);
        text("version", version);
        number("bDeviceClass", "%02x", d[4]);
        number("bDeviceSubClass", "%02x", d[5]);
        number("bDeviceProtocol", "%02x", d[6]);
        number("bMaxPacketSize0", "%u", d[7]);
        number("idVendor", "%04x", word(8));
        number("idProduct", "%04x", word(10));
        number("bcdDevice", "%04x", word(12));
        number("bNumConfigurations", "%u", d[17]);
    }
    text("bConfigurationValue", configurationValueText(device.configuration));
    // The active configuration's other fields are empty while there is none.
    if (device.configuration != 0 && d.size() >= 18 + 9) {
        number("bNumInterfaces", "%2u", d[18 + 4]);
        number("bmAttributes", "%2x", d[18 + 7]);
        number("bMaxPower", "%umA", d[18 + 8] * 2u);  // in units of 2 mA below SuperSpeed
    }
    bytes("manufacturer", device.manufacturer);
    bytes("product", device.product);
    bytes("serial", device.serial);
    return record + "H: descriptors=" + hex(d) + "\n";
}

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {}

Testbed::~Testbed() { g_object_unref(testbed_); }

std::string Testbed::add(const std::string& record) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        const std::string message = error->message;
        g_error_free(error);
        throw TestbedError("umockdev refused the device: " + message);
    }
    return "/sys" + record.substr(3, record.find('\n') - 3);
}

void Testbed::remove(const std::string& sysfsPath) {
    umockdev_testbed_uevent(testbed_, sysfsPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, sysfsPath.c_str());
}

std::string Testbed::addHub(const UsbPlace& place, unsigned ports) {
    DeviceSysfs hub;
    hub.descriptors = kHubDescriptors;
    hub.maxchild = ports;
    return add(deviceRecord(place, hub));
}

void Testbed::setAttribute(const std::string& sysfsPath, const std::string& name, const std::string& value) {
    umockdev_testbed_set_attribute(testbed_, sysfsPath.c_str(), name.c_str(), value.c_str());
}

}  // namespace host::umockdev
