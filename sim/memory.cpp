#include "sim/memory.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <utility>

namespace sim {

namespace {

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr auto kCrcTable = makeCrcTable();

// Flash and OTP cells only go from erased to programmed; rewriting a byte with the value it
// already holds is allowed, as the cell does not change.
bool programsOnlyErasedBytes(SegmentKind kind) { return kind == SegmentKind::Flash || kind == SegmentKind::Otp; }

// The image fills the segment's regions from its first address block on; only its written
// pages are copied.
void fillFromImage(std::span<MemoryRegion> regions, const SparseBytes& image) {
    image.forEachHeldPage([regions](std::size_t offset, std::span<const std::uint8_t> bytes) {
        std::size_t regionStart = 0;
        for (MemoryRegion& region : regions) {
            const std::size_t from = std::max(offset, regionStart);
            const std::size_t to = std::min(offset + bytes.size(), regionStart + region.bytes.size());
            if (from < to) region.bytes.copyIn(from - regionStart, bytes.subspan(from - offset, to - from));
            regionStart += region.bytes.size();
        }
    });
}

}  // namespace

std::uint32_t crc32Update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
    crc = ~crc;
    for (std::uint8_t b : bytes) crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

Sector MemoryRegion::sectorAt(std::uint32_t address) const {
    // The groups cover the region without a gap, so an address inside always has a sector.
    return findSector(groups, address).value_or(Sector{address, 1, 0});
}

DeviceMemory::DeviceMemory(const std::vector<SegmentConfig>& segments) {
    std::uint64_t total = 0;
    for (std::size_t index = 0; index < segments.size(); ++index) {
        const SegmentConfig& segment = segments[index];
        LayoutParseResult parsed = parseLayout(segment.layout);
        if (!parsed.ok())
            throw std::invalid_argument("segment " + std::to_string(index) + ": " + parsed.error.message + " at offset " +
                                        std::to_string(parsed.error.offset));
        total += parsed.layout->totalSize();
        if (total > kMaxModelMemoryBytes) throw std::invalid_argument("segments hold more memory than the model allows");

        // Each run of adjacent sector groups becomes one region.
        std::size_t firstRegion = regions_.size();
        for (const SectorGroup& group : parsed.layout->groups) {
            if (regions_.size() > firstRegion && regions_.back().end() == group.address) {
                regions_.back().groups.push_back(group);
                regions_.back().bytes.resize(regions_.back().bytes.size() + (group.end() - group.address));
                continue;
            }
            MemoryRegion region;
            region.base = group.address;
            region.bytes.resize(group.end() - group.address);
            region.kind = segment.kind;
            region.segment = index;
            region.groups.push_back(group);
            regions_.push_back(std::move(region));
        }
        if (segment.image.size() > parsed.layout->totalSize())
            throw std::invalid_argument("segment " + std::to_string(index) + ": image longer than the segment");
        fillFromImage(std::span(regions_).subspan(firstRegion), segment.image);
        layouts_.push_back(std::move(*parsed.layout));
    }
    std::sort(regions_.begin(), regions_.end(), [](const auto& a, const auto& b) { return a.base < b.base; });
    for (std::size_t r = 1; r < regions_.size(); ++r)
        if (regions_[r - 1].end() > regions_[r].base) throw std::invalid_argument("segments overlap");
}

const MemoryRegion* DeviceMemory::regionAt(std::uint32_t address) const {
    for (const MemoryRegion& region : regions_)
        if (region.contains(address)) return &region;
    return nullptr;
}

MemoryRegion* DeviceMemory::findRegion(std::uint32_t address) {
    return const_cast<MemoryRegion*>(std::as_const(*this).regionAt(address));
}

std::vector<std::uint8_t> DeviceMemory::read(std::uint32_t address, std::size_t length) const {
    const MemoryRegion* region = regionAt(address);
    if (region == nullptr || length > region->end() - address)
        throw std::out_of_range("read outside the device memory");
    std::vector<std::uint8_t> out(length);
    region->bytes.copyOut(address - region->base, out);
    return out;
}

void DeviceMemory::write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    MemoryRegion* region = findRegion(address);
    if (region == nullptr || bytes.size() > region->end() - address)
        throw std::out_of_range("write outside the device memory");
    region->bytes.copyIn(address - region->base, bytes);
}

std::uint32_t DeviceMemory::crc32() const {
    std::uint32_t crc = 0;
    for (const MemoryRegion& region : regions_)
        region.bytes.forEachChunk([&crc](std::span<const std::uint8_t> chunk) { crc = crc32Update(crc, chunk); });
    return crc;
}

std::size_t DeviceMemory::readForHost(std::uint32_t address, std::span<std::uint8_t> out) const {
    const MemoryRegion* region = regionAt(address);
    if (region == nullptr) return 0;
    std::size_t count = 0;
    std::uint64_t at = address;
    while (count < out.size() && at < region->end()) {
        const Sector sector = region->sectorAt(static_cast<std::uint32_t>(at));
        if (!sector.readable()) break;
        const std::uint64_t sectorEnd = std::uint64_t{sector.address} + sector.size;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sectorEnd - at, out.size() - count));
        region->bytes.copyOut(static_cast<std::size_t>(at - region->base), out.subspan(count, n));
        count += n;
        at += n;
    }
    return count;
}

MemoryResult DeviceMemory::program(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    MemoryRegion* region = findRegion(address);
    if (region == nullptr || bytes.size() > region->end() - address) return MemoryResult::OutsideMemory;
    for (std::uint64_t at = address; at < address + bytes.size();) {
        const Sector sector = region->sectorAt(static_cast<std::uint32_t>(at));
        if (!sector.writable()) return MemoryResult::AccessDenied;
        at = std::uint64_t{sector.address} + sector.size;
    }
    const std::size_t offset = address - region->base;
    // All or nothing, so a refused write leaves the memory as it was.
    if (programsOnlyErasedBytes(region->kind)) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const std::uint8_t held = region->bytes.at(offset + i);
            if (held != kErasedByte && held != bytes[i]) return MemoryResult::NotErased;
        }
    }
    region->bytes.copyIn(offset, bytes);
    return MemoryResult::Ok;
}

MemoryResult DeviceMemory::erasePage(std::uint32_t address) {
    MemoryRegion* region = findRegion(address);
    if (region == nullptr) return MemoryResult::OutsideMemory;
    const Sector sector = region->sectorAt(address);
    // Only flash pages erase; OTP cannot, and option bytes are rewritten whole by a write.
    if (region->kind != SegmentKind::Flash || !sector.erasable()) return MemoryResult::AccessDenied;
    region->bytes.erase(sector.address - region->base, sector.size);
    return MemoryResult::Ok;
}

void DeviceMemory::eraseAllFlash() {
    for (MemoryRegion& region : regions_)
        if (region.kind == SegmentKind::Flash) region.bytes.erase(0, region.bytes.size());
}

}  // namespace sim
