#include "host/image/image_bytes.h"

#include <cstdio>

namespace host::image {

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out;
}

std::string ImageBytes::where(std::uint64_t offset) const {
    return (space_ == Space::File ? "file offset " : "RVA ") + hex(offset);
}

void ImageBytes::require(std::uint64_t offset, std::uint64_t length, std::string_view field) const {
    if (offset <= bytes_.size() && length <= bytes_.size() - offset) {
        return;
    }
    if (space_ == Space::File) {
        throw ImageFormatError("the file ends (" + hex(bytes_.size()) + " bytes) before " +
                               std::string(field) + " at " + where(offset));
    }
    throw ImageFormatError(std::string(field) + " at " + where(offset) +
                           " lies outside the image (" + hex(bytes_.size()) + " bytes)");
}

std::uint64_t ImageBytes::little(std::uint64_t offset, unsigned width, std::string_view field) const {
    require(offset, width, field);
    std::uint64_t value = 0;
    for (unsigned i = width; i-- > 0;) {
        value = value << 8 | bytes_[offset + i];
    }
    return value;
}

std::uint8_t ImageBytes::u8(std::uint64_t offset, std::string_view field) const {
    return static_cast<std::uint8_t>(little(offset, 1, field));
}

std::uint16_t ImageBytes::u16(std::uint64_t offset, std::string_view field) const {
    return static_cast<std::uint16_t>(little(offset, 2, field));
}

std::uint32_t ImageBytes::u32(std::uint64_t offset, std::string_view field) const {
    return static_cast<std::uint32_t>(little(offset, 4, field));
}

std::uint64_t ImageBytes::u64(std::uint64_t offset, std::string_view field) const {
    return little(offset, 8, field);
}

std::string ImageBytes::name(std::uint64_t offset, std::string_view field) const {
    std::string text;
    for (std::uint64_t at = offset;; ++at) {
        const std::uint8_t byte = u8(at, field);
        if (byte == 0) {
            break;
        }
        if (byte < 0x21 || byte > 0x7e) {
            throw ImageFormatError(std::string(field) + " at " + where(offset) + " holds byte " +
                                   hex(byte) + ", which no name has");
        }
        if (text.size() == kMaxNameLength) {
            throw ImageFormatError(std::string(field) + " at " + where(offset) +
                                   " does not end within " + std::to_string(kMaxNameLength) +
                                   " characters");
        }
        text += static_cast<char>(byte);
    }
    if (text.empty()) {
        throw ImageFormatError(std::string(field) + " at " + where(offset) + " is empty");
    }
    return text;
}

void storeU64(std::span<std::uint8_t> image, std::uint64_t offset, std::uint64_t value) {
    ImageBytes(image, ImageBytes::Space::Image).require(offset, 8, "a bound address");
    for (unsigned i = 0; i < 8; ++i) {
        image[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace host::image
