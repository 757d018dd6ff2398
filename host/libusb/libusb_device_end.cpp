#include "host/libusb/libusb_device_end.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include <libusb.h>

namespace host::libusb {

namespace {

// How long a cycled device may take to come back, polled in steps on the machine's clock.
constexpr unsigned kReturnPolls = 50;
constexpr std::uint64_t kReturnPollMicros = 100'000;

constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kSetInterface = 0x0B;

// Owns the list libusb hands out, so that an exception cannot leak it.
class DeviceList {
public:
    explicit DeviceList(libusb_context* context) {
        const ssize_t count = libusb_get_device_list(context, &list_);
        count_ = count < 0 ? 0 : static_cast<std::size_t>(count);
        if (count < 0) list_ = nullptr;
    }
    ~DeviceList() {
        if (list_ != nullptr) libusb_free_device_list(list_, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    std::span<libusb_device*> devices() const { return {list_, count_}; }

private:
    libusb_device** list_ = nullptr;
    std::size_t count_ = 0;
};

bool isBootloader(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    return libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
           descriptor.idVendor == kBootloaderVendorId && descriptor.idProduct == kBootloaderProductId;
}

std::vector<unsigned> portsOf(libusb_device* device) {
    std::uint8_t numbers[8] = {};
    const int count = libusb_get_port_numbers(device, numbers, sizeof(numbers));
    std::vector<unsigned> ports;
    for (int i = 0; i < count; ++i) ports.push_back(numbers[i]);
    return ports;
}

// libusb 1.0.25 and 1.0.26 unlock a handle's mutex without having locked it when
// libusb_set_interface_alt_setting finds the device already gone; libusb_close then fails to
// destroy that mutex and aborts the process. 1.0.27 mends it.
bool setInterfaceUnbalancesLock() {
    const libusb_version* v = libusb_get_version();
    return v->major == 1 && v->minor == 0 && (v->micro == 25 || v->micro == 26);
}

// A handle that cannot be closed safely stays open until the process ends (its device is gone:
// it holds a descriptor and a little memory), and so does its session, which must not end under
// an open handle. Kept here, where leak checkers can still see them: the list is never destroyed,
// because leak checkers look after the static destructors ran.
void keepOpen(std::shared_ptr<Context> context, libusb_device_handle* handle) {
    static std::mutex mutex;
    static auto* const kept =
        new std::vector<std::pair<std::shared_ptr<Context>, libusb_device_handle*>>;
    std::lock_guard lock(mutex);
    kept->emplace_back(std::move(context), handle);
}

UsbSpeed speedOf(libusb_device* device) {
    switch (libusb_get_device_speed(device)) {
        case LIBUSB_SPEED_LOW:
            return UsbSpeed::Low;
        case LIBUSB_SPEED_FULL:
        case LIBUSB_SPEED_UNKNOWN:
            return UsbSpeed::Full;
        default:
            // Faster links than high speed still run a USB 2.0 default pipe for this device.
            return UsbSpeed::High;
    }
}

}  // namespace

TransferResult transferResultOf(int libusbResult, std::uint16_t wLength) {
    if (libusbResult >= 0) {
        return {TransferStatus::Completed,
                std::min<std::uint32_t>(static_cast<std::uint32_t>(libusbResult), wLength)};
    }
    switch (libusbResult) {
        case LIBUSB_ERROR_TIMEOUT:
            return {TransferStatus::TimedOut, 0};
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return {TransferStatus::Disconnected, 0};
        default:
            // A stall, and every other failure of the transfer (protocol or CRC errors, babble, a
            // busy interface): the bus can only tell the driver that the request failed, never
            // that it succeeded.
            return {TransferStatus::Stalled, 0};
    }
}

std::string deviceText(unsigned busNumber, const std::vector<unsigned>& ports) {
    std::string text = "bus " + std::to_string(busNumber) + " port ";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        text += (i == 0 ? "" : ".") + std::to_string(ports[i]);
    }
    if (ports.empty()) text += "(root hub)";
    return text;
}

std::string openFailureText(int libusbError, unsigned busNumber, const std::vector<unsigned>& ports,
                            unsigned address) {
    char node[32];
    std::snprintf(node, sizeof(node), "/dev/bus/usb/%03u/%03u", busNumber, address);
    std::string text = "cannot open the bootloader at " + deviceText(busNumber, ports) + " (" + node + "): ";
    switch (libusbError) {
        case LIBUSB_ERROR_ACCESS:
            return text +
                   "permission denied. Give your user access to the device, for instance with the "
                   "udev rule SUBSYSTEM==\"usb\", ATTR{idVendor}==\"0483\", ATTR{idProduct}==\"df11\", "
                   "MODE=\"0660\", TAG+=\"uaccess\" in /etc/udev/rules.d/50-dfu-bootloader.rules, then "
                   "run `sudo udevadm control --reload-rules && sudo udevadm trigger` and plug the "
                   "device again (or run as root)";
        case LIBUSB_ERROR_BUSY:
            return text + "the device is in use by another program or by a kernel driver that cannot "
                          "be detached; close the other program and try again";
        case LIBUSB_ERROR_NO_DEVICE:
        case LIBUSB_ERROR_NOT_FOUND:
            return text + "the device left the bus";
        default:
            return text + libusb_error_name(libusbError);
    }
}

BusPlace busPlaceOf(unsigned busNumber, const std::vector<unsigned>& ports) {
    if (ports.empty()) {
        throw UsbError(deviceText(busNumber, ports) + ": a device on no port cannot be placed on the bus");
    }
    if (ports.size() > kMaxPortDepth) {
        throw UsbError(deviceText(busNumber, ports) + ": more than five hubs deep, beyond what a "
                                                      "topology address holds");
    }
    for (unsigned port : ports) {
        if (port == 0 || port > 255) {
            throw UsbError(deviceText(busNumber, ports) + ": port numbers run from 1 to 255");
        }
    }
    return {busNumber, ports};
}

Context::Context() {
    const int rc = libusb_init(&context_);
    if (rc != LIBUSB_SUCCESS) {
        context_ = nullptr;
        throw UsbError(std::string("libusb cannot start: ") + libusb_error_name(rc));
    }
}

Context::~Context() {
    if (context_ != nullptr) libusb_exit(context_);
}

std::vector<FoundDevice> findBootloaders(Context& context) {
    std::vector<FoundDevice> found;
    DeviceList list(context.get());
    for (libusb_device* device : list.devices()) {
        if (!isBootloader(device)) continue;
        found.push_back({libusb_get_bus_number(device), libusb_get_device_address(device), portsOf(device)});
    }
    std::sort(found.begin(), found.end(), [](const FoundDevice& a, const FoundDevice& b) {
        return std::tie(a.busNumber, a.ports) < std::tie(b.busNumber, b.ports);
    });
    return found;
}

LibusbDeviceEnd::LibusbDeviceEnd(std::shared_ptr<Context> context, const FoundDevice& device,
                                 Clock& clock)
    : context_(std::move(context)), found_(device), clock_(clock) {
    std::lock_guard lock(mutex_);
    const int rc = reopen();
    if (rc != LIBUSB_SUCCESS) {
        throw UsbError(openFailureText(rc, found_.busNumber, found_.ports, found_.address));
    }
    // Another program that holds the DFU interface would make every request fail later, less
    // clearly: say so now. Any other answer (an unconfigured device) waits for SET_INTERFACE.
    if (claim(0) == LIBUSB_ERROR_BUSY) {
        close();
        throw UsbError(openFailureText(LIBUSB_ERROR_BUSY, found_.busNumber, found_.ports, found_.address));
    }
}

LibusbDeviceEnd::~LibusbDeviceEnd() {
    std::lock_guard lock(mutex_);
    close();
}

int LibusbDeviceEnd::reopen(std::optional<unsigned> address) {
    close();
    DeviceList list(context_->get());
    for (libusb_device* device : list.devices()) {
        if (libusb_get_bus_number(device) != found_.busNumber || portsOf(device) != found_.ports ||
            (address && libusb_get_device_address(device) != *address) || !isBootloader(device)) {
            continue;
        }
        const int rc = libusb_open(device, &handle_);
        if (rc != LIBUSB_SUCCESS) {
            handle_ = nullptr;
            return rc;
        }
        closeUnsafe_ = false;
        // Claiming detaches a kernel driver bound to the interface, and closing gives it back.
        libusb_set_auto_detach_kernel_driver(handle_, 1);
        found_.address = libusb_get_device_address(device);
        speed_ = speedOf(device);
        connected_ = true;
        return LIBUSB_SUCCESS;
    }
    return LIBUSB_ERROR_NO_DEVICE;
}

void LibusbDeviceEnd::close() {
    if (handle_ != nullptr && closeUnsafe_) {
        keepOpen(context_, handle_);
    } else if (handle_ != nullptr) {
        for (std::uint16_t number : claimed_) libusb_release_interface(handle_, number);
        libusb_close(handle_);
    }
    handle_ = nullptr;
    claimed_.clear();
    connected_ = false;
}

int LibusbDeviceEnd::claim(std::uint16_t interfaceNumber) {
    // Asked again for an interface the handle holds, libusb only says whether the device is
    // still there.
    const int rc = libusb_claim_interface(handle_, interfaceNumber);
    if (rc == LIBUSB_SUCCESS && std::find(claimed_.begin(), claimed_.end(), interfaceNumber) == claimed_.end()) {
        claimed_.push_back(interfaceNumber);
    }
    return rc;
}

TransferResult LibusbDeviceEnd::selectConfiguration(std::uint8_t value) {
    int current = -1;
    if (libusb_get_configuration(handle_, &current) == LIBUSB_SUCCESS && current == value) {
        // Already so: sending it again would reset the alternate settings behind the kernel's back.
        return {TransferStatus::Completed, 0};
    }
    for (std::uint16_t number : claimed_) libusb_release_interface(handle_, number);
    claimed_.clear();
    return transferResultOf(libusb_set_configuration(handle_, value), 0);
}

TransferResult LibusbDeviceEnd::selectInterface(std::uint16_t interfaceNumber, std::uint8_t alternate) {
    // The kernel keeps track of alternate settings: a raw SET_INTERFACE would leave it behind.
    // The claim also finds a device that libusb already knows to be gone, which must not reach
    // libusb_set_interface_alt_setting on the libusb versions that then break the handle's lock.
    // It may still go between the two calls: that handle is then never closed.
    int rc = claim(interfaceNumber);
    if (rc == LIBUSB_SUCCESS) {
        rc = libusb_set_interface_alt_setting(handle_, interfaceNumber, alternate);
        if (rc == LIBUSB_ERROR_NO_DEVICE && setInterfaceUnbalancesLock()) closeUnsafe_ = true;
    }
    if (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_ACCESS) {
        std::fprintf(stderr, "usb %s: interface %u is held by another program or driver (%s)\n",
                     deviceText(found_.busNumber, found_.ports).c_str(), interfaceNumber,
                     libusb_error_name(rc));
    }
    return transferResultOf(rc, 0);
}

TransferResult LibusbDeviceEnd::controlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data,
                                                std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    if (!connected_) return {TransferStatus::Disconnected, 0};
    // Less room than wLength would let the device write past the buffer: refused, not sent.
    if (data.size() < setup.wLength) return {TransferStatus::Stalled, 0};

    TransferResult result;
    if (setup.bmRequestType == 0x00 && setup.bRequest == kSetConfiguration) {
        result = selectConfiguration(static_cast<std::uint8_t>(setup.wValue));
    } else if (setup.bmRequestType == 0x01 && setup.bRequest == kSetInterface) {
        result = selectInterface(setup.wIndex, static_cast<std::uint8_t>(setup.wValue));
    } else {
        // Requests to an interface need it claimed; usbdevfs would claim it on the fly, with a
        // complaint in the kernel log.
        if ((setup.bmRequestType & 0x1F) == LIBUSB_RECIPIENT_INTERFACE) {
            claim(static_cast<std::uint8_t>(setup.wIndex));
        }
        const int rc = libusb_control_transfer(handle_, setup.bmRequestType, setup.bRequest, setup.wValue,
                                               setup.wIndex, data.data(), setup.wLength, timeoutMs);
        result = transferResultOf(rc, setup.wLength);
    }
    if (result.status == TransferStatus::Disconnected) lose(lock);
    return result;
}

void LibusbDeviceEnd::lose(std::unique_lock<std::mutex>& lock) {
    const bool wasConnected = connected_ || handle_ != nullptr;
    close();
    DeviceEndEvents* events = events_;
    lock.unlock();
    if (wasConnected && events != nullptr) events->deviceDisconnected();
}

void LibusbDeviceEnd::resetPort() {
    std::unique_lock lock(mutex_);
    if (!connected_) return;
    const int rc = libusb_reset_device(handle_);
    if (rc == LIBUSB_SUCCESS) return;
    // The device came back as something else (new descriptors, new address) or not at all:
    // for the bus it left, and arrives again if it is still there.
    DeviceEndEvents* events = events_;
    close();
    const bool back = reopen() == LIBUSB_SUCCESS;
    lock.unlock();
    if (events != nullptr) {
        events->deviceDisconnected();
        if (back) events->deviceReconnected();
    }
}

void LibusbDeviceEnd::cyclePort() {
    std::unique_lock lock(mutex_);
    if (!connected_) return;
    DeviceEndEvents* events = events_;
    // libusb cannot switch a port's power; a reset re-enumerates the device, which is what the
    // driver asks a cycle for. The bus sees it leave and come back.
    libusb_reset_device(handle_);
    close();
    lock.unlock();
    if (events != nullptr) events->deviceDisconnected();

    bool back = false;
    for (unsigned poll = 0; poll < kReturnPolls && !back; ++poll) {
        lock.lock();
        back = reopen() == LIBUSB_SUCCESS;
        lock.unlock();
        if (!back) clock_.sleepMicros(kReturnPollMicros);
    }
    if (back && events != nullptr) events->deviceReconnected();
}

void LibusbDeviceEnd::noticeDeparture() {
    std::unique_lock lock(mutex_);
    lose(lock);
}

bool LibusbDeviceEnd::noticeReturn(unsigned address) {
    std::unique_lock lock(mutex_);
    if (connected_) {
        // It went and came back between two looks: the bus must see both.
        lose(lock);
        lock.lock();
    }
    const bool back = reopen(address) == LIBUSB_SUCCESS;
    DeviceEndEvents* events = events_;
    lock.unlock();
    if (back && events != nullptr) events->deviceReconnected();
    return back;
}

void LibusbDeviceEnd::checkPresence() {
    std::optional<unsigned> address;
    for (const FoundDevice& device : findBootloaders(*context_)) {
        if (device.busNumber == found_.busNumber && device.ports == found_.ports) address = device.address;
    }
    {
        std::lock_guard lock(mutex_);
        // Still the device it holds: one that re-enumerated has another address.
        if (connected_ && address == found_.address) return;
    }
    if (address) {
        noticeReturn(*address);
    } else {
        noticeDeparture();
    }
}

UsbSpeed LibusbDeviceEnd::speed() const { return speed_.load(); }

bool LibusbDeviceEnd::connected() const { return connected_.load(); }

void LibusbDeviceEnd::setEvents(DeviceEndEvents* events) {
    std::lock_guard lock(mutex_);
    events_ = events;
}

}  // namespace host::libusb
