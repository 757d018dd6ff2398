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

// What the kernel shows of a device besides its place, as it learnt it at enumeration.
struct DeviceSysfs {
    unsigned speedMbps = 12;
    // The device descriptor, then the whole configuration: libusb reads them here instead of
    // asking the device.
    std::vector<std::uint8_t> descriptors;
    unsigned configuration = 1;  // bConfigurationValue of the active configuration; 0: none
    // The strings its descriptor names; empty when it names none or would not give it, and the
    // attribute is then absent, as from the kernel.
    std::string manufacturer;
    std::string product;
    std::string serial;
    unsigned maxchild = 0;  // the ports of a hub
};

// The record umockdev builds a device from: the attributes the kernel gives every USB device
// (bus and device numbers, speed, the descriptor fields, the strings, ...), which udev rules and
// tools such as lsusb read, and the uevent's properties.
std::string deviceRecord(const UsbPlace& place, const DeviceSysfs& device);

// "1\n" for an active configuration, "" for none: the kernel's bConfigurationValue.
std::string configurationValueText(unsigned configuration);

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
    // A hub with that many ports and nothing else to say: libusb needs the hubs between a
    // device and its root hub to give the device's whole port path.
    std::string addHub(const UsbPlace& place, unsigned ports);
    // Changes one attribute of a device added before, as the kernel does when the device's state
    // changes (its configuration).
    void setAttribute(const std::string& sysfsPath, const std::string& name, const std::string& value);

private:
    UMockdevTestbed* testbed_;
};

}  // namespace host::umockdev
