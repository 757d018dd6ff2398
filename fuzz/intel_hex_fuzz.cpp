// libFuzzer target for the updater's Intel HEX parser (see docs/fuzzing.md).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/intel_hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const client::FirmwareImage image = client::parseIntelHex(text, "fuzz.hex");
        // Elements are sorted, apart and inside the address space; they survive a round trip.
        for (std::size_t i = 0; i < image.elements.size(); ++i) {
            const auto& element = image.elements[i];
            if (element.data.empty() || element.end() > (std::uint64_t{1} << 32)) std::abort();
            if (i > 0 && element.address <= image.elements[i - 1].end()) std::abort();
        }
        const client::FirmwareImage again = client::parseIntelHex(client::writeIntelHex(image), "again.hex");
        if (again.totalBytes() != image.totalBytes()) std::abort();
    } catch (const client::ImageError& e) {
        if (std::string_view(e.what()).rfind("fuzz.hex: line ", 0) != 0) std::abort();
    }
    return 0;
}
