// libFuzzer target for the updater's layout-string parser (see docs/fuzzing.md): the strings
// come from the device, through the driver.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/memory_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto layout = client::parseMemoryLayout(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!layout) return 0;
    for (std::size_t i = 0; i < layout->sectors.size(); ++i) {
        const client::Sector& sector = layout->sectors[i];
        if (sector.size == 0 || sector.end() > (std::uint64_t{1} << 32)) std::abort();
        if (i > 0 && sector.address < layout->sectors[i - 1].end()) std::abort();
        if (layout->sectorAt(sector.address) != &sector) std::abort();
    }
    return 0;
}
