// The bytes behind the bootloader's memory areas, one flat 32-bit address space as on the chip:
// every segment's address blocks become regions, and a DfuSe address is looked up among all of
// them whatever alternate setting is selected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/config.h"
#include "sim/layout.h"
#include "sim/sparse_bytes.h"

namespace sim {

enum class MemoryResult {
    Ok,
    OutsideMemory,  // no region holds the address, or the range leaves its region
    AccessDenied,   // the sector's access letter forbids it, or the kind cannot do it
    NotErased,      // programming would have to turn a 0 bit into a 1
};

struct MemoryRegion {
    std::uint32_t base = 0;
    SparseBytes bytes;
    SegmentKind kind = SegmentKind::Flash;
    std::size_t segment = 0;           // alternate setting it came from
    std::vector<SectorGroup> groups;   // the sector runs that make it up

    std::uint64_t end() const { return std::uint64_t{base} + bytes.size(); }
    bool contains(std::uint32_t address) const { return address >= base && address < end(); }
    Sector sectorAt(std::uint32_t address) const;  // address must be inside
};

class DeviceMemory {
public:
    // Throws std::invalid_argument for a layout that does not parse, overlapping segments, an
    // image longer than its segment, or more than kMaxModelMemoryBytes in all.
    explicit DeviceMemory(const std::vector<SegmentConfig>& segments);

    // Direct access for tests and image builders; no flash rules. Throws std::out_of_range unless
    // the whole range lies inside one region.
    std::vector<std::uint8_t> read(std::uint32_t address, std::size_t length) const;
    void write(std::uint32_t address, std::span<const std::uint8_t> bytes);
    // CRC-32 (IEEE 802.3) over every region in ascending address order.
    std::uint32_t crc32() const;

    const std::vector<MemoryRegion>& regions() const { return regions_; }
    const std::vector<MemoryLayout>& layouts() const { return layouts_; }
    const MemoryRegion* regionAt(std::uint32_t address) const;

    // What the bootloader does. Reads stop at the first byte that cannot be read (a region end or
    // a sector without read access): the returned count may be short, 0 if address is unreadable.
    std::size_t readForHost(std::uint32_t address, std::span<std::uint8_t> out) const;
    MemoryResult program(std::uint32_t address, std::span<const std::uint8_t> bytes);
    MemoryResult erasePage(std::uint32_t address);
    void eraseAllFlash();

private:
    MemoryRegion* findRegion(std::uint32_t address);
    std::vector<MemoryLayout> layouts_;
    std::vector<MemoryRegion> regions_;  // ascending by base
};

std::uint32_t crc32Update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

}  // namespace sim
