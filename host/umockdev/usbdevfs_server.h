// A device end served as a usbdevfs device node on a umockdev testbed, so that libusb runs
// against it unmodified: the sysfs entry libusb enumerates (bus and device numbers, speed,
// descriptors) and the I/O controls it sends on the node (claims, alternate settings, control
// URBs, resets). Only processes under umockdev's preload library see the node; their children
// see it too.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/interface/device_end.h"
#include "host/umockdev/testbed.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace host::umockdev {

struct ServerGate;

// Called on umockdev's thread after each transfer the node carried to the device end: the setup,
// the bytes sent (OUT) or answered (IN), and the result.
using TransferObserver =
    std::function<void(const SetupPacket& setup, std::span<const std::uint8_t> data, const TransferResult& result)>;

class UsbdevfsServer {
public:
    // Puts the device end on the testbed at `place`, configured as the kernel leaves a device it
    // enumerated, and announces it. Throws TestbedError when the end does not give its
    // descriptors or umockdev refuses the node.
    UsbdevfsServer(Testbed& testbed, DeviceEnd& end, const UsbPlace& place, TransferObserver observer = {});
    // Takes the node away (unplugging first if it was not).
    ~UsbdevfsServer();
    UsbdevfsServer(const UsbdevfsServer&) = delete;
    UsbdevfsServer& operator=(const UsbdevfsServer&) = delete;

    // The device left the bus: the removal is announced and the node is gone for anyone who
    // looks, while clients that hold it open reap the URBs that finished and get ENODEV for
    // everything else, as from the kernel's node of an unplugged device.
    void unplug();

    const UsbPlace& place() const { return place_; }
    std::string devnode() const { return place_.devnode(); }
    // Every I/O control the node received, in order.
    std::vector<unsigned long> requests() const;

private:
    friend struct ServerGate;
    void handle(UMockdevIoctlClient* client);
    template <typename Argument>
    std::optional<Argument> argument(UMockdevIoctlClient* client);
    int standardRequest(const SetupPacket& setup);
    void configure(unsigned configuration);
    int reset();
    void submit(UMockdevIoctlClient* client);
    void reap(UMockdevIoctlClient* client);
    TransferResult transfer(const SetupPacket& setup, std::span<std::uint8_t> data);

    DeviceEnd& end_;
    Testbed& testbed_;
    const UsbPlace place_;
    const TransferObserver observer_;
    std::string sysfsPath_;
    std::atomic<bool> unplugged_{false};
    // The kernel's view of the device, which a reset restores: its configuration (0 for none)
    // and the alternate setting of each interface. Touched by umockdev's thread only.
    unsigned configuration_ = 0;
    std::map<std::uint16_t, std::uint8_t> alternates_;
    UMockdevIoctlBase* handler_ = nullptr;
    ServerGate* gate_ = nullptr;  // owned by the signal connection
    mutable std::mutex mutex_;
    std::vector<unsigned long> requests_;
    std::deque<unsigned long> completed_;  // client addresses of finished URBs
};

}  // namespace host::umockdev
