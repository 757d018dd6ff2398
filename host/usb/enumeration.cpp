#include "host/usb/enumeration.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/rtl/text.h"

namespace host::usb {

namespace {

constexpr std::uint16_t kEnglish = 0x0409;

// A serial number becomes the instance id, a key name under Enum, only when every character may
// stand in one: printable ASCII without a comma, and no backslash, which would split the id
// over two levels of keys. Anything else counts as no serial number, as the hub treats it.
bool usableAsInstanceId(std::u16string_view serial) {
    return std::all_of(serial.begin(), serial.end(),
                       [](char16_t c) { return c > 0x20 && c < 0x7F && c != u',' && c != u'\\'; });
}

std::optional<std::vector<std::uint8_t>> getDescriptor(DeviceEnd& end, std::uint8_t type,
                                                       std::uint8_t index, std::uint16_t language,
                                                       std::uint16_t length) {
    std::vector<std::uint8_t> buffer(length);
    SetupPacket setup;
    setup.bmRequestType = 0x80;
    setup.bRequest = 0x06;
    setup.wValue = static_cast<std::uint16_t>(type << 8 | index);
    setup.wIndex = language;
    setup.wLength = length;
    const TransferResult result =
        end.controlTransfer(setup, buffer, Bus::kDefaultTransferTimeoutMs);
    if (result.status != TransferStatus::Completed) {
        return std::nullopt;
    }
    buffer.resize(std::min<std::size_t>(result.actualLength, buffer.size()));
    return buffer;
}

}  // namespace

std::optional<PnpDeviceDescription> enumerate(Device& device) {
    if (device.gone()) {
        return std::nullopt;
    }
    DeviceEnd& end = device.end();
    auto descriptor =
        getDescriptor(end, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, sizeof(USB_DEVICE_DESCRIPTOR));
    if (!descriptor || descriptor->size() != sizeof(USB_DEVICE_DESCRIPTOR)) {
        return std::nullopt;
    }
    USB_DEVICE_DESCRIPTOR d;
    std::memcpy(&d, descriptor->data(), sizeof(d));

    PnpDeviceDescription description;
    char text[64];
    std::snprintf(text, sizeof(text), "USB\\VID_%04X&PID_%04X&REV_%04X",
                  static_cast<unsigned>(d.idVendor), static_cast<unsigned>(d.idProduct),
                  static_cast<unsigned>(d.bcdDevice));
    description.hardwareIds.push_back(widen(text));
    std::snprintf(text, sizeof(text), "USB\\VID_%04X&PID_%04X", static_cast<unsigned>(d.idVendor),
                  static_cast<unsigned>(d.idProduct));
    description.hardwareIds.push_back(widen(text));

    // A serial number the device will not give is no serial number: the instance id is then
    // generated, as for a device without one.
    if (d.iSerialNumber != 0) {
        auto serial =
            getDescriptor(end, USB_STRING_DESCRIPTOR_TYPE, d.iSerialNumber, kEnglish, 255);
        if (serial && serial->size() >= 2) {
            const std::size_t bytes = std::min<std::size_t>((*serial)[0], serial->size());
            for (std::size_t i = 2; i + 1 < bytes; i += 2) {
                description.serialNumber.push_back(
                    static_cast<char16_t>((*serial)[i] | (*serial)[i + 1] << 8));
            }
        }
        if (!usableAsInstanceId(description.serialNumber)) {
            description.serialNumber.clear();
        }
    }
    description.pdoName = device.pdoName();
    description.physicalDevice = device.pdo();
    return description;
}

}  // namespace host::usb
