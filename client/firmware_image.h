// A firmware image as the updater holds it, whatever file it came from: runs of bytes at device
// addresses, each for one alternate setting (memory segment) of the DFU interface, and the
// product the file says it is for, when it says one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace client {

struct ImageElement {
    std::uint8_t alternateSetting = 0;
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;

    std::uint64_t end() const { return std::uint64_t{address} + data.size(); }
};

// The DFU suffix's identification; 0xFFFF in a field matches any device.
struct ImageProduct {
    std::uint16_t idVendor = 0xFFFF;
    std::uint16_t idProduct = 0xFFFF;
    std::uint16_t bcdDevice = 0xFFFF;
};

struct FirmwareImage {
    std::vector<ImageElement> elements;
    std::optional<ImageProduct> product;  // only a DFU file names one
    // Only a DFU file says which alternate setting each element is for; the other formats give
    // addresses alone, and the device's layout decides.
    bool settingsGiven = false;

    std::uint64_t totalBytes() const;
};

// A file that cannot be taken as an image. The message names the file and where in it the
// fault lies (a line or a byte offset).
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ImageFormat { DfuSe, IntelHex, Binary };

// By extension: .dfu, .hex/.ihex, .bin; ImageError naming the file otherwise.
ImageFormat imageFormatOf(const std::filesystem::path& path);

// Reads and parses the file. A raw binary needs the address it goes to; the other formats
// carry their addresses and refuse one given besides.
FirmwareImage loadImage(const std::filesystem::path& path, std::optional<std::uint32_t> address = {});

// Writes the image in the format the extension names. A raw binary holds one element only.
void saveImage(const std::filesystem::path& path, const FirmwareImage& image);

// "name: byte 0x1c: what" / "name: line 4: what".
std::string atByte(const std::string& name, std::size_t offset, const std::string& what);
std::string atLine(const std::string& name, std::size_t line, const std::string& what);

}  // namespace client
