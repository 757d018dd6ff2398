// The DfuSe layout string an alternate setting names itself with,
// "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg": a name, then one or more address
// fields each followed by runs of equal sectors. The access letter a..g carries readable (1),
// erasable (2) and writable (4) in its low bits ('a' + bits - 1).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace client {

inline constexpr std::uint8_t kSectorReadable = 1;
inline constexpr std::uint8_t kSectorErasable = 2;
inline constexpr std::uint8_t kSectorWritable = 4;

struct Sector {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::uint8_t access = 0;

    std::uint64_t end() const { return std::uint64_t{address} + size; }
};

struct MemoryLayout {
    std::string name;  // without its trailing blanks
    std::vector<Sector> sectors;  // in address order

    // The sector that holds the address, if any.
    const Sector* sectorAt(std::uint32_t address) const;
};

// nullopt for a string that does not follow the form, or one whose sectors would run past
// 4 GiB or number more than a device could have.
std::optional<MemoryLayout> parseMemoryLayout(std::string_view text);

}  // namespace client
