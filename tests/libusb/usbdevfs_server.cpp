#include "tests/libusb/usbdevfs_server.h"

#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <umockdev.h>

namespace libusb_test {

namespace {

std::vector<std::uint8_t> descriptor(sim::Bootloader& rom, std::uint16_t type, std::uint16_t length) {
    std::vector<std::uint8_t> bytes(length);
    const host::SetupPacket setup{0x80, 0x06, static_cast<std::uint16_t>(type << 8), 0, length};
    const host::TransferResult result = rom.controlTransfer(setup, bytes, 5000);
    if (result.status != host::TransferStatus::Completed) throw std::runtime_error("no descriptor");
    bytes.resize(result.actualLength);
    return bytes;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof(pair), "%02x", b);
        text += pair;
    }
    return text;
}

int urbStatusOf(host::TransferStatus status) {
    switch (status) {
        case host::TransferStatus::Completed:
            return 0;
        case host::TransferStatus::Stalled:
            return -EPIPE;
        case host::TransferStatus::TimedOut:
            return -ETIMEDOUT;
        case host::TransferStatus::Disconnected:
            return -ENODEV;
    }
    return -EIO;
}

}  // namespace

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {}

Testbed::~Testbed() { g_object_unref(testbed_); }

bool underUmockdev() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "umockdev-preload") != nullptr;
}

UsbdevfsServer::UsbdevfsServer(UMockdevTestbed* testbed, sim::Bootloader& rom, unsigned busNumber,
                               unsigned port, unsigned address)
    : rom_(rom), testbed_(testbed) {
    // Configured, as the kernel leaves a device it enumerated.
    std::vector<std::uint8_t> none;
    rom_.controlTransfer({0x00, 0x09, 1, 0, 0}, none, 5000);

    std::vector<std::uint8_t> all = descriptor(rom_, 1, 18);
    const std::vector<std::uint8_t> head = descriptor(rom_, 2, 9);
    const std::vector<std::uint8_t> config =
        descriptor(rom_, 2, static_cast<std::uint16_t>(head.at(2) | head.at(3) << 8));
    all.insert(all.end(), config.begin(), config.end());

    char node[32];
    std::snprintf(node, sizeof(node), "bus/usb/%03u/%03u", busNumber, address);
    devnode_ = std::string("/dev/") + node;
    const std::string name = std::to_string(busNumber) + "-" + std::to_string(port);
    const char* speed = rom_.speed() == host::UsbSpeed::High ? "480" : "12";
    const std::string record =
        "P: /devices/pci0000:00/usb" + std::to_string(busNumber) + "/" + name + "\n" +
        "N: " + node + "\n" +
        "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" +
        "E: DEVNAME=" + devnode_ + "\n" +
        "A: busnum=" + std::to_string(busNumber) + "\\n\n" +
        "A: devnum=" + std::to_string(address) + "\\n\n" +
        "A: speed=" + speed + "\\n\n" +
        "A: bConfigurationValue=1\\n\n" +
        "H: descriptors=" + hex(all) + "\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        const std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("umockdev refused the device: " + message);
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(onIoctl), this);
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &error)) {
        const std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("umockdev cannot serve " + devnode_ + ": " + message);
    }
}

UsbdevfsServer::~UsbdevfsServer() {
    umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), nullptr);
    g_object_unref(handler_);
}

std::vector<unsigned long> UsbdevfsServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int UsbdevfsServer::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<UsbdevfsServer*>(self)->handle(client);
    return TRUE;
}

void UsbdevfsServer::handle(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            GError* error = nullptr;
            UMockdevIoctlData* caps =
                umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, 4, &error);
            guint32 none = 0;
            if (caps != nullptr) {
                umockdev_ioctl_data_update(caps, 0, reinterpret_cast<guint8*>(&none), 4);
                g_object_unref(caps);
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM:
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            // No kernel driver is bound to the bootloader's interface.
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return;
        case USBDEVFS_SETINTERFACE: {
            GError* error = nullptr;
            UMockdevIoctlData* arg = umockdev_ioctl_data_resolve(
                umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_setinterface), &error);
            usbdevfs_setinterface choice{};
            std::memcpy(&choice, arg->data, sizeof(choice));
            g_object_unref(arg);
            std::vector<std::uint8_t> none;
            const host::TransferResult result = rom_.controlTransfer(
                {0x01, 0x0B, static_cast<std::uint16_t>(choice.altsetting),
                 static_cast<std::uint16_t>(choice.interface), 0},
                none, 5000);
            const int status = urbStatusOf(result.status);
            umockdev_ioctl_client_complete(client, status == 0 ? 0 : -1, -status);
            return;
        }
        case USBDEVFS_SETCONFIGURATION: {
            GError* error = nullptr;
            UMockdevIoctlData* arg = umockdev_ioctl_data_resolve(
                umockdev_ioctl_client_get_arg(client), 0, sizeof(unsigned int), &error);
            unsigned int value = 0;
            std::memcpy(&value, arg->data, sizeof(value));
            g_object_unref(arg);
            std::vector<std::uint8_t> none;
            const host::TransferResult result =
                rom_.controlTransfer({0x00, 0x09, static_cast<std::uint16_t>(value), 0, 0}, none, 5000);
            const int status = urbStatusOf(result.status);
            umockdev_ioctl_client_complete(client, status == 0 ? 0 : -1, -status);
            return;
        }
        case USBDEVFS_RESET:
            rom_.resetPort();
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        case USBDEVFS_SUBMITURB:
            submit(client);
            return;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client);
            return;
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return;
    }
}

// The URB is answered at once: the model has no bus time of its own to wait for, and the node
// (a socket) always polls writable, so libusb reaps it next.
void UsbdevfsServer::submit(UMockdevIoctlClient* client) {
    GError* error = nullptr;
    UMockdevIoctlData* urbData =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_urb), &error);
    usbdevfs_urb urb{};
    std::memcpy(&urb, urbData->data, sizeof(urb));
    if (urb.type != USBDEVFS_URB_TYPE_CONTROL || urb.buffer_length < 8) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        urbData, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb.buffer_length), &error);
    const guint8* b = buffer->data;
    const host::SetupPacket setup{b[0], b[1], static_cast<std::uint16_t>(b[2] | b[3] << 8),
                                  static_cast<std::uint16_t>(b[4] | b[5] << 8),
                                  static_cast<std::uint16_t>(b[6] | b[7] << 8)};
    std::vector<std::uint8_t> data(b + 8, b + 8 + std::min<std::size_t>(setup.wLength, urb.buffer_length - 8));
    const host::TransferResult result = data.size() < setup.wLength
                                            ? host::TransferResult{host::TransferStatus::Stalled, 0}
                                            : rom_.controlTransfer(setup, data, 5000);
    if (setup.isIn() && result.actualLength > 0) {
        umockdev_ioctl_data_update(buffer, 8, data.data(), static_cast<gint>(result.actualLength));
    }
    int status = urbStatusOf(result.status);
    int actual = static_cast<int>(result.actualLength);
    umockdev_ioctl_data_update(urbData, offsetof(usbdevfs_urb, status), reinterpret_cast<guint8*>(&status),
                               sizeof(status));
    umockdev_ioctl_data_update(urbData, offsetof(usbdevfs_urb, actual_length),
                               reinterpret_cast<guint8*>(&actual), sizeof(actual));
    {
        std::lock_guard lock(mutex_);
        completed_.push_back(urbData->client_addr);
    }
    g_object_unref(buffer);
    g_object_unref(urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbdevfsServer::reap(UMockdevIoctlClient* client) {
    unsigned long address = 0;
    {
        std::lock_guard lock(mutex_);
        if (completed_.empty()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return;
        }
        address = completed_.front();
        completed_.pop_front();
    }
    GError* error = nullptr;
    UMockdevIoctlData* out =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), &error);
    std::uint64_t pointer = address;
    umockdev_ioctl_data_update(out, 0, reinterpret_cast<guint8*>(&pointer), sizeof(void*));
    g_object_unref(out);
    umockdev_ioctl_client_complete(client, 0, 0);
}

}  // namespace libusb_test
