// Base relocations: every absolute address the linker wrote for the image's preferred base,
// moved by the distance between that base and the one the image was given.
#pragma once

#include <cstdint>
#include <span>

#include "host/image/pe_image.h"

namespace host::image {

// Adds delta (actual base - preferred base, modulo 2^64) to each DIR64 target of the directory,
// read from the mapped image. ABSOLUTE entries pad blocks and change nothing; any other kind is
// refused, naming it, with an ImageFormatError, as is a block or target outside the image.
void applyRelocations(std::span<std::uint8_t> image, DataDirectory directory, std::uint64_t delta);

}  // namespace host::image
