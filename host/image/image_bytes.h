// Little-endian fields of a driver image, read with a bounds check each: from the file as given,
// or from the image as mapped. A read that would leave its bytes throws an ImageFormatError that
// names the field and where it was looked for, so the parsers need no checks of their own before
// reading and cannot read out of range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace host::image {

// What is wrong with an image, as a sentence without the file's name (the loader adds it).
class ImageFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "0x1c78": offsets, addresses and raw field values in messages.
std::string hex(std::uint64_t value);

// A byte as it may be shown to a user: printable ASCII as itself, anything else as \xNN, so a
// name read from a damaged image cannot put control characters on a terminal.
std::string printable(std::string_view text);

class ImageBytes {
public:
    enum class Space { File, Image };

    ImageBytes(std::span<const std::uint8_t> bytes, Space space) : bytes_(bytes), space_(space) {}

    std::size_t size() const { return bytes_.size(); }

    std::uint8_t u8(std::uint64_t offset, std::string_view field) const;
    std::uint16_t u16(std::uint64_t offset, std::string_view field) const;
    std::uint32_t u32(std::uint64_t offset, std::string_view field) const;
    std::uint64_t u64(std::uint64_t offset, std::string_view field) const;

    // A NUL-terminated name of printable ASCII (an import's module or function), at most
    // kMaxNameLength characters; empty, unterminated or unprintable names are refused.
    static constexpr std::size_t kMaxNameLength = 512;
    std::string name(std::uint64_t offset, std::string_view field) const;

    // Throws unless [offset, offset + length) lies inside the bytes.
    void require(std::uint64_t offset, std::uint64_t length, std::string_view field) const;

    // "file offset 0x3c" or "RVA 0x2000".
    std::string where(std::uint64_t offset) const;

private:
    std::uint64_t little(std::uint64_t offset, unsigned width, std::string_view field) const;

    std::span<const std::uint8_t> bytes_;
    Space space_;
};

// Writes a 64-bit little-endian value into the mapped image (a relocated address, a bound
// import); the offset must have been read as a field first, which checked it.
void storeU64(std::span<std::uint8_t> image, std::uint64_t offset, std::uint64_t value);

}  // namespace host::image
