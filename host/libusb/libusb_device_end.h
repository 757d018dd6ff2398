// A real bootloader as a device end: the bus's setup packets go to the device through
// libusb-1.0 (usbdevfs on Linux), and the device's departures come back as bus events.
//
// Where a device sits: libusb names it by its USB bus number and the port numbers from the root
// hub down (libusb_get_port_numbers). The emulated bus mirrors that tree with one host
// controller per USB bus, numbered as the bus is, so "3:1.4" on the emulated bus is the device
// the system calls 3-1.4, and the topology address the driver computes follows the real tree.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/interface/clock.h"
#include "host/interface/device_end.h"

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace host::libusb {

inline constexpr std::uint16_t kBootloaderVendorId = 0x0483;
inline constexpr std::uint16_t kBootloaderProductId = 0xDF11;
// A root-hub port and at most five hubs below it: what the topology address can hold.
inline constexpr std::size_t kMaxPortDepth = 6;

// A device that cannot be used: not openable (permission, busy), or not representable.
class UsbError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a libusb result (a byte count, or a negative LIBUSB_ERROR_*) reaches the bus.
TransferResult transferResultOf(int libusbResult, std::uint16_t wLength);

// "bus 3 port 1.4" / "bus 3 address 7", as error texts name a device.
std::string deviceText(unsigned busNumber, const std::vector<unsigned>& ports);

// The message for a device that would not open, with what to do about it.
std::string openFailureText(int libusbError, unsigned busNumber, const std::vector<unsigned>& ports,
                            unsigned address);

// Where a device goes on the emulated bus: controller (the USB bus number) and location
// (root-hub port, then hub ports). Throws UsbError for a device the bus cannot place: no port
// numbers (a root hub itself) or deeper than the topology address reaches.
struct BusPlace {
    unsigned controller = 0;
    std::vector<unsigned> location;
};
BusPlace busPlaceOf(unsigned busNumber, const std::vector<unsigned>& ports);

// The libusb session: one per process is plenty.
class Context {
public:
    // Throws UsbError when libusb cannot start (no usbdevfs, for one).
    Context();
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    libusb_context* get() const { return context_; }

private:
    libusb_context* context_ = nullptr;
};

// One bootloader seen on the system's USB.
struct FoundDevice {
    unsigned busNumber = 0;
    unsigned address = 0;
    std::vector<unsigned> ports;
};

// Every 0483:DF11 device, ordered by bus and ports so that a listing is stable from run to run.
std::vector<FoundDevice> findBootloaders(Context& context);

class LibusbDeviceEnd final : public DeviceEnd {
public:
    // Opens the device at that place. Throws UsbError with openFailureText() when it cannot.
    // clock paces the wait for a device to come back after a cycle.
    LibusbDeviceEnd(std::shared_ptr<Context> context, const FoundDevice& device, Clock& clock);
    ~LibusbDeviceEnd() override;
    LibusbDeviceEnd(const LibusbDeviceEnd&) = delete;
    LibusbDeviceEnd& operator=(const LibusbDeviceEnd&) = delete;

    TransferResult controlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data,
                                   std::uint32_t timeoutMs) override;
    void resetPort() override;
    void cyclePort() override;
    UsbSpeed speed() const override;
    bool connected() const override;
    void setEvents(DeviceEndEvents* events) override;
    // The device list at its place: a departure the end had not noticed, and a bootloader there
    // again (opened, and the bus hears of its return).
    void checkPresence() override;

    const FoundDevice& place() const { return found_; }

    // What a watcher of the system's USB saw: the device left its place (the bus hears of it now,
    // rather than at the next transfer), or a bootloader is at its place again (the end opens it
    // and the bus sees it come back). Returns false when it cannot be opened.
    void noticeDeparture();
    // `address`: the one the device has now, so that a stale entry for its previous address
    // in libusb's list is not taken for it.
    bool noticeReturn(unsigned address);

private:
    // Called with mutex_ held. reopen() finds the device at its place again (its address changes
    // when it re-enumerates; given, only that address will do) and returns the libusb result
    // of the open.
    int reopen(std::optional<unsigned> address = std::nullopt);
    void close();
    int claim(std::uint16_t interfaceNumber);
    TransferResult selectConfiguration(std::uint8_t value);
    TransferResult selectInterface(std::uint16_t interfaceNumber, std::uint8_t alternate);
    // Notes the loss once and tells the bus, without the lock.
    void lose(std::unique_lock<std::mutex>& lock);

    std::shared_ptr<Context> context_;
    FoundDevice found_;
    Clock& clock_;
    // Held through each libusb call on the handle, which may last a whole time-out: what other
    // threads ask in the meantime (speed, connected) is read without it.
    std::mutex mutex_;
    libusb_device_handle* handle_ = nullptr;
    std::atomic<UsbSpeed> speed_{UsbSpeed::Full};
    std::atomic<bool> connected_{false};
    std::vector<std::uint16_t> claimed_;
    // libusb may have left the handle's lock broken: closing it would abort the process.
    bool closeUnsafe_ = false;
    DeviceEndEvents* events_ = nullptr;
};

}  // namespace host::libusb
