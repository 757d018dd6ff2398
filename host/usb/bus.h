// The machine's USB: host controllers at PCI addresses, their root hubs, hubs up to five tiers
// below, and devices at ports. Each device has a physical device object of the machine's bus
// driver, which answers the internal USB I/O controls and the bus-interface query the way the
// host stack does, turns every URB into the 8-byte setup packet its device end receives, and
// records the traffic.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/interface/device_end.h"
#include "host/io/device_object.h"
#include "platform/usb.h"

namespace host {
class IoObjects;
}

namespace host::usb {

struct PciAddress {
    ULONG bus = 0;
    ULONG device = 0;
    ULONG function = 0;
};

// One operation on a device as the bus saw it.
struct TrafficEntry {
    enum class Kind { Control, ResetPort, CyclePort };
    Kind kind = Kind::Control;
    std::array<std::uint8_t, 8> setup{};  // wire order; zero for port operations
    std::vector<std::uint8_t> data;       // OUT: the bytes sent; IN: the bytes received
    std::uint32_t requestedLength = 0;    // wLength
    std::uint32_t actualLength = 0;       // bytes moved in the data stage
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    std::uint64_t timeMicros = 0;  // machine clock when the bus answered
};

// One line: "ctrl A1 03 00 00 00 00 06 00 -> STATUS_SUCCESS usbd 0x00000000 6/6 [00 00 ...]".
std::string describe(const TrafficEntry& entry);

class Bus;
class Hub;
class Device;

// Told about devices that come and go. Calls can arrive on the device end's thread, in the
// middle of a transfer (a bootloader that leaves DFU disconnects while answering): a listener
// must not send I/O to the device from inside the call, only take note or hand work elsewhere.
class BusListener {
  public:
    virtual ~BusListener() = default;
    virtual void deviceAttached(Device&) {}
    virtual void deviceDetached(Device&) {}
    virtual void deviceDisconnected(Device&) {}
    virtual void deviceReconnected(Device&) {}
};

// A device at a port: its physical device object, address and record.
class Device final : public DeviceEndEvents {
  public:
    // owner, when given, keeps the end alive as long as the device; otherwise the caller does.
    Device(Bus& bus, DeviceEnd& end, std::shared_ptr<DeviceEnd> owner,
           USB_TOPOLOGY_ADDRESS address);
    ~Device() override;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // What the PnP manager puts below the function driver.
    PDEVICE_OBJECT pdo() { return pdo_.get(); }
    // "\Device\USBPDO-<n>", the name the event log shows for the device.
    const std::u16string& pdoName() const { return pdoName_; }
    const USB_TOPOLOGY_ADDRESS& topologyAddress() const { return address_; }
    DeviceEnd& end() { return end_; }
    UsbSpeed speed() const { return end_.speed(); }
    // The device left the bus (its end disconnected) and has not come back.
    bool gone() const { return gone_.load(); }

    std::vector<TrafficEntry> traffic() const;
    void clearTraffic();
    // On by default; long runs (benchmarks, soak tests) may turn the record off.
    void setRecording(bool on) { recording_.store(on); }

    // The bus interface handed out by IRP_MN_QUERY_INTERFACE: references still held, and
    // the calls of each kind.
    int busInterfaceReferences() const { return references_.load(); }
    int busInterfaceReferenceCalls() const { return referenceCalls_.load(); }
    int busInterfaceDereferenceCalls() const { return dereferenceCalls_.load(); }

    // DeviceEndEvents
    void deviceDisconnected() override;
    void deviceReconnected() override;

  private:
    friend class Bus;
    NTSTATUS submitUrb(PIRP irp, PURB urb);
    NTSTATUS portOperation(TrafficEntry::Kind kind);
    NTSTATUS queryInterface(PIRP irp);
    void record(TrafficEntry entry);

    static INTERFACE_REFERENCE interfaceReference;
    static INTERFACE_DEREFERENCE interfaceDereference;
    static USB_BUSIFFN_IS_DEVICE_HIGH_SPEED isDeviceHighSpeed;
    static USB_BUSIFFN_GETUSBDI_VERSION getUsbdiVersion;
    static USB_BUSIFFN_QUERY_BUS_TIME queryBusTime;
    static USB_BUSIFFN_SUBMIT_ISO_OUT_URB submitIsoOutUrb;
    static USB_BUSIFFN_QUERY_BUS_INFORMATION queryBusInformation;

    Bus& bus_;
    std::shared_ptr<DeviceEnd> owner_;
    DeviceEnd& end_;
    USB_TOPOLOGY_ADDRESS address_;
    std::u16string pdoName_;
    io::HostDeviceObject pdo_;
    std::atomic<bool> gone_{false};
    // The default pipe carries one transfer at a time, as on a real bus.
    std::mutex pipeMutex_;
    mutable std::mutex recordMutex_;
    std::vector<TrafficEntry> traffic_;
    std::atomic<bool> recording_{true};
    std::atomic<int> references_{0};
    std::atomic<int> referenceCalls_{0};
    std::atomic<int> dereferenceCalls_{0};
};

// A root hub (tier 0) or a hub below it. Ports are numbered from 1. The topology is built and
// changed from one thread (the test's or the tool's); transfers may come from any.
class Hub {
  public:
    Hub(Bus& bus, Hub* parent, USHORT portInParent, USHORT portCount, PciAddress pci);
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    // Hubs reach five tiers below the root hub; a sixth is refused (std::logic_error), as is a
    // port that does not exist or is taken.
    Hub& attachHub(USHORT port, USHORT portCount);
    // The end must outlive the device (its detach, or the machine).
    Device& attachDevice(USHORT port, DeviceEnd& end);
    // The device keeps the end alive.
    Device& attachDevice(USHORT port, std::shared_ptr<DeviceEnd> end);
    // Unplugs whatever is at the port (a hub with everything below it). The PnP manager must
    // have removed the driver's devices from them first: a physical device object with a driver
    // still stacked on it cannot go. (A device that leaves by itself disconnects instead.)
    void detach(USHORT port);

    unsigned tier() const { return tier_; }
    USHORT portCount() const { return portCount_; }

  private:
    void checkFreePort(USHORT port) const;
    Device& attach(USHORT port, DeviceEnd& end, std::shared_ptr<DeviceEnd> owner);
    USB_TOPOLOGY_ADDRESS addressOfPort(USHORT port) const;
    void collectDevices(std::vector<Device*>& out) const;
    friend class Bus;

    Bus& bus_;
    Hub* parent_;
    USHORT portInParent_;
    USHORT portCount_;
    PciAddress pci_;
    unsigned tier_;
    std::map<USHORT, std::unique_ptr<Hub>> hubs_;
    std::map<USHORT, std::unique_ptr<Device>> devices_;
};

class HostController {
  public:
    HostController(Bus& bus, PciAddress pci, USHORT rootPorts);
    const PciAddress& pci() const { return pci_; }
    Hub& rootHub() { return rootHub_; }

  private:
    friend class Bus;
    PciAddress pci_;
    Hub rootHub_;
};

class Bus {
  public:
    // The bus driver and every physical device object are made by io; the bus must go before
    // it, and after the function drivers on its devices.
    explicit Bus(IoObjects& io);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    HostController& addController(PciAddress pci, USHORT rootPorts);
    std::vector<Device*> devices() const;
    // The device whose physical device object this is, or nullptr.
    Device* deviceOf(PDEVICE_OBJECT pdo) const;

    void setListener(BusListener* listener) { listener_.store(listener); }

    // Time-out handed to the device end when the sender's is unknown (hand-built IRPs): the
    // USB 2.0 limit for a control transfer.
    static constexpr std::uint32_t kDefaultTransferTimeoutMs = 5000;

  private:
    friend class Device;
    friend class Hub;
    static DRIVER_DISPATCH dispatchInternalDeviceControl;
    static DRIVER_DISPATCH dispatchPnp;
    static DRIVER_DISPATCH dispatchOther;
    BusListener* listener() const { return listener_.load(); }

    IoObjects& io_;
    io::HostDriverObject driver_;
    std::vector<std::unique_ptr<HostController>> controllers_;
    std::atomic<BusListener*> listener_{nullptr};
};

}  // namespace host::usb
