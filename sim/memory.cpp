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
                regions_.back().bytes.resize(regions_.back().bytes.size() + (group.end() - group.address), kErasedByte);
                continue;
            }
            MemoryRegion region;
            region.base = group.address;
            region.bytes.assign(group.end() - group.address, kErasedByte);
            region.kind = segment.kind;
            region.segment = index;
            region.groups.push_back(group);
            regions_.push_back(std::move(region));
        }
        if (segment.image.size() > parsed.layout->totalSize())
            throw std::invalid_argument("segment " + std::to_string(index) + ": image longer than the segment");
        // The image fills the segment from its first address block on.
        std::size_t done = 0;
        for (std::size_t r = firstRegion; r < regions_.size() && done < segment.image.size(); ++r) {
            const std::size_t n = std::min(regions_[r].bytes.size(), segment.image.size() - done);
            std::copy_n(segment.image.begin() + static_cast<std::ptrdiff_t>(done), n, regions_[r].bytes.begin());
            done += n;
        }
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
    const std::size_t offset = address - region->base;
    return {region->bytes.begin() + static_cast<std::ptrdiff_t>(offset),
            region->bytes.begin() + static_cast<std::ptrdiff_t>(offset + length)};
}

void DeviceMemory::write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    MemoryRegion* region = findRegion(address);
    if (region == nullptr || bytes.size() > region->end() - address)
        throw std::out_of_range("write outside the device memory");
    std::copy(bytes.begin(), bytes.end(), region->bytes.begin() + (address - region->base));
}

std::uint32_t DeviceMemory::crc32() const {
    std::uint32_t crc = 0;
    for (const MemoryRegion& region : regions_) crc = crc32Update(crc, region.bytes);
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
        std::copy_n(region->bytes.begin() + static_cast<std::ptrdiff_t>(at - region->base), n, out.begin() + count);
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
    auto target = region->bytes.begin() + (address - region->base);
    // All or nothing, so a refused write leaves the memory as it was.
    if (programsOnlyErasedBytes(region->kind)) {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            if (target[static_cast<std::ptrdiff_t>(i)] != kErasedByte && target[static_cast<std::ptrdiff_t>(i)] != bytes[i])
                return MemoryResult::NotErased;
    }
    std::copy(bytes.begin(), bytes.end(), target);
    return MemoryResult::Ok;
}

MemoryResult DeviceMemory::erasePage(std::uint32_t address) {
    MemoryRegion* region = findRegion(address);
    if (region == nullptr) return MemoryResult::OutsideMemory;
    const Sector sector = region->sectorAt(address);
    // Only flash pages erase; OTP cannot, and option bytes are rewritten whole by a write.
    if (region->kind != SegmentKind::Flash || !sector.erasable()) return MemoryResult::AccessDenied;
    std::fill_n(region->bytes.begin() + (sector.address - region->base), sector.size, kErasedByte);
    return MemoryResult::Ok;
}

void DeviceMemory::eraseAllFlash() {
    for (MemoryRegion& region : regions_)
        if (region.kind == SegmentKind::Flash) std::fill(region.bytes.begin(), region.bytes.end(), kErasedByte);
}

}  // namespace sim
