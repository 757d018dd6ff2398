// The headers of a PE32+ driver image for AMD64, read from its file and checked before anything
// is mapped: what the loader needs from them, each value already known to be consistent with
// the file and the image, so mapping, relocation and import binding can rely on them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace host::image {

inline constexpr std::uint32_t kPageSize = 0x1000;
// No driver comes close; a larger image is a damaged header, refused before memory is reserved.
inline constexpr std::uint32_t kMaxImageSize = 256u << 20;
// The most sections the system's own loader accepts.
inline constexpr unsigned kMaxSections = 96;

struct DataDirectory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

struct Section {
    std::string name;  // as printable() shows it
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;  // what it occupies in the image (its raw size when it gives none)
    std::uint32_t fileOffset = 0;
    std::uint32_t fileSize = 0;  // bytes copied from the file: the rest of virtualSize is zero
    bool readable = false;
    bool writable = false;
    bool executable = false;
};

struct PeImage {
    std::uint64_t preferredBase = 0;
    std::uint32_t sizeOfImage = 0;
    std::uint32_t sizeOfHeaders = 0;
    std::uint32_t entryPoint = 0;  // RVA, inside an executable section
    std::vector<Section> sections;  // ascending, no two sharing a page
    DataDirectory imports;          // each inside the image and backed by the file, or empty
    DataDirectory relocations;
};

// Throws ImageFormatError naming the first field found wrong, its value and its file offset.
PeImage parsePeImage(std::span<const std::uint8_t> file);

}  // namespace host::image
