#include "client/intel_hex.h"

#include <algorithm>
#include <cstdio>

namespace client {

namespace {

struct Chunk {
    std::uint32_t address;
    std::size_t line;
    std::vector<std::uint8_t> data;
};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One record's bytes after the colon, its length and checksum checked.
std::vector<std::uint8_t> recordBytes(std::string_view line, const std::string& name, std::size_t number) {
    if (line.empty() || line[0] != ':') throw ImageError(atLine(name, number, "a record must start with ':'"));
    const std::string_view digits = line.substr(1);
    if (digits.size() % 2 != 0 || digits.size() < 10) {
        throw ImageError(atLine(name, number, "record too short or of odd length"));
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int high = hexDigit(digits[i]);
        const int low = hexDigit(digits[i + 1]);
        if (high < 0 || low < 0) throw ImageError(atLine(name, number, "not a hexadecimal digit"));
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    if (bytes.size() != std::size_t{bytes[0]} + 5) {
        throw ImageError(atLine(name, number, "byte count " + std::to_string(bytes[0]) +
                                                  " does not match the record's length"));
    }
    std::uint8_t sum = 0;
    for (const std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
    if (sum != 0) throw ImageError(atLine(name, number, "checksum mismatch"));
    return bytes;
}

// Sorted chunks become elements; adjacent ones join, overlapping ones are refused.
std::vector<ImageElement> joinChunks(std::vector<Chunk> chunks, const std::string& name) {
    std::stable_sort(chunks.begin(), chunks.end(),
                     [](const Chunk& a, const Chunk& b) { return a.address < b.address; });
    std::vector<ImageElement> elements;
    for (Chunk& chunk : chunks) {
        if (!elements.empty()) {
            ImageElement& last = elements.back();
            if (chunk.address < last.end()) {
                char text[80];
                std::snprintf(text, sizeof(text), "data at 0x%08x overlaps earlier data", chunk.address);
                throw ImageError(atLine(name, chunk.line, text));
            }
            if (chunk.address == last.end()) {
                last.data.insert(last.data.end(), chunk.data.begin(), chunk.data.end());
                continue;
            }
        }
        elements.push_back(ImageElement{0, chunk.address, std::move(chunk.data)});
    }
    return elements;
}

void putRecord(std::string& out, std::uint8_t type, std::uint16_t offset, const std::uint8_t* data,
               std::size_t count) {
    std::uint8_t sum = static_cast<std::uint8_t>(count + (offset >> 8) + offset + type);
    char text[16];
    std::snprintf(text, sizeof(text), ":%02X%04X%02X", static_cast<unsigned>(count), offset, type);
    out += text;
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(text, sizeof(text), "%02X", data[i]);
        out += text;
        sum = static_cast<std::uint8_t>(sum + data[i]);
    }
    std::snprintf(text, sizeof(text), "%02X\n", static_cast<std::uint8_t>(-sum));
    out += text;
}

}  // namespace

FirmwareImage parseIntelHex(std::string_view text, const std::string& name) {
    std::vector<Chunk> chunks;
    std::uint32_t base = 0;
    bool ended = false;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t cut = text.find('\n');
        std::string_view line = text.substr(0, cut);
        text = cut == std::string_view::npos ? std::string_view{} : text.substr(cut + 1);
        ++number;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        if (line.empty()) continue;
        if (ended) throw ImageError(atLine(name, number, "record after the end-of-file record"));
        const std::vector<std::uint8_t> bytes = recordBytes(line, name, number);
        const std::size_t count = bytes[0];
        const auto offset = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
        const std::uint8_t type = bytes[3];
        const std::uint8_t* data = bytes.data() + 4;
        const auto u16 = [&] { return static_cast<std::uint32_t>(data[0] << 8 | data[1]); };
        switch (type) {
            case 0x00: {
                const std::uint64_t address = std::uint64_t{base} + offset;
                if (address + count > 0x100000000ull) {
                    throw ImageError(atLine(name, number, "data runs past the 32-bit address space"));
                }
                if (count > 0) {
                    chunks.push_back({static_cast<std::uint32_t>(address), number, {data, data + count}});
                }
                break;
            }
            case 0x01:
                if (count != 0) throw ImageError(atLine(name, number, "end-of-file record carries data"));
                ended = true;
                break;
            case 0x02:
            case 0x04:
                if (count != 2) throw ImageError(atLine(name, number, "address record needs 2 data bytes"));
                base = type == 0x02 ? u16() << 4 : u16() << 16;
                break;
            case 0x03:
            case 0x05:
                if (count != 4) throw ImageError(atLine(name, number, "start address record needs 4 data bytes"));
                break;
            default:
                throw ImageError(atLine(name, number, "unknown record type " + std::to_string(type)));
        }
    }
    if (!ended) throw ImageError(atLine(name, number, "no end-of-file record"));
    FirmwareImage image;
    image.elements = joinChunks(std::move(chunks), name);
    return image;
}

std::string writeIntelHex(const FirmwareImage& image) {
    std::string out;
    std::uint32_t upper = 0;
    bool upperWritten = false;
    for (const ImageElement& element : image.elements) {
        std::size_t done = 0;
        while (done < element.data.size()) {
            const std::uint32_t address = element.address + static_cast<std::uint32_t>(done);
            if (!upperWritten || address >> 16 != upper) {
                upper = address >> 16;
                const std::uint8_t high[2] = {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)};
                putRecord(out, 0x04, 0, high, 2);
                upperWritten = true;
            }
            // A record stays inside its 64 KiB page, so the offset never wraps.
            const std::size_t room = 0x10000 - (address & 0xFFFF);
            const std::size_t count = std::min({std::size_t{16}, element.data.size() - done, room});
            putRecord(out, 0x00, static_cast<std::uint16_t>(address), element.data.data() + done, count);
            done += count;
        }
    }
    putRecord(out, 0x01, 0, nullptr, 0);
    return out;
}

}  // namespace client
