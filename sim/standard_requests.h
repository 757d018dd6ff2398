// Chapter 9 of the bootloader: descriptors, address, configuration, alternate settings and
// status on the default pipe. Anything else is stalled, as the ROM's USB core does.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/interface/device_end.h"
#include "sim/config.h"
#include "sim/descriptors.h"

namespace sim {

struct StandardAnswer {
    host::TransferStatus status = host::TransferStatus::Completed;
    std::uint32_t length = 0;
};

class StandardRequests {
public:
    StandardRequests(const BootloaderConfig& config, const Descriptors& descriptors);

    StandardAnswer handle(const host::SetupPacket& setup, std::span<std::uint8_t> data);
    // After a bus reset or a restart: default address, unconfigured, every interface at setting 0.
    void reset();

    std::uint8_t address() const { return address_; }
    std::uint8_t configuration() const { return configuration_; }
    std::uint8_t dfuAlternateSetting() const { return alternates_[descriptors_.dfuInterfaceNumber]; }

private:
    StandardAnswer getDescriptor(const host::SetupPacket& setup, std::span<std::uint8_t> data) const;
    StandardAnswer getStatus(const host::SetupPacket& setup, std::span<std::uint8_t> data) const;
    StandardAnswer setInterface(const host::SetupPacket& setup);
    std::uint8_t alternateCount(std::uint16_t interfaceNumber) const;

    const BootloaderConfig& config_;
    const Descriptors& descriptors_;
    std::uint8_t address_ = 0;
    std::uint8_t configuration_ = 0;
    std::vector<std::uint8_t> alternates_;  // current setting of every interface
};

}  // namespace sim
