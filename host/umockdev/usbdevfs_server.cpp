#include "host/umockdev/usbdevfs_server.h"

#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>

#include <umockdev.h>

#include "host/rtl/text.h"

namespace host::umockdev {

namespace {

// The kernel gives a control URB no time-out of its own; libusb times out by discarding it,
// which cannot reach a URB the device end is still working on. This bounds a transfer instead.
constexpr std::uint32_t kTransferTimeoutMs = 5000;

// What the device answers to a GET_DESCRIPTOR, or nothing when it does not.
std::optional<std::vector<std::uint8_t>> ask(DeviceEnd& end, std::uint16_t value, std::uint16_t index,
                                             std::uint16_t length) {
    std::vector<std::uint8_t> bytes(length);
    const TransferResult result = end.controlTransfer({0x80, 0x06, value, index, length}, bytes, kTransferTimeoutMs);
    if (result.status != TransferStatus::Completed) return std::nullopt;
    bytes.resize(std::min<std::size_t>(result.actualLength, length));
    return bytes;
}

std::vector<std::uint8_t> descriptor(DeviceEnd& end, std::uint16_t type, std::uint16_t length) {
    std::optional<std::vector<std::uint8_t>> bytes = ask(end, static_cast<std::uint16_t>(type << 8), 0, length);
    if (!bytes) throw TestbedError("the device gives no descriptor");
    return std::move(*bytes);
}

// The string the kernel keeps for a descriptor index, in the device's first language; empty when
// the index is 0 or the device gives nothing readable.
std::string stringOf(DeviceEnd& end, std::uint8_t index, std::uint16_t language) {
    if (index == 0) return {};
    const std::optional<std::vector<std::uint8_t>> bytes = ask(end, static_cast<std::uint16_t>(0x0300 | index), language, 255);
    if (!bytes || bytes->size() < 2 || (*bytes)[1] != 0x03) return {};
    const std::size_t length = std::min<std::size_t>((*bytes)[0], bytes->size());
    std::u16string text;
    for (std::size_t at = 2; at + 1 < length; at += 2) {
        text += static_cast<char16_t>((*bytes)[at] | (*bytes)[at + 1] << 8);
    }
    return host::narrow(text);
}

constexpr SetupPacket setConfiguration(unsigned value) { return {0x00, 0x09, static_cast<std::uint16_t>(value), 0, 0}; }

constexpr SetupPacket setInterface(unsigned interfaceNumber, unsigned alternate) {
    return {0x01, 0x0B, static_cast<std::uint16_t>(alternate), static_cast<std::uint16_t>(interfaceNumber), 0};
}

int urbStatusOf(TransferStatus status) {
    switch (status) {
        case TransferStatus::Completed:
            return 0;
        case TransferStatus::Stalled:
            return -EPIPE;
        case TransferStatus::TimedOut:
            return -ETIMEDOUT;
        case TransferStatus::Disconnected:
            return -ENODEV;
    }
    return -EIO;
}

// The caller's memory at `offset` of an argument, or nullptr when the pointer it passed cannot
// be read: a bad pointer from the other side ends as EFAULT, as the kernel answers it.
UMockdevIoctlData* resolve(UMockdevIoctlData* base, gsize offset, gsize length) {
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(base, offset, length, &error);
    if (data == nullptr && error != nullptr) g_error_free(error);
    return data;
}

void completeWith(UMockdevIoctlClient* client, int status) {
    umockdev_ioctl_client_complete(client, status == 0 ? 0 : -1, -status);
}

}  // namespace

// What umockdev's thread reaches the server through. The node may still be in use (a client
// holds it open, a request is under way) when the server goes, so the signal connection owns
// this and the server only closes it: requests that come later find no server.
struct ServerGate {
    std::mutex mutex;  // held while a request is handled
    UsbdevfsServer* server = nullptr;

    static int onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* gate) {
        ServerGate& g = *static_cast<ServerGate*>(gate);
        std::lock_guard lock(g.mutex);
        if (g.server == nullptr) {
            completeWith(client, -ENODEV);  // the device is gone from the bus
        } else {
            g.server->handle(client);
        }
        return TRUE;
    }
    static void release(void* gate, GClosure*) { delete static_cast<ServerGate*>(gate); }
};

UsbdevfsServer::UsbdevfsServer(Testbed& testbed, DeviceEnd& end, const UsbPlace& place, TransferObserver observer)
    : end_(end), testbed_(testbed), place_(place), observer_(std::move(observer)) {
    // What the kernel does at enumeration: the descriptors, the strings the device descriptor
    // names (in the first language the device lists), then the first configuration.
    DeviceSysfs sysfs;
    sysfs.speedMbps = end_.speed() == UsbSpeed::High ? 480 : 12;
    sysfs.descriptors = descriptor(end_, 1, 18);
    const std::vector<std::uint8_t> head = descriptor(end_, 2, 9);
    if (sysfs.descriptors.size() < 18 || head.size() < 6) throw TestbedError("the device gives short descriptors");
    const std::vector<std::uint8_t> config = descriptor(end_, 2, static_cast<std::uint16_t>(head[2] | head[3] << 8));
    sysfs.descriptors.insert(sysfs.descriptors.end(), config.begin(), config.end());
    const std::optional<std::vector<std::uint8_t>> languages = ask(end_, 0x0300, 0, 255);
    const std::uint16_t language =
        languages && languages->size() >= 4 ? static_cast<std::uint16_t>((*languages)[2] | (*languages)[3] << 8) : 0x0409;
    sysfs.manufacturer = stringOf(end_, sysfs.descriptors[14], language);
    sysfs.product = stringOf(end_, sysfs.descriptors[15], language);
    sysfs.serial = stringOf(end_, sysfs.descriptors[16], language);
    std::vector<std::uint8_t> none;
    if (end_.controlTransfer(setConfiguration(head[5]), none, kTransferTimeoutMs).status == TransferStatus::Completed) {
        configuration_ = head[5];
    }
    sysfs.configuration = configuration_;

    // A hot-plug listener opens the node as soon as it hears of it, and adding the device is
    // what it hears ("add" uevent): the node answers first. One opened earlier would stay a
    // plain terminal for good, refusing every usbdevfs request.
    handler_ = umockdev_ioctl_base_new();
    gate_ = new ServerGate{{}, this};
    g_signal_connect_data(handler_, "handle-ioctl", G_CALLBACK(ServerGate::onIoctl), gate_, ServerGate::release,
                          GConnectFlags{});
    GError* error = nullptr;
    const std::string node = devnode();
    if (!umockdev_testbed_attach_ioctl(testbed_.get(), node.c_str(), handler_, &error)) {
        const std::string message = error->message;
        g_error_free(error);
        g_signal_handlers_disconnect_by_data(handler_, gate_);
        g_object_unref(handler_);
        throw TestbedError("umockdev cannot serve " + node + ": " + message);
    }
    try {
        sysfsPath_ = testbed_.add(deviceRecord(place_, sysfs));
    } catch (const TestbedError&) {
        g_signal_handlers_disconnect_by_data(handler_, gate_);
        umockdev_testbed_detach_ioctl(testbed_.get(), node.c_str(), nullptr);
        g_object_unref(handler_);
        throw;
    }
}

UsbdevfsServer::~UsbdevfsServer() {
    unplug();
    {
        std::lock_guard lock(gate_->mutex);
        gate_->server = nullptr;
    }
    g_signal_handlers_disconnect_by_data(handler_, gate_);
    umockdev_testbed_detach_ioctl(testbed_.get(), devnode().c_str(), nullptr);
    g_object_unref(handler_);
}

void UsbdevfsServer::unplug() {
    if (unplugged_.exchange(true)) return;
    testbed_.remove(sysfsPath_);
}

std::vector<unsigned long> UsbdevfsServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

TransferResult UsbdevfsServer::transfer(const SetupPacket& setup, std::span<std::uint8_t> data) {
    const TransferResult result = end_.controlTransfer(setup, data, kTransferTimeoutMs);
    if (observer_) {
        const std::size_t shown = setup.isIn() ? std::min<std::size_t>(result.actualLength, data.size()) : data.size();
        observer_(setup, data.first(shown), result);
    }
    return result;
}

void UsbdevfsServer::handle(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    // A device that left answers nothing but the reaping of what had finished before.
    const bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
    if (!reaping && (unplugged_.load() || !end_.connected())) {
        completeWith(client, -ENODEV);
        return;
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = resolve(umockdev_ioctl_client_get_arg(client), 0, 4);
            if (caps == nullptr) {
                completeWith(client, -EFAULT);
                return;
            }
            guint32 none = 0;
            umockdev_ioctl_data_update(caps, 0, reinterpret_cast<guint8*>(&none), 4);
            g_object_unref(caps);
            completeWith(client, 0);
            return;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:
            completeWith(client, 0);
            return;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            // No kernel driver is bound to the bootloader's interface.
            completeWith(client, -ENODATA);
            return;
        case USBDEVFS_SETINTERFACE:
            if (const auto choice = argument<usbdevfs_setinterface>(client)) {
                const int status = standardRequest(setInterface(choice->interface, choice->altsetting));
                if (status == 0) alternates_[choice->interface] = static_cast<std::uint8_t>(choice->altsetting);
                completeWith(client, status);
            }
            return;
        case USBDEVFS_SETCONFIGURATION:
            // -1 asks for the unconfigured state, which SET_CONFIGURATION 0 gives.
            if (const auto value = argument<int>(client)) {
                const unsigned configuration = *value < 0 ? 0u : static_cast<unsigned>(*value);
                const int status = standardRequest(setConfiguration(configuration));
                if (status == 0) configure(configuration);
                completeWith(client, status);
            }
            return;
        case USBDEVFS_RESET:
            completeWith(client, reset());
            return;
        case USBDEVFS_SUBMITURB:
            submit(client);
            return;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client);
            return;
        case USBDEVFS_DISCARDURB:
            // Every URB is finished before SUBMITURB returns: there is never one to discard,
            // which the kernel reports so and libusb takes as "reap it".
            completeWith(client, -EINVAL);
            return;
        default:
            completeWith(client, -ENOTTY);
            return;
    }
}

// The argument the caller points at, or nothing (the request completed with EFAULT) when it
// cannot be read.
template <typename Argument>
std::optional<Argument> UsbdevfsServer::argument(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(Argument));
    if (arg == nullptr) {
        completeWith(client, -EFAULT);
        return std::nullopt;
    }
    Argument value{};
    std::memcpy(&value, arg->data, sizeof(value));
    g_object_unref(arg);
    return value;
}

// SET_INTERFACE and SET_CONFIGURATION as the standard request the kernel sends for them.
int UsbdevfsServer::standardRequest(const SetupPacket& setup) { return urbStatusOf(transfer(setup, {}).status); }

// The kernel's view follows every configuration it sets: the alternate settings start over, and
// sysfs shows the new value (libusb reads it there to know whether to configure).
void UsbdevfsServer::configure(unsigned configuration) {
    configuration_ = configuration;
    alternates_.clear();
    testbed_.setAttribute(sysfsPath_, "bConfigurationValue", configurationValueText(configuration));
}

// usb_reset_device: after the port reset the device is at its default state, and the kernel sets
// its configuration and every alternate setting that is not the first again, so that the programs
// that hold it open find it as they left it. A device that does not take them back is a new device
// for the kernel, and the reset fails as if it had left.
int UsbdevfsServer::reset() {
    end_.resetPort();
    if (!end_.connected()) return -ENODEV;
    if (configuration_ == 0) return 0;
    if (standardRequest(setConfiguration(configuration_)) != 0) return -ENODEV;
    for (const auto& [number, alternate] : alternates_) {
        if (alternate != 0 && standardRequest(setInterface(number, alternate)) != 0) return -ENODEV;
    }
    return 0;
}

// The URB is answered at once: the device end has no bus time of its own to wait for, and the
// node (a socket) always polls writable, so libusb reaps it next.
void UsbdevfsServer::submit(UMockdevIoctlClient* client) {
    UMockdevIoctlData* urbData = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_urb));
    if (urbData == nullptr) {
        completeWith(client, -EFAULT);
        return;
    }
    usbdevfs_urb urb{};
    std::memcpy(&urb, urbData->data, sizeof(urb));
    if (urb.type != USBDEVFS_URB_TYPE_CONTROL || urb.buffer_length < 8) {
        g_object_unref(urbData);
        completeWith(client, -EINVAL);
        return;
    }
    UMockdevIoctlData* buffer =
        resolve(urbData, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb.buffer_length));
    if (buffer == nullptr) {
        g_object_unref(urbData);
        completeWith(client, -EFAULT);
        return;
    }
    const guint8* b = buffer->data;
    const SetupPacket setup{b[0], b[1], static_cast<std::uint16_t>(b[2] | b[3] << 8),
                            static_cast<std::uint16_t>(b[4] | b[5] << 8),
                            static_cast<std::uint16_t>(b[6] | b[7] << 8)};
    // The buffer must hold the whole data stage; the kernel refuses a shorter one.
    if (static_cast<std::size_t>(urb.buffer_length) - 8 < setup.wLength) {
        g_object_unref(buffer);
        g_object_unref(urbData);
        completeWith(client, -EINVAL);
        return;
    }
    std::vector<std::uint8_t> data(b + 8, b + 8 + setup.wLength);
    const TransferResult result = transfer(setup, data);
    const std::uint32_t actual = std::min<std::uint32_t>(result.actualLength, setup.wLength);
    if (setup.isIn() && actual > 0) {
        umockdev_ioctl_data_update(buffer, 8, data.data(), static_cast<gsize>(actual));
    }
    int status = urbStatusOf(result.status);
    int actualLength = static_cast<int>(actual);
    umockdev_ioctl_data_update(urbData, offsetof(usbdevfs_urb, status), reinterpret_cast<guint8*>(&status),
                               sizeof(status));
    umockdev_ioctl_data_update(urbData, offsetof(usbdevfs_urb, actual_length),
                               reinterpret_cast<guint8*>(&actualLength), sizeof(actualLength));
    {
        std::lock_guard lock(mutex_);
        completed_.push_back(urbData->client_addr);
    }
    g_object_unref(buffer);
    g_object_unref(urbData);
    completeWith(client, 0);
}

void UsbdevfsServer::reap(UMockdevIoctlClient* client) {
    UMockdevIoctlData* out = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
    if (out == nullptr) {
        completeWith(client, -EFAULT);
        return;
    }
    unsigned long address = 0;
    {
        std::lock_guard lock(mutex_);
        if (completed_.empty()) {
            g_object_unref(out);
            completeWith(client, unplugged_.load() ? -ENODEV : -EAGAIN);
            return;
        }
        address = completed_.front();
        completed_.pop_front();
    }
    std::uint64_t pointer = address;
    umockdev_ioctl_data_update(out, 0, reinterpret_cast<guint8*>(&pointer), sizeof(void*));
    g_object_unref(out);
    completeWith(client, 0);
}

}  // namespace host::umockdev
