#include "tests/support/scripted_device_end.h"

#include <algorithm>

#include "tests/support/descriptor_bytes.h"

namespace ostdfu_test {

namespace {
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kSetInterface = 0x0B;
}  // namespace

SetupMatcher requestMatcher(std::uint8_t bmRequestType, std::uint8_t bRequest) {
    return [=](const host::SetupPacket& s) {
        return s.bmRequestType == bmRequestType && s.bRequest == bRequest;
    };
}

SetupMatcher descriptorMatcher(std::uint8_t type, std::optional<std::uint8_t> index) {
    return [=](const host::SetupPacket& s) {
        return s.bmRequestType == 0x80 && s.bRequest == kGetDescriptor && (s.wValue >> 8) == type &&
               (!index || (s.wValue & 0xFF) == *index);
    };
}

Bytes stringDescriptor(std::u16string_view text) {
    Bytes bytes{static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

ScriptedDeviceEnd::ScriptedDeviceEnd()
    : device_(descriptors::kDfuDevice), configuration_(descriptors::kDfuConfiguration) {
    strings_[0] = {0x04, 0x03, 0x09, 0x04};
}

void ScriptedDeviceEnd::setDeviceDescriptor(Bytes bytes) {
    std::lock_guard lock(mutex_);
    device_ = std::move(bytes);
}

void ScriptedDeviceEnd::setConfigurationDescriptor(Bytes bytes) {
    std::lock_guard lock(mutex_);
    configuration_ = std::move(bytes);
}

void ScriptedDeviceEnd::setStringDescriptor(std::uint8_t index, Bytes bytes) {
    std::lock_guard lock(mutex_);
    strings_[index] = std::move(bytes);
}

void ScriptedDeviceEnd::setString(std::uint8_t index, std::u16string_view text) {
    setStringDescriptor(index, stringDescriptor(text));
}

void ScriptedDeviceEnd::setDeviceQualifier(std::optional<Bytes> bytes) {
    std::lock_guard lock(mutex_);
    qualifier_ = std::move(bytes);
}

void ScriptedDeviceEnd::setSpeed(host::UsbSpeed speed) {
    std::lock_guard lock(mutex_);
    speed_ = speed;
}

void ScriptedDeviceEnd::script(SetupMatcher match, ScriptedReply reply, int times) {
    std::lock_guard lock(mutex_);
    script_.push_back({std::move(match), std::move(reply), times});
}

void ScriptedDeviceEnd::clearScript() {
    std::lock_guard lock(mutex_);
    script_.clear();
}

void ScriptedDeviceEnd::disconnect() {
    host::DeviceEndEvents* events = nullptr;
    {
        std::lock_guard lock(mutex_);
        connected_ = false;
        events = events_;
    }
    if (events != nullptr) {
        events->deviceDisconnected();
    }
}

void ScriptedDeviceEnd::reconnect() {
    host::DeviceEndEvents* events = nullptr;
    {
        std::lock_guard lock(mutex_);
        connected_ = true;
        events = events_;
    }
    if (events != nullptr) {
        events->deviceReconnected();
    }
}

std::vector<ScriptedTransfer> ScriptedDeviceEnd::transfers() const {
    std::lock_guard lock(mutex_);
    return transfers_;
}

void ScriptedDeviceEnd::clearTransfers() {
    std::lock_guard lock(mutex_);
    transfers_.clear();
}

int ScriptedDeviceEnd::resets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

int ScriptedDeviceEnd::cycles() const {
    std::lock_guard lock(mutex_);
    return cycles_;
}

std::uint8_t ScriptedDeviceEnd::configuration() const {
    std::lock_guard lock(mutex_);
    return selectedConfiguration_;
}

std::uint8_t ScriptedDeviceEnd::alternateSetting(std::uint8_t interfaceNumber) const {
    std::lock_guard lock(mutex_);
    auto it = alternates_.find(interfaceNumber);
    return it == alternates_.end() ? 0 : it->second;
}

bool ScriptedDeviceEnd::hasSetting(std::uint8_t interfaceNumber, std::uint8_t alternate) const {
    std::size_t offset = 0;
    while (offset + 2 <= configuration_.size()) {
        const std::uint8_t length = configuration_[offset];
        if (length < 2 || offset + length > configuration_.size()) {
            break;
        }
        if (configuration_[offset + 1] == 0x04 && length >= 9 &&
            configuration_[offset + 2] == interfaceNumber &&
            configuration_[offset + 3] == alternate) {
            return true;
        }
        offset += length;
    }
    return false;
}

std::optional<ScriptedReply> ScriptedDeviceEnd::standardReply(const host::SetupPacket& setup) {
    if (setup.bmRequestType == 0x80 && setup.bRequest == kGetDescriptor) {
        const std::uint8_t type = setup.wValue >> 8;
        const std::uint8_t index = setup.wValue & 0xFF;
        switch (type) {
            case 0x01:
                return ScriptedReply::answer(device_);
            case 0x02:
                return ScriptedReply::answer(configuration_);
            case 0x03: {
                auto it = strings_.find(index);
                return it == strings_.end() ? ScriptedReply::stall()
                                            : ScriptedReply::answer(it->second);
            }
            case 0x06:
                return qualifier_ ? ScriptedReply::answer(*qualifier_) : ScriptedReply::stall();
            default:
                return ScriptedReply::stall();
        }
    }
    if (setup.bmRequestType == 0x00 && setup.bRequest == kSetConfiguration) {
        selectedConfiguration_ = static_cast<std::uint8_t>(setup.wValue);
        alternates_.clear();
        return ScriptedReply::accept();
    }
    if (setup.bmRequestType == 0x01 && setup.bRequest == kSetInterface) {
        const auto interfaceNumber = static_cast<std::uint8_t>(setup.wIndex);
        const auto alternate = static_cast<std::uint8_t>(setup.wValue);
        if (!hasSetting(interfaceNumber, alternate)) {
            return ScriptedReply::stall();
        }
        alternates_[interfaceNumber] = alternate;
        return ScriptedReply::accept();
    }
    if (setup.bmRequestType == 0x80 && setup.bRequest == kGetStatus) {
        return ScriptedReply::answer({0x01, 0x00});
    }
    return std::nullopt;
}

host::TransferResult ScriptedDeviceEnd::controlTransfer(const host::SetupPacket& setup,
                                                        std::span<std::uint8_t> data,
                                                        std::uint32_t timeoutMs) {
    std::lock_guard lock(mutex_);
    ScriptedTransfer transfer;
    transfer.setup = setup;
    transfer.timeoutMs = timeoutMs;
    if (!setup.isIn()) {
        transfer.out.assign(data.begin(), data.end());
    }

    std::optional<ScriptedReply> reply;
    if (!connected_) {
        reply = ScriptedReply{host::TransferStatus::Disconnected, {}, {}};
    }
    for (auto it = script_.begin(); !reply && it != script_.end(); ++it) {
        if (it->match(setup)) {
            reply = it->reply;
            if (it->times > 0 && --it->times == 0) {
                script_.erase(it);
            }
            break;
        }
    }
    if (!reply) {
        reply = standardReply(setup);
    }
    if (!reply) {
        reply = ScriptedReply::stall();
    }

    transfer.status = reply->status;
    if (reply->status == host::TransferStatus::Completed) {
        if (setup.isIn()) {
            const std::size_t n = std::min(reply->data.size(), data.size());
            std::copy_n(reply->data.begin(), n, data.begin());
            transfer.in.assign(reply->data.begin(), reply->data.begin() + static_cast<long>(n));
            transfer.actualLength = static_cast<std::uint32_t>(n);
        } else {
            transfer.actualLength = std::min<std::uint32_t>(
                reply->outLength.value_or(static_cast<std::uint32_t>(data.size())),
                static_cast<std::uint32_t>(data.size()));
        }
    }
    transfers_.push_back(transfer);
    return {transfer.status, transfer.actualLength};
}

void ScriptedDeviceEnd::resetPort() {
    std::lock_guard lock(mutex_);
    ++resets_;
}

void ScriptedDeviceEnd::cyclePort() {
    std::lock_guard lock(mutex_);
    ++cycles_;
}

host::UsbSpeed ScriptedDeviceEnd::speed() const {
    std::lock_guard lock(mutex_);
    return speed_;
}

bool ScriptedDeviceEnd::connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

void ScriptedDeviceEnd::setEvents(host::DeviceEndEvents* events) {
    std::lock_guard lock(mutex_);
    events_ = events;
}

}  // namespace ostdfu_test
