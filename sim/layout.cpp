#include "sim/layout.h"

#include <limits>

namespace sim {

namespace {

constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;
// More digits than this cannot be a 32-bit count or size; stopping early keeps the arithmetic
// below far from overflow whatever the input.
constexpr std::size_t kMaxDecimalDigits = 10;
constexpr std::size_t kMaxHexDigits = 8;

class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }
    std::size_t pos() const { return pos_; }
    void advance() {
        if (!atEnd()) ++pos_;
    }
    bool accept(char c) {
        if (atEnd() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    std::string_view rest() const { return text_.substr(pos_); }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

LayoutParseResult fail(const Cursor& cursor, std::string message) {
    LayoutParseResult result;
    result.error = LayoutError{cursor.pos(), std::move(message)};
    return result;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads 1..kMaxDecimalDigits digits; anything longer is refused rather than wrapped.
std::optional<std::uint64_t> readDecimal(Cursor& cursor) {
    std::uint64_t value = 0;
    std::size_t digits = 0;
    while (isDigit(cursor.peek())) {
        if (++digits > kMaxDecimalDigits) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(cursor.peek() - '0');
        cursor.advance();
    }
    if (digits == 0) return std::nullopt;
    return value;
}

std::optional<std::uint32_t> readHexAddress(Cursor& cursor) {
    // Lower-case only: the driver looks for "0x" and gives no base address for "0X", and the
    // model must not accept a device the driver cannot use.
    if (!cursor.accept('0') || !cursor.accept('x')) return std::nullopt;
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (int v = hexValue(cursor.peek()); v >= 0; v = hexValue(cursor.peek())) {
        if (++digits > kMaxHexDigits) return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(v);
        cursor.advance();
    }
    if (digits == 0) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> unitMultiplier(char unit) {
    switch (unit) {
    case ' ':  // "01*016 e": real ROMs write a blank for plain bytes
    case 'B':
        return 1;
    case 'K':
        return 1024;
    case 'M':
        return 1024 * 1024;
    default:
        return std::nullopt;
    }
}

}  // namespace

LayoutParseResult parseLayout(std::string_view text) {
    Cursor cursor(text);
    if (!cursor.accept('@')) return fail(cursor, "layout must start with '@'");

    MemoryLayout layout;
    const std::size_t nameStart = cursor.pos();
    while (!cursor.atEnd() && cursor.peek() != '/') cursor.advance();
    layout.name = std::string(text.substr(nameStart, cursor.pos() - nameStart));
    if (cursor.atEnd()) return fail(cursor, "no '/' after the name");

    // One or more "/0xADDRESS/groups" blocks.
    while (cursor.accept('/')) {
        const auto address = readHexAddress(cursor);
        if (!address) return fail(cursor, "expected a hexadecimal address of 1 to 8 digits after \"0x\"");
        if (!cursor.accept('/')) return fail(cursor, "expected '/' after the address");

        std::uint64_t next = *address;
        do {
            const auto count = readDecimal(cursor);
            if (!count || *count == 0 || *count > std::numeric_limits<std::uint32_t>::max())
                return fail(cursor, "expected a sector count from 1 to 4294967295");
            if (!cursor.accept('*')) return fail(cursor, "expected '*' after the sector count");
            const auto size = readDecimal(cursor);
            if (!size || *size == 0) return fail(cursor, "expected a nonzero sector size");
            const auto multiplier = unitMultiplier(cursor.peek());
            if (!multiplier) return fail(cursor, "expected a unit: 'B', 'K', 'M' or a blank");
            cursor.advance();
            const char letter = cursor.peek();
            if (letter < 'a' || letter > 'g') return fail(cursor, "expected an access letter 'a' to 'g'");
            cursor.advance();

            // size <= 10 digits and multiplier <= 2^20 keep every product below 2^64.
            const std::uint64_t sectorBytes = *size * *multiplier;
            if (sectorBytes >= kAddressSpace) return fail(cursor, "sector size exceeds the 32-bit address space");
            const std::uint64_t groupBytes = *count * sectorBytes;
            if (groupBytes > kAddressSpace - next) return fail(cursor, "sectors run past the 32-bit address space");

            layout.groups.push_back(SectorGroup{static_cast<std::uint32_t>(next), static_cast<std::uint32_t>(*count),
                                                static_cast<std::uint32_t>(sectorBytes),
                                                static_cast<std::uint8_t>(letter & 0x07)});
            next += groupBytes;
        } while (cursor.accept(','));
    }

    if (!cursor.atEnd()) return fail(cursor, "unexpected text after the sector list");
    LayoutParseResult result;
    result.layout = std::move(layout);
    return result;
}

std::optional<Sector> findSector(const std::vector<SectorGroup>& groups, std::uint32_t address) {
    for (const SectorGroup& group : groups) {
        if (address < group.address || address >= group.end()) continue;
        const std::uint32_t index = (address - group.address) / group.size;
        return Sector{group.address + index * group.size, group.size, group.access};
    }
    return std::nullopt;
}

std::optional<Sector> MemoryLayout::sectorAt(std::uint32_t address) const { return findSector(groups, address); }

std::uint64_t MemoryLayout::totalSize() const {
    std::uint64_t total = 0;
    for (const SectorGroup& group : groups) total += group.end() - group.address;
    return total;
}

}  // namespace sim
