#include "client/dfuse_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "client/crc32.h"

namespace client {

namespace {

constexpr std::size_t kPrefixBytes = 11;
constexpr std::size_t kTargetPrefixBytes = 274;
constexpr std::size_t kTargetNameBytes = 255;
constexpr std::size_t kElementHeaderBytes = 8;
constexpr std::size_t kSuffixBytes = 16;
constexpr std::uint16_t kBcdDfuSe = 0x011A;

// Reads little-endian fields at a cursor and names the offset of whatever does not fit.
class Reader {
public:
    Reader(std::span<const std::uint8_t> bytes, const std::string& name) : bytes_(bytes), name_(name) {}

    std::size_t offset() const { return offset_; }
    std::size_t left() const { return bytes_.size() - offset_; }
    [[noreturn]] void fail(std::size_t at, const std::string& what) const {
        throw ImageError(atByte(name_, at, what));
    }
    void need(std::size_t count, const char* what) const {
        if (left() < count) fail(offset_, std::string(what) + " runs past the end of the image");
    }
    std::uint32_t u8() { return take(1); }
    std::uint32_t u32() { return take(4); }
    std::span<const std::uint8_t> bytes(std::size_t count) {
        auto part = bytes_.subspan(offset_, count);
        offset_ += count;
        return part;
    }

private:
    std::uint32_t take(std::size_t count) {
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < count; ++i) value |= std::uint32_t{bytes_[offset_ + i]} << (8 * i);
        offset_ += count;
        return value;
    }

    std::span<const std::uint8_t> bytes_;
    const std::string& name_;
    std::size_t offset_ = 0;
};

std::uint16_t u16At(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

void checkSuffix(std::span<const std::uint8_t> file, const std::string& name, ImageProduct& product) {
    if (file.size() < kPrefixBytes + kSuffixBytes) {
        throw ImageError(atByte(name, 0, "too short for a DfuSe file (" + std::to_string(file.size()) +
                                             " bytes)"));
    }
    const std::size_t at = file.size() - kSuffixBytes;
    const auto suffix = file.subspan(at);
    if (suffix[8] != 'U' || suffix[9] != 'F' || suffix[10] != 'D') {
        throw ImageError(atByte(name, at + 8, "no DFU suffix (signature \"UFD\" missing)"));
    }
    if (suffix[11] != kSuffixBytes) {
        throw ImageError(atByte(name, at + 11, "DFU suffix length " + std::to_string(suffix[11]) +
                                                   ", expected 16"));
    }
    if (u16At(suffix, 6) != kBcdDfuSe) {
        throw ImageError(atByte(name, at + 6, "bcdDFU is not 0x011A (not a DfuSe file)"));
    }
    const std::uint32_t stored = u16At(suffix, 12) | std::uint32_t{u16At(suffix, 14)} << 16;
    const std::uint32_t computed = dfuSuffixCrc(file.first(file.size() - 4));
    if (stored != computed) {
        char text[96];
        std::snprintf(text, sizeof(text), "CRC-32 mismatch: the suffix says 0x%08x, the file gives 0x%08x",
                      stored, computed);
        throw ImageError(atByte(name, at + 12, text));
    }
    product.bcdDevice = u16At(suffix, 0);
    product.idProduct = u16At(suffix, 2);
    product.idVendor = u16At(suffix, 4);
}

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void putU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

FirmwareImage parseDfuSe(std::span<const std::uint8_t> file, const std::string& name) {
    FirmwareImage image;
    ImageProduct product;
    checkSuffix(file, name, product);
    image.product = product;
    image.settingsGiven = true;

    Reader r(file.first(file.size() - kSuffixBytes), name);
    const auto signature = r.bytes(5);
    if (std::memcmp(signature.data(), "DfuSe", 5) != 0) r.fail(0, "no \"DfuSe\" prefix");
    if (const auto version = r.u8(); version != 1) {
        r.fail(5, "DfuSe version " + std::to_string(version) + ", expected 1");
    }
    // Packers disagree whether the image size counts the suffix (dfu-util's dfuse-pack does):
    // either is the file's.
    const std::uint32_t imageSize = r.u32();
    if (imageSize != file.size() - kSuffixBytes && imageSize != file.size()) {
        r.fail(6, "image size " + std::to_string(imageSize) + " matches neither the file (" +
                      std::to_string(file.size()) + " bytes) nor the file before its suffix (" +
                      std::to_string(file.size() - kSuffixBytes) + " bytes)");
    }
    const std::uint32_t targets = r.u8();
    if (targets == 0) r.fail(10, "no targets");
    for (std::uint32_t t = 0; t < targets; ++t) {
        const std::size_t targetAt = r.offset();
        r.need(kTargetPrefixBytes, "target prefix");
        if (std::memcmp(r.bytes(6).data(), "Target", 6) != 0) r.fail(targetAt, "no \"Target\" signature");
        const auto alternateSetting = static_cast<std::uint8_t>(r.u8());
        r.u32();                     // bTargetNamed
        r.bytes(kTargetNameBytes);  // szTargetName
        const std::uint32_t targetSize = r.u32();
        const std::uint32_t elements = r.u32();
        if (targetSize > r.left()) r.fail(targetAt + 266, "target size runs past the end of the image");
        const std::size_t targetEnd = r.offset() + targetSize;
        for (std::uint32_t e = 0; e < elements; ++e) {
            const std::size_t elementAt = r.offset();
            if (targetEnd - elementAt < kElementHeaderBytes) r.fail(elementAt, "element header runs past its target");
            ImageElement element;
            element.alternateSetting = alternateSetting;
            element.address = r.u32();
            const std::uint32_t size = r.u32();
            if (size > targetEnd - r.offset()) r.fail(elementAt + 4, "element size runs past its target");
            if (std::uint64_t{element.address} + size > 0x100000000ull) {
                r.fail(elementAt, "element runs past the 32-bit address space");
            }
            const auto data = r.bytes(size);
            element.data.assign(data.begin(), data.end());
            image.elements.push_back(std::move(element));
        }
        if (r.offset() != targetEnd) r.fail(r.offset(), "target size does not match its elements");
    }
    if (r.left() != 0) r.fail(r.offset(), "bytes after the last target");
    return image;
}

std::vector<std::uint8_t> writeDfuSe(const FirmwareImage& image) {
    std::vector<std::uint8_t> out = {'D', 'f', 'u', 'S', 'e', 1, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> settings;
    for (const ImageElement& element : image.elements) {
        if (std::find(settings.begin(), settings.end(), element.alternateSetting) == settings.end()) {
            settings.push_back(element.alternateSetting);
        }
    }
    out[10] = static_cast<std::uint8_t>(settings.size());
    for (const std::uint8_t setting : settings) {
        std::vector<std::uint8_t> body;
        std::uint32_t count = 0;
        for (const ImageElement& element : image.elements) {
            if (element.alternateSetting != setting) continue;
            putU32(body, element.address);
            putU32(body, static_cast<std::uint32_t>(element.data.size()));
            body.insert(body.end(), element.data.begin(), element.data.end());
            ++count;
        }
        const std::size_t at = out.size();
        out.resize(at + kTargetPrefixBytes, 0);
        std::memcpy(&out[at], "Target", 6);
        out[at + 6] = setting;
        out.resize(at + 266);
        putU32(out, static_cast<std::uint32_t>(body.size()));
        putU32(out, count);
        out.insert(out.end(), body.begin(), body.end());
    }
    const auto imageSize = static_cast<std::uint32_t>(out.size());
    for (int i = 0; i < 4; ++i) out[6 + i] = static_cast<std::uint8_t>(imageSize >> (8 * i));

    const ImageProduct product = image.product.value_or(ImageProduct{});
    putU16(out, product.bcdDevice);
    putU16(out, product.idProduct);
    putU16(out, product.idVendor);
    putU16(out, kBcdDfuSe);
    out.insert(out.end(), {'U', 'F', 'D', static_cast<std::uint8_t>(kSuffixBytes)});
    putU32(out, dfuSuffixCrc(out));
    return out;
}

}  // namespace client
