#include "sim/image_builder.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

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

}  // namespace

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
        if (segment.image.size() < *end + 1) segment.image.resize(*end + 1, kErasedByte);
        std::copy(bytes.begin(), bytes.end(), segment.image.begin() + static_cast<std::ptrdiff_t>(*first));
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

}  // namespace sim
