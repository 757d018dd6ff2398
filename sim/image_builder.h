// Places bytes at device addresses into a configuration's segment images, so that whoever builds
// a device (a preset, a scenario, a test) says "these bytes at 0x1FFF7800" instead of counting
// offsets into the image of the segment that holds them.
#pragma once

#include <cstdint>
#include <span>

#include "sim/config.h"

namespace sim {

class ImageBuilder {
public:
    explicit ImageBuilder(BootloaderConfig& config) : config_(config) {}

    // Throws std::invalid_argument unless one segment holds the whole range contiguously. Bytes
    // between the end of the image so far and address are left erased (0xFF).
    ImageBuilder& put(std::uint32_t address, std::span<const std::uint8_t> bytes);
    ImageBuilder& putLe16(std::uint32_t address, std::uint16_t value);
    ImageBuilder& putLe32(std::uint32_t address, std::uint32_t value);

private:
    BootloaderConfig& config_;
};

}  // namespace sim
