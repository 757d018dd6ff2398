// Places bytes at device addresses into a configuration's segment images, so that whoever builds
// a device (a preset, a scenario, a test) says "these bytes at 0x1FFF7800" instead of counting
// offsets into the image of the segment that holds them.
//
// Beside raw bytes it writes the records that application firmware and production leave in
// device memory: identity records, option bytes with a product code, firmware-version blocks and
// EEPROM sections holding a serial number. The writers know the byte formats only; which product
// keeps what where is the business of whoever calls them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/config.h"

namespace sim {

// One record of the identity area (little-endian words: product ID, vendor ID, variant, and a
// fourth word that is left unprogrammed). A record whose product-ID word is 0xFFFF is erased.
struct IdentityRecord {
    std::uint16_t productId = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t variant = 0;
};
inline constexpr std::size_t kIdentityRecordSize = 8;

// The records back to back, in the order given.
std::vector<std::uint8_t> encodeIdentityRecords(std::span<const IdentityRecord> records);

// Option bytes in the F0/F1/F3 arrangement: each byte followed by its complement (RDP, USER,
// Data0, Data1, WRP0..WRP3). Read protection off (RDP 0xA5), nothing write-protected. A product
// code goes into Data0 with Data1 0x00, so that Data0 | Data1 reads back as the code; without one
// both data bytes stay erased (0xFF).
inline constexpr std::size_t kOptionBytesSize = 16;
std::array<std::uint8_t, kOptionBytesSize> encodeOptionBytes(std::optional<std::uint8_t> productCode);

// Where the firmware version sits in the last 8 bytes of its flash block.
enum class VersionLayout : std::uint8_t {
    BigEndianLastWord = 1,  // version big-endian in the last two bytes
    LittleEndianAt4 = 2,    // version little-endian 4 bytes from the end
    LittleEndianAt8 = 3,    // version little-endian 8 bytes from the end, secondary 4 from the end
};
inline constexpr std::size_t kVersionTrailerSize = 8;

// Entry formats of an emulated-EEPROM section.
enum class EepromFormat : std::uint8_t {
    KeyValuePairs = 1,    // a key byte and a value byte per entry; key 0xFF ends the entries
    SixValueRecords = 2,  // 8-byte records: big-endian base index, values of base..base + 5;
                          // base 0xFFFF ends the records
};

// A serial number as an EEPROM section stores it: byte j (bits 8j..8j+7) under key firstKey + j,
// and optionally a byte under firstKey - 1.
struct EepromSerial {
    std::uint64_t serial = 0;
    std::uint16_t firstKey = 0;
    std::uint8_t length = 8;                    // bytes of the serial stored, 1..8
    std::optional<std::uint8_t> precedingByte;  // needs firstKey >= 1
};

// The entries of a section holding the serial, without the erased tail. Throws
// std::invalid_argument for keys the format cannot hold: a format-1 key above 0xFE (0xFF is the
// end mark), a format-2 record whose base would be 0xFFFF, a preceding byte before key 0, or a
// length outside 1..8.
std::vector<std::uint8_t> encodeEepromSerial(EepromFormat format, const EepromSerial& serial);

class ImageBuilder {
public:
    explicit ImageBuilder(BootloaderConfig& config) : config_(config) {}

    // Throws std::invalid_argument unless one segment holds the whole range contiguously. Bytes
    // between the end of the image so far and address are left erased (0xFF).
    ImageBuilder& put(std::uint32_t address, std::span<const std::uint8_t> bytes);
    ImageBuilder& putLe16(std::uint32_t address, std::uint16_t value);
    ImageBuilder& putLe32(std::uint32_t address, std::uint32_t value);

    // The records from the start of the identity area; what follows them stays as it was.
    ImageBuilder& identityRecords(std::uint32_t area, std::span<const IdentityRecord> records);
    ImageBuilder& optionBytes(std::uint32_t address, std::optional<std::uint8_t> productCode);
    // The version words of a block of blockSize bytes (at least 8) starting at blockAddress. Only
    // the bytes of the layout's words are written; the secondary word exists in layout 3 only and
    // is ignored otherwise.
    ImageBuilder& versionBlock(std::uint32_t blockAddress, std::uint32_t blockSize, VersionLayout layout,
                               std::uint16_t version, std::uint16_t secondary = 0);
    // The whole section: the serial's entries from its start, then erased bytes to its end, so
    // that earlier contents cannot pass for entries. Throws std::invalid_argument when the
    // entries do not fit.
    ImageBuilder& eepromSection(std::uint32_t address, std::uint32_t sectionSize, EepromFormat format,
                                const EepromSerial& serial);

private:
    BootloaderConfig& config_;
};

}  // namespace sim
