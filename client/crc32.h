// The CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320), as DFU suffixes and device-memory
// checks use it.
#pragma once

#include <cstdint>
#include <span>

namespace client {

// The usual CRC-32: register preset to all ones, result inverted.
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// What a DFU suffix stores in dwCRC: the same register without the final inversion.
inline std::uint32_t dfuSuffixCrc(std::span<const std::uint8_t> bytes) { return ~crc32(bytes); }

}  // namespace client
