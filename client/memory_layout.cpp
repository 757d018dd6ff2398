#include "client/memory_layout.h"

#include <algorithm>

namespace client {

namespace {

// No STM32 has more sectors than this in one area; it bounds what a hostile string can make us
// allocate.
constexpr std::uint64_t kMaxSectors = 65536;

bool takeNumber(std::string_view& text, int base, std::uint64_t& value) {
    std::size_t used = 0;
    value = 0;
    while (used < text.size()) {
        const char c = text[used];
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) break;
        value = value * base + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFull) return false;
        ++used;
    }
    text.remove_prefix(used);
    return used > 0;
}

// "NN*SSSUa": appends the run's sectors from `address` on.
bool takeRun(std::string_view& text, std::uint64_t& address, std::vector<Sector>& sectors) {
    std::uint64_t count = 0;
    std::uint64_t size = 0;
    if (!takeNumber(text, 10, count) || text.empty() || text[0] != '*') return false;
    text.remove_prefix(1);
    if (!takeNumber(text, 10, size) || text.size() < 2) return false;
    switch (text[0]) {
        case 'M': size *= 1024; [[fallthrough]];
        case 'K': size *= 1024; [[fallthrough]];
        case 'B':
        case ' ': break;
        default: return false;
    }
    const char letter = text[1];
    if (letter < 'a' || letter > 'g') return false;
    text.remove_prefix(2);
    if (count == 0 || size == 0 || size > 0xFFFFFFFFull || sectors.size() + count > kMaxSectors ||
        address + count * size > 0x100000000ull) {
        return false;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        sectors.push_back(Sector{static_cast<std::uint32_t>(address), static_cast<std::uint32_t>(size),
                                 static_cast<std::uint8_t>(letter - 'a' + 1)});
        address += size;
    }
    return true;
}

}  // namespace

const Sector* MemoryLayout::sectorAt(std::uint32_t address) const {
    const auto it = std::upper_bound(sectors.begin(), sectors.end(), address,
                                     [](std::uint32_t a, const Sector& s) { return a < s.address; });
    if (it == sectors.begin()) return nullptr;
    const Sector& sector = *(it - 1);
    return address < sector.end() ? &sector : nullptr;
}

std::optional<MemoryLayout> parseMemoryLayout(std::string_view text) {
    if (text.empty() || text[0] != '@') return std::nullopt;
    std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    MemoryLayout layout;
    layout.name = std::string(text.substr(1, slash - 1));
    while (!layout.name.empty() && layout.name.back() == ' ') layout.name.pop_back();
    text.remove_prefix(slash + 1);
    while (!text.empty()) {
        std::uint64_t address = 0;
        // As the driver reads it: "0X" gives the driver no base address, so no sectors here either.
        if (text.substr(0, 2) != "0x") return std::nullopt;
        text.remove_prefix(2);
        if (!takeNumber(text, 16, address) || text.empty() || text[0] != '/') return std::nullopt;
        text.remove_prefix(1);
        do {
            if (!text.empty() && text[0] == ',') text.remove_prefix(1);
            if (!takeRun(text, address, layout.sectors)) return std::nullopt;
        } while (!text.empty() && text[0] == ',');
        if (!text.empty()) {
            if (text[0] != '/') return std::nullopt;
            text.remove_prefix(1);
        }
    }
    std::sort(layout.sectors.begin(), layout.sectors.end(),
              [](const Sector& a, const Sector& b) { return a.address < b.address; });
    for (std::size_t i = 1; i < layout.sectors.size(); ++i) {
        if (layout.sectors[i].address < layout.sectors[i - 1].end()) return std::nullopt;
    }
    if (layout.sectors.empty()) return std::nullopt;
    return layout;
}

}  // namespace client
