#include "sim/standard_requests.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kSetAddress = 5;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kGetConfiguration = 8;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kGetInterface = 10;
constexpr std::uint8_t kSetInterface = 11;

constexpr std::uint8_t kToDevice = 0x00, kToInterface = 0x01;
constexpr std::uint8_t kFromDevice = 0x80, kFromInterface = 0x81, kFromEndpoint = 0x82;

constexpr StandardAnswer kStall{host::TransferStatus::Stalled, 0};

StandardAnswer answer(const std::vector<std::uint8_t>& bytes, std::span<std::uint8_t> data) {
    // Any wLength is honoured: a shorter request gets the first bytes, a longer one a short answer.
    const std::size_t n = std::min(bytes.size(), data.size());
    std::copy_n(bytes.begin(), n, data.begin());
    return {host::TransferStatus::Completed, static_cast<std::uint32_t>(n)};
}

}  // namespace

StandardRequests::StandardRequests(const BootloaderConfig& config, const Descriptors& descriptors)
    : config_(config), descriptors_(descriptors) {
    reset();
}

void StandardRequests::reset() {
    address_ = 0;
    configuration_ = 0;
    alternates_.assign(descriptors_.interfaceCount, 0);
}

std::uint8_t StandardRequests::alternateCount(std::uint16_t interfaceNumber) const {
    if (interfaceNumber >= descriptors_.interfaceCount) return 0;
    return interfaceNumber == descriptors_.dfuInterfaceNumber ? descriptors_.dfuAlternateSettings : 1;
}

StandardAnswer StandardRequests::handle(const host::SetupPacket& setup, std::span<std::uint8_t> data) {
    const std::uint8_t type = setup.bmRequestType;
    switch (setup.bRequest) {
    case kGetDescriptor:
        return type == kFromDevice ? getDescriptor(setup, data) : kStall;
    case kGetStatus:
        return getStatus(setup, data);
    case kSetAddress:
        if (type != kToDevice || setup.wValue > 127) return kStall;
        address_ = static_cast<std::uint8_t>(setup.wValue);
        return {};
    case kSetConfiguration:
        if (type != kToDevice || setup.wValue > 1) return kStall;
        configuration_ = static_cast<std::uint8_t>(setup.wValue);
        std::fill(alternates_.begin(), alternates_.end(), 0);
        return {};
    case kGetConfiguration:
        if (type != kFromDevice) return kStall;
        return answer({configuration_}, data);
    case kSetInterface:
        return type == kToInterface ? setInterface(setup) : kStall;
    case kGetInterface:
        // Interfaces exist only in the configured state.
        if (type != kFromInterface || configuration_ == 0 || alternateCount(setup.wIndex) == 0) return kStall;
        return answer({alternates_[setup.wIndex]}, data);
    default:
        return kStall;
    }
}

StandardAnswer StandardRequests::getDescriptor(const host::SetupPacket& setup, std::span<std::uint8_t> data) const {
    const std::uint8_t type = static_cast<std::uint8_t>(setup.wValue >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(setup.wValue);
    const std::vector<std::uint8_t>* bytes = nullptr;
    switch (type) {
    case 0x01:
        bytes = &descriptors_.device;
        break;
    case 0x02:
        bytes = index == 0 ? &descriptors_.configuration : nullptr;
        break;
    case 0x03:
        // The language ID in wIndex is not checked: the ROM has one language.
        bytes = index < descriptors_.strings.size() ? &descriptors_.strings[index] : nullptr;
        break;
    case 0x06:
        bytes = &descriptors_.deviceQualifier;
        break;
    case 0x07:
        bytes = index == 0 ? &descriptors_.otherSpeedConfiguration : nullptr;
        break;
    default:
        break;
    }
    if (bytes == nullptr || bytes->empty()) return kStall;
    return answer(*bytes, data);
}

StandardAnswer StandardRequests::getStatus(const host::SetupPacket& setup, std::span<std::uint8_t> data) const {
    switch (setup.bmRequestType) {
    case kFromDevice:
        return answer({static_cast<std::uint8_t>(config_.deviceStatus),
                       static_cast<std::uint8_t>(config_.deviceStatus >> 8)},
                      data);
    case kFromInterface:
        if (configuration_ == 0 || alternateCount(setup.wIndex) == 0) return kStall;
        return answer({0, 0}, data);
    case kFromEndpoint:
        // Only the default pipe exists.
        if ((setup.wIndex & 0x7F) != 0) return kStall;
        return answer({0, 0}, data);
    default:
        return kStall;
    }
}

StandardAnswer StandardRequests::setInterface(const host::SetupPacket& setup) {
    if (configuration_ == 0 || setup.wValue >= alternateCount(setup.wIndex)) return kStall;
    alternates_[setup.wIndex] = static_cast<std::uint8_t>(setup.wValue);
    return {};
}

}  // namespace sim
