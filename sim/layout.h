// DfuSe memory-layout strings, as the bootloader puts them in its interface strings:
//   @Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg
// A name after '@', then one or more blocks of "/0xADDRESS/" followed by comma-separated sector
// groups "COUNT*SIZE<unit><access>". The unit is 'B', 'K', 'M' or a blank (bytes, as in
// "01*016 e"); the access letter's low three bits are readable (1), erasable (2), writable (4).
// The text comes from outside (a scenario file, a fuzzer), so the parser is bounded: it reads
// only inside the view and reports the first fault with its offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::uint8_t kAccessReadable = 0x1;
inline constexpr std::uint8_t kAccessErasable = 0x2;
inline constexpr std::uint8_t kAccessWritable = 0x4;

struct Sector {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::uint8_t access = 0;

    bool readable() const { return (access & kAccessReadable) != 0; }
    bool erasable() const { return (access & kAccessErasable) != 0; }
    bool writable() const { return (access & kAccessWritable) != 0; }
    friend bool operator==(const Sector&, const Sector&) = default;
};

// COUNT sectors of SIZE bytes each, back to back from address. Kept as a run rather than
// expanded, so that "65535*1B" costs no more than "1*64K".
struct SectorGroup {
    std::uint32_t address = 0;
    std::uint32_t count = 0;
    std::uint32_t size = 0;
    std::uint8_t access = 0;

    std::uint64_t end() const { return std::uint64_t{address} + std::uint64_t{count} * size; }
    friend bool operator==(const SectorGroup&, const SectorGroup&) = default;
};

struct MemoryLayout {
    std::string name;                 // between '@' and the first '/', blanks kept
    std::vector<SectorGroup> groups;  // in text order; each address block starts a new run

    std::optional<Sector> sectorAt(std::uint32_t address) const;
    std::uint64_t totalSize() const;
};

struct LayoutError {
    std::size_t offset = 0;  // index into the text where parsing stopped
    std::string message;
};

struct LayoutParseResult {
    std::optional<MemoryLayout> layout;
    LayoutError error;  // meaningful only when layout is empty

    bool ok() const { return layout.has_value(); }
};

LayoutParseResult parseLayout(std::string_view text);

// The sector that holds address among the runs, if any.
std::optional<Sector> findSector(const std::vector<SectorGroup>& groups, std::uint32_t address);

}  // namespace sim
