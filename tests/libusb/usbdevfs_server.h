// A bootloader model served as a usbdevfs device node by umockdev, so that libusb runs against
// it unmodified: the sysfs entry libusb enumerates (bus and device numbers, speed, descriptors)
// and the I/O controls it sends on the node (claims, alternate settings, control URBs, resets).
// Works only in a process started under umockdev's preload (umockdev-wrapper); the child
// processes of that process see the same device.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sim/bootloader.h"

// umockdev's types, declared here so that glib's TRUE and FALSE macros stay out of code that sees
// the platform's constants of those names.
typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace libusb_test {

// True when umockdev's preload library is in this process.
bool underUmockdev();

// A testbed of its own: its devices vanish with it.
class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;
    UMockdevTestbed* get() const { return testbed_; }

private:
    UMockdevTestbed* testbed_;
};

class UsbdevfsServer {
public:
    // Puts the model on the testbed at bus busNumber, root-hub port `port`, device address
    // `address`, configured as the kernel leaves a device it enumerated.
    UsbdevfsServer(UMockdevTestbed* testbed, sim::Bootloader& rom, unsigned busNumber, unsigned port,
                   unsigned address);
    ~UsbdevfsServer();
    UsbdevfsServer(const UsbdevfsServer&) = delete;
    UsbdevfsServer& operator=(const UsbdevfsServer&) = delete;

    const std::string& devnode() const { return devnode_; }
    // Every I/O control the node received, in order.
    std::vector<unsigned long> requests() const;

private:
    static int onIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);
    void handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client);
    void reap(UMockdevIoctlClient* client);

    sim::Bootloader& rom_;
    UMockdevTestbed* testbed_;
    UMockdevIoctlBase* handler_ = nullptr;
    std::string devnode_;
    mutable std::mutex mutex_;
    std::vector<unsigned long> requests_;
    std::deque<unsigned long> completed_;  // client addresses of finished URBs
};

}  // namespace libusb_test
