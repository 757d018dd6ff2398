// The descriptors a configured bootloader reports, built once from its configuration in the
// byte form that goes on the wire (little-endian, chapter 9 layouts, DFU functional descriptor).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/config.h"

namespace sim {

using Bytes = std::vector<std::uint8_t>;

struct Descriptors {
    Bytes device;                    // 18 bytes
    Bytes configuration;             // header, interfaces, functional descriptor; wTotalLength bytes
    Bytes otherSpeedConfiguration;   // same with type 7; empty when the qualifier is not answered
    Bytes deviceQualifier;           // 10 bytes; empty when not answered
    std::vector<Bytes> strings;      // by index; an empty entry is an index with no string
    std::uint8_t dfuInterfaceNumber = 0;
    std::uint8_t interfaceCount = 0;
    std::uint8_t dfuAlternateSettings = 0;
};

// Throws std::invalid_argument for a configuration no device could report (a string longer than
// a descriptor holds, two strings on one index, more than 255 alternate settings, ...).
Descriptors buildDescriptors(const BootloaderConfig& config);

// UTF-8 text to a string descriptor (bLength, 0x03, UTF-16LE units). Throws std::invalid_argument
// for malformed UTF-8 or more than 126 units.
Bytes makeStringDescriptor(const std::string& utf8);

}  // namespace sim
