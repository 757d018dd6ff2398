// The DfuSe file (.dfu): a "DfuSe" prefix, one target per alternate setting with its elements
// (address, size, bytes), and the 16-byte DFU suffix whose CRC-32 covers everything before it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "client/firmware_image.h"

namespace client {

// ImageError naming `name` and the byte offset of the first fault.
FirmwareImage parseDfuSe(std::span<const std::uint8_t> file, const std::string& name);

// One target per alternate setting, in the order the elements first name it. The suffix carries
// the image's product, or 0xFFFF wildcards without one.
std::vector<std::uint8_t> writeDfuSe(const FirmwareImage& image);

}  // namespace client
