// libFuzzer target for the bootloader model's DfuSe layout-string parser (see docs/fuzzing.md).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sim/layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const sim::LayoutParseResult result = sim::parseLayout(text);
    if (!result.ok()) {
        if (result.error.offset > size || result.error.message.empty()) std::abort();
        return 0;
    }
    // Whatever parses must describe sectors that fit the 32-bit address space.
    for (const sim::SectorGroup& group : result.layout->groups) {
        if (group.count == 0 || group.size == 0 || group.end() > (std::uint64_t{1} << 32)) std::abort();
        const auto first = result.layout->sectorAt(group.address);
        if (!first || first->address > group.address) std::abort();
    }
    return 0;
}
