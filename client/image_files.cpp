// Image files by extension: reading, parsing, writing.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "client/dfuse_file.h"
#include "client/intel_hex.h"
#include "client/raw_binary.h"

namespace client {

namespace {

std::vector<std::uint8_t> readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ImageError(path.string() + ": cannot be opened");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const std::filesystem::path& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) throw ImageError(path.string() + ": cannot be written");
}

}  // namespace

std::uint64_t FirmwareImage::totalBytes() const {
    std::uint64_t total = 0;
    for (const ImageElement& element : elements) total += element.data.size();
    return total;
}

std::string atByte(const std::string& name, std::size_t offset, const std::string& what) {
    char where[32];
    std::snprintf(where, sizeof(where), "byte 0x%zx", offset);
    return name + ": " + where + ": " + what;
}

std::string atLine(const std::string& name, std::size_t line, const std::string& what) {
    return name + ": line " + std::to_string(line) + ": " + what;
}

ImageFormat imageFormatOf(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".dfu") return ImageFormat::DfuSe;
    if (extension == ".hex" || extension == ".ihex") return ImageFormat::IntelHex;
    if (extension == ".bin") return ImageFormat::Binary;
    throw ImageError(path.string() + ": unknown image format (expected .dfu, .hex or .bin)");
}

FirmwareImage loadImage(const std::filesystem::path& path, std::optional<std::uint32_t> address) {
    const ImageFormat format = imageFormatOf(path);
    const std::string name = path.string();
    if (format != ImageFormat::Binary && address) {
        throw ImageError(name + ": the file carries its own addresses; --address is for .bin files");
    }
    if (format == ImageFormat::Binary && !address) {
        throw ImageError(name + ": a raw binary needs the address it goes to (--address)");
    }
    const std::vector<std::uint8_t> bytes = readAll(path);
    switch (format) {
        case ImageFormat::DfuSe:
            return parseDfuSe(bytes, name);
        case ImageFormat::IntelHex:
            return parseIntelHex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), name);
        case ImageFormat::Binary:
            break;
    }
    return parseRawBinary(bytes, *address, name);
}

void saveImage(const std::filesystem::path& path, const FirmwareImage& image) {
    switch (imageFormatOf(path)) {
        case ImageFormat::DfuSe: {
            const auto bytes = writeDfuSe(image);
            return writeAll(path, bytes.data(), bytes.size());
        }
        case ImageFormat::IntelHex: {
            const std::string text = writeIntelHex(image);
            return writeAll(path, text.data(), text.size());
        }
        case ImageFormat::Binary:
            break;
    }
    const auto bytes = writeRawBinary(image, path.string());
    writeAll(path, bytes.data(), bytes.size());
}

}  // namespace client
