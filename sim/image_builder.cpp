#include "sim/image_builder.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

#include "sim/layout.h"
#include "sim/memory.h"

namespace sim {

namespace {

// Offset of address within the segment image, which fills the sector groups in text order.
std::optional<std::uint64_t> imageOffset(const MemoryLayout& layout, std::uint32_t address) {
    std::uint64_t before = 0;
    for (const SectorGroup& group : layout.groups) {
        if (address >= group.address && address < group.end()) return before + (address - group.address);
        before += group.end() - group.address;
    }
    return std::nullopt;
}

constexpr std::uint8_t kRdpUnprotected = 0xA5;
constexpr std::size_t kFormat2ValuesPerRecord = 6;
constexpr std::uint16_t kFormat2EndMark = 0xFFFF;
constexpr std::uint16_t kFormat1EndMark = 0xFF;
constexpr std::size_t kMaxSerialBytes = 8;

void appendLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// The values to store from the first key on: the preceding byte if any, then the serial's bytes.
std::vector<std::uint8_t> serialValues(const EepromSerial& serial) {
    std::vector<std::uint8_t> values;
    if (serial.precedingByte) values.push_back(*serial.precedingByte);
    for (std::size_t j = 0; j < serial.length; ++j)
        values.push_back(static_cast<std::uint8_t>(serial.serial >> (8 * j)));
    return values;
}

std::vector<std::uint8_t> encodePairs(std::uint32_t firstKey, std::span<const std::uint8_t> values) {
    if (firstKey + values.size() - 1 >= kFormat1EndMark)
        throw std::invalid_argument("format-1 keys end at 0xFE; 0xFF marks the end of the entries");
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        out.push_back(static_cast<std::uint8_t>(firstKey + i));
        out.push_back(values[i]);
    }
    return out;
}

// Consecutive indexes from firstIndex, six to a record. The last record's unused values are
// erased bytes, the value a reader also gets for an index that no record covers.
std::vector<std::uint8_t> encodeRecords(std::uint32_t firstIndex, std::span<const std::uint8_t> values) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < values.size(); i += kFormat2ValuesPerRecord) {
        const std::uint32_t base = firstIndex + static_cast<std::uint32_t>(i);
        if (base >= kFormat2EndMark)
            throw std::invalid_argument("format-2 record base " + std::to_string(base) +
                                        " is the end mark or past it");
        out.push_back(static_cast<std::uint8_t>(base >> 8));
        out.push_back(static_cast<std::uint8_t>(base));
        for (std::size_t k = 0; k < kFormat2ValuesPerRecord; ++k)
            out.push_back(i + k < values.size() ? values[i + k] : kErasedByte);
    }
    return out;
}

}  // namespace

std::vector<std::uint8_t> encodeIdentityRecords(std::span<const IdentityRecord> records) {
    std::vector<std::uint8_t> out;
    out.reserve(records.size() * kIdentityRecordSize);
    for (const IdentityRecord& record : records) {
        appendLe16(out, record.productId);
        appendLe16(out, record.vendorId);
        appendLe16(out, record.variant);
        appendLe16(out, 0xFFFF);  // unused: left as the one-time-programmable area came
    }
    return out;
}

std::array<std::uint8_t, kOptionBytesSize> encodeOptionBytes(std::optional<std::uint8_t> productCode) {
    const std::uint8_t data0 = productCode.value_or(kErasedByte);
    const std::uint8_t data1 = productCode ? 0x00 : kErasedByte;
    const std::array<std::uint8_t, kOptionBytesSize / 2> values = {
        kRdpUnprotected, kErasedByte /* USER */, data0, data1, kErasedByte, kErasedByte, kErasedByte, kErasedByte};
    std::array<std::uint8_t, kOptionBytesSize> out{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        out[2 * i] = values[i];
        out[2 * i + 1] = static_cast<std::uint8_t>(~values[i]);
    }
    return out;
}

std::vector<std::uint8_t> encodeEepromSerial(EepromFormat format, const EepromSerial& serial) {
    if (serial.length < 1 || serial.length > kMaxSerialBytes)
        throw std::invalid_argument("a serial number has 1 to 8 bytes");
    if (serial.precedingByte && serial.firstKey == 0)
        throw std::invalid_argument("no key precedes key 0");
    const std::uint32_t firstKey = serial.firstKey - (serial.precedingByte ? 1u : 0u);
    const std::vector<std::uint8_t> values = serialValues(serial);
    switch (format) {
        case EepromFormat::KeyValuePairs:
            return encodePairs(firstKey, values);
        case EepromFormat::SixValueRecords:
            return encodeRecords(firstKey, values);
    }
    throw std::invalid_argument("unknown EEPROM format");
}

ImageBuilder& ImageBuilder::put(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return *this;
    const std::uint64_t last = std::uint64_t{address} + bytes.size() - 1;
    if (last > 0xFFFFFFFFull) throw std::invalid_argument("image bytes run past the address space");
    for (SegmentConfig& segment : config_.segments) {
        const LayoutParseResult parsed = parseLayout(segment.layout);
        if (!parsed.ok()) continue;
        const auto first = imageOffset(*parsed.layout, address);
        const auto end = imageOffset(*parsed.layout, static_cast<std::uint32_t>(last));
        if (!first) continue;
        if (!end || *end - *first != bytes.size() - 1)
            throw std::invalid_argument("image bytes leave the segment that holds their start");
        if (segment.image.size() < *end + 1) segment.image.resize(*end + 1);
        segment.image.copyIn(*first, bytes);
        return *this;
    }
    throw std::invalid_argument("no segment holds the image address");
}

ImageBuilder& ImageBuilder::putLe16(std::uint32_t address, std::uint16_t value) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
    return put(address, bytes);
}

ImageBuilder& ImageBuilder::putLe32(std::uint32_t address, std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return put(address, bytes);
}

ImageBuilder& ImageBuilder::identityRecords(std::uint32_t area, std::span<const IdentityRecord> records) {
    return put(area, encodeIdentityRecords(records));
}

ImageBuilder& ImageBuilder::optionBytes(std::uint32_t address, std::optional<std::uint8_t> productCode) {
    return put(address, encodeOptionBytes(productCode));
}

ImageBuilder& ImageBuilder::versionBlock(std::uint32_t blockAddress, std::uint32_t blockSize, VersionLayout layout,
                                         std::uint16_t version, std::uint16_t secondary) {
    if (blockSize < kVersionTrailerSize)
        throw std::invalid_argument("a version block holds at least its 8-byte trailer");
    const std::uint64_t end = std::uint64_t{blockAddress} + blockSize;
    if (end > 0x100000000ull) throw std::invalid_argument("version block runs past the address space");
    const auto at = [end](std::uint32_t fromEnd) { return static_cast<std::uint32_t>(end - fromEnd); };
    switch (layout) {
        case VersionLayout::BigEndianLastWord: {
            const std::uint8_t word[2] = {static_cast<std::uint8_t>(version >> 8), static_cast<std::uint8_t>(version)};
            return put(at(2), word);
        }
        case VersionLayout::LittleEndianAt4:
            return putLe16(at(4), version);
        case VersionLayout::LittleEndianAt8:
            return putLe16(at(8), version).putLe16(at(4), secondary);
    }
    throw std::invalid_argument("unknown version layout");
}

ImageBuilder& ImageBuilder::eepromSection(std::uint32_t address, std::uint32_t sectionSize, EepromFormat format,
                                          const EepromSerial& serial) {
    if (std::uint64_t{address} + sectionSize > 0x100000000ull)
        throw std::invalid_argument("EEPROM section runs past the address space");
    std::vector<std::uint8_t> section = encodeEepromSerial(format, serial);
    if (section.size() > sectionSize) throw std::invalid_argument("the serial's entries do not fit the section");
    section.resize(sectionSize, kErasedByte);
    return put(address, section);
}

}  // namespace sim
