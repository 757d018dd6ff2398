#include "client/raw_binary.h"

namespace client {

FirmwareImage parseRawBinary(std::span<const std::uint8_t> file, std::uint32_t address, const std::string& name) {
    if (file.empty()) throw ImageError(atByte(name, 0, "the file is empty"));
    if (std::uint64_t{address} + file.size() > 0x100000000ull) {
        throw ImageError(atByte(name, 0, "the file runs past the 32-bit address space from its address"));
    }
    FirmwareImage image;
    image.elements.push_back(ImageElement{0, address, {file.begin(), file.end()}});
    return image;
}

std::vector<std::uint8_t> writeRawBinary(const FirmwareImage& image, const std::string& name) {
    if (image.elements.size() != 1) {
        throw ImageError(name + ": a raw binary holds one run of bytes; this image has " +
                         std::to_string(image.elements.size()));
    }
    return image.elements.front().data;
}

}  // namespace client
