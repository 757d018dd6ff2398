// A umockdev testbed: a private /sys and /dev that processes started under umockdev's preload
// library see instead of the machine's, so that libusb (and every program built on it) finds
// the USB devices put there. Hubs are plain records; the devices that answer are served by
// UsbdevfsServer.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// umockdev's types, declared here so that glib's TRUE and FALSE macros stay out of code that sees
// the platform's constants of those names.
typedef struct _UMockdevTestbed UMockdevTestbed;

namespace host::umockdev {

// True when umockdev's preload library is in this process.
bool underUmockdev();

// The preload library a child needs to see the testbed, and whether it is installed.
const char* preloadLibrary();
bool preloadInstalled();

// "LD_PRELOAD" for a child: umockdev's library first, whatever was preloaded before after it,
// and the library only once when the parent was itself started under umockdev.
std::string childPreload(const char* inherited);

// Where a USB device stands in Linux's terms: its bus (one per host controller, from 1), its
// ports from the root hub down, and the address the hub gave it.
struct UsbPlace {
    unsigned busNumber = 1;
    std::vector<unsigned> ports;
    unsigned address = 2;

    // "3-15.2"
    std::string sysfsName() const;
    // "/devices/pci0000:00/usb3/3-15/3-15.2"
    std::string sysfsPath() const;
    // "/dev/bus/usb/003/005"
    std::string devnode() const;
};

// The record umockdev builds a device from: its sysfs attributes (bus and device numbers, speed
// in Mbit/s, the configuration) and the descriptors libusb reads from sysfs instead of asking
// the device (device descriptor, then the whole configuration).
std::string deviceRecord(const UsbPlace& place, unsigned speedMbps, const std::vector<std::uint8_t>& descriptors);

// Thrown when umockdev refuses a record or a node.
class TestbedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A testbed of its own: its devices vanish with it. Creating it points UMOCKDEV_DIR of this
// process (and so of the children it starts) at the testbed.
class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;
    UMockdevTestbed* get() const { return testbed_; }

    // Adds a record (deviceRecord), which umockdev announces with an "add" uevent; returns its
    // sysfs path in the testbed. Throws TestbedError.
    std::string add(const std::string& record);
    // Announces the removal ("remove" uevent) and takes the device off.
    void remove(const std::string& sysfsPath);
    // A hub with nothing to say: libusb needs the hubs between a device and its root hub to
    // give the device's whole port path.
    std::string addHub(const UsbPlace& place);

private:
    UMockdevTestbed* testbed_;
};

}  // namespace host::umockdev
