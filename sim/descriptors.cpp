#include "sim/descriptors.h"

#include <algorithm>
#include <stdexcept>

namespace sim {

namespace {

constexpr std::uint8_t kTypeDevice = 0x01;
constexpr std::uint8_t kTypeConfiguration = 0x02;
constexpr std::uint8_t kTypeString = 0x03;
constexpr std::uint8_t kTypeInterface = 0x04;
constexpr std::uint8_t kTypeDeviceQualifier = 0x06;
constexpr std::uint8_t kTypeOtherSpeedConfiguration = 0x07;
constexpr std::uint8_t kTypeDfuFunctional = 0x21;
constexpr std::size_t kMaxStringUnits = 126;  // (255 - 2) / 2

void put16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::vector<char16_t> utf8ToUtf16(const std::string& text) {
    std::vector<char16_t> units;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        char32_t cp = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            cp = lead & 0x07;
        } else {
            throw std::invalid_argument("malformed UTF-8 in a descriptor string");
        }
        if (text.size() - i - 1 < extra) throw std::invalid_argument("truncated UTF-8 in a descriptor string");
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) throw std::invalid_argument("malformed UTF-8 in a descriptor string");
            cp = (cp << 6) | (next & 0x3F);
        }
        i += extra + 1;
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            throw std::invalid_argument("invalid code point in a descriptor string");
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(cp));
        }
    }
    return units;
}

Bytes interfaceDescriptor(std::uint8_t number, std::uint8_t alternate, std::uint8_t cls, std::uint8_t subClass,
                          std::uint8_t protocol, std::uint8_t stringIndex) {
    return {9, kTypeInterface, number, alternate, 0 /* no endpoints */, cls, subClass, protocol, stringIndex};
}

class StringTable {
public:
    void place(std::uint8_t index, const std::string& text) {
        if (index == 0) return;  // index 0 means "no string"
        if (strings_.size() <= index) strings_.resize(index + 1);
        if (!strings_[index].empty()) throw std::invalid_argument("two strings share one descriptor index");
        strings_[index] = makeStringDescriptor(text);
    }
    // Interface strings follow the highest index used so far.
    std::uint8_t append(const std::string& text) {
        const std::size_t index = std::max<std::size_t>(strings_.size(), 1);
        if (index > 255) throw std::invalid_argument("more than 255 string descriptors");
        place(static_cast<std::uint8_t>(index), text);
        return static_cast<std::uint8_t>(index);
    }
    std::vector<Bytes> take() {
        if (strings_.empty()) strings_.resize(1);
        strings_[0] = {4, kTypeString, 0x09, 0x04};  // one language: English (United States)
        return std::move(strings_);
    }

private:
    std::vector<Bytes> strings_;
};

}  // namespace

Bytes makeStringDescriptor(const std::string& utf8) {
    const std::vector<char16_t> units = utf8ToUtf16(utf8);
    if (units.size() > kMaxStringUnits) throw std::invalid_argument("descriptor string longer than 126 UTF-16 units");
    Bytes out;
    out.push_back(static_cast<std::uint8_t>(2 + 2 * units.size()));
    out.push_back(kTypeString);
    for (char16_t unit : units) put16(out, unit);
    return out;
}

Descriptors buildDescriptors(const BootloaderConfig& config) {
    if (config.segments.empty()) throw std::invalid_argument("a DFU interface needs at least one alternate setting");
    if (config.segments.size() > 255) throw std::invalid_argument("more than 255 alternate settings");
    if (config.extraInterfaces.size() > 254) throw std::invalid_argument("more than 255 interfaces");

    Descriptors d;
    StringTable strings;
    strings.place(config.iManufacturer, config.manufacturer);
    strings.place(config.iProduct, config.product);
    const std::uint8_t serialIndex = config.serial ? config.iSerialNumber : 0;
    if (config.serial) strings.place(serialIndex, *config.serial);

    d.device = {18, kTypeDevice};
    put16(d.device, config.bcdUSB);
    d.device.insert(d.device.end(), {0x00, 0x00, 0x00, config.bMaxPacketSize0});  // class defined per interface
    put16(d.device, config.idVendor);
    put16(d.device, config.idProduct);
    put16(d.device, config.bcdDevice);
    d.device.insert(d.device.end(), {config.iManufacturer, config.iProduct, serialIndex, 1});

    // The DFU interface strings come first, as on the ROMs (4, 5, ... after the serial).
    std::vector<std::uint8_t> altStrings;
    for (const SegmentConfig& segment : config.segments) altStrings.push_back(strings.append(segment.layout));

    Bytes body;
    std::uint8_t number = 0;
    auto addExtras = [&](bool before) {
        for (const ExtraInterface& extra : config.extraInterfaces) {
            if (extra.beforeDfu != before) continue;
            const std::uint8_t name = extra.name.empty() ? 0 : strings.append(extra.name);
            const Bytes intf = interfaceDescriptor(number++, 0, extra.interfaceClass, extra.interfaceSubClass,
                                                   extra.interfaceProtocol, name);
            body.insert(body.end(), intf.begin(), intf.end());
        }
    };
    addExtras(true);
    d.dfuInterfaceNumber = number++;
    for (std::size_t alt = 0; alt < config.segments.size(); ++alt) {
        const Bytes intf = interfaceDescriptor(d.dfuInterfaceNumber, static_cast<std::uint8_t>(alt), 0xFE, 0x01,
                                               0x02, altStrings[alt]);
        body.insert(body.end(), intf.begin(), intf.end());
    }
    // The functional descriptor follows the last alternate setting, where the ROMs put it.
    body.insert(body.end(), {9, kTypeDfuFunctional, config.functional.bmAttributes});
    put16(body, config.functional.wDetachTimeOut);
    put16(body, config.functional.wTransferSize);
    put16(body, config.functional.bcdDFUVersion);
    addExtras(false);

    d.interfaceCount = number;
    d.dfuAlternateSettings = static_cast<std::uint8_t>(config.segments.size());
    const std::size_t total = 9 + body.size();
    if (total > 0xFFFF) throw std::invalid_argument("configuration descriptor longer than 65535 bytes");
    d.configuration = {9, kTypeConfiguration};
    put16(d.configuration, static_cast<std::uint16_t>(total));
    d.configuration.insert(d.configuration.end(),
                           {number, 1 /* bConfigurationValue */, 0 /* iConfiguration */,
                            config.configurationAttributes, config.maxPower});
    d.configuration.insert(d.configuration.end(), body.begin(), body.end());

    if (config.answersDeviceQualifier) {
        d.deviceQualifier = {10, kTypeDeviceQualifier};
        put16(d.deviceQualifier, config.bcdUSB);
        d.deviceQualifier.insert(d.deviceQualifier.end(), {0x00, 0x00, 0x00, config.bMaxPacketSize0, 1, 0});
        d.otherSpeedConfiguration = d.configuration;
        d.otherSpeedConfiguration[1] = kTypeOtherSpeedConfiguration;
    }
    d.strings = strings.take();
    return d;
}

}  // namespace sim
