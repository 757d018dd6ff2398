// A raw binary: the bytes alone; where they go is the caller's to say.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "client/firmware_image.h"

namespace client {

// One element at `address` (alternate setting 0); ImageError for an empty file or one that runs
// past the 32-bit address space.
FirmwareImage parseRawBinary(std::span<const std::uint8_t> file, std::uint32_t address, const std::string& name);

// The bytes of a one-element image; ImageError naming `name` for an image of gaps.
std::vector<std::uint8_t> writeRawBinary(const FirmwareImage& image, const std::string& name);

}  // namespace client
