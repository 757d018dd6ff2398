#include "host/image/relocations.h"

#include <array>
#include <string>

#include "host/image/image_bytes.h"

namespace host::image {

namespace {

constexpr unsigned kAbsolute = 0;
constexpr unsigned kDir64 = 10;
constexpr std::uint32_t kBlockHeaderSize = 8;

// The kinds the format defines (some shared by several processors), for the refusal's text.
constexpr std::array<const char*, 11> kKindNames = {
    "ABSOLUTE", "HIGH", "LOW", "HIGHLOW", "HIGHADJ", "MIPS_JMPADDR or ARM_MOV32", "reserved",
    "THUMB_MOV32", "RISCV_LOW12S", "MIPS_JMPADDR16", "DIR64"};

std::string kindName(unsigned kind) {
    return std::to_string(kind) + " (" + (kind < kKindNames.size() ? kKindNames[kind] : "undefined") + ")";
}

}  // namespace

void applyRelocations(std::span<std::uint8_t> image, DataDirectory directory, std::uint64_t delta) {
    const ImageBytes bytes(image, ImageBytes::Space::Image);
    const std::uint64_t end = std::uint64_t{directory.rva} + directory.size;
    std::uint64_t block = directory.rva;
    while (block < end) {
        if (end - block < kBlockHeaderSize) {
            throw ImageFormatError("the base relocation directory ends inside the block header at RVA " +
                                   hex(block));
        }
        const std::uint32_t page = bytes.u32(block, "a base relocation block's page");
        const std::uint32_t blockSize = bytes.u32(block + 4, "a base relocation block's size");
        if (blockSize < kBlockHeaderSize || blockSize % 2 != 0 || blockSize > end - block) {
            throw ImageFormatError("the base relocation block at RVA " + hex(block) + " gives its size as " +
                                   hex(blockSize) + ": a block holds its 8-byte header and 2-byte entries, "
                                   "within the directory's " + hex(end - block) + " bytes left");
        }
        for (std::uint64_t at = block + kBlockHeaderSize; at < block + blockSize; at += 2) {
            const std::uint16_t entry = bytes.u16(at, "a base relocation");
            const unsigned kind = entry >> 12;
            const std::uint64_t target = std::uint64_t{page} + (entry & 0x0FFF);
            if (kind == kAbsolute) {
                continue;
            }
            if (kind != kDir64) {
                throw ImageFormatError("the base relocation at RVA " + hex(at) + " (of RVA " + hex(target) +
                                       ") is of kind " + kindName(kind) +
                                       "; a PE32+ image for AMD64 has only DIR64 (10) and ABSOLUTE (0)");
            }
            const std::uint64_t address = bytes.u64(target, "the address a DIR64 relocation moves");
            storeU64(image, target, address + delta);
        }
        block += blockSize;
    }
}

}  // namespace host::image
