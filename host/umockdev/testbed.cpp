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

std::string deviceRecord(const UsbPlace& place, unsigned speedMbps, const std::vector<std::uint8_t>& descriptors) {
    const std::string node = place.devnode();
    return "P: " + place.sysfsPath() + "\n" +
           "N: " + node.substr(5) + "\n" +  // relative to /dev
           "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" +
           "E: DEVNAME=" + node + "\n" +
           "A: busnum=" + std::to_string(place.busNumber) + "\\n\n" +
           "A: devnum=" + std::to_string(place.address) + "\\n\n" +
           "A: speed=" + std::to_string(speedMbps) + "\\n\n" +
           "A: bConfigurationValue=1\\n\n" +
           "H: descriptors=" + hex(descriptors) + "\n";
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

std::string Testbed::addHub(const UsbPlace& place) { return add(deviceRecord(place, 12, kHubDescriptors)); }

}  // namespace host::umockdev
