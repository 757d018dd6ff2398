// libFuzzer target for the updater's DfuSe file parser (see docs/fuzzing.md).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "client/dfuse_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const client::FirmwareImage image = client::parseDfuSe(std::span(data, size), "fuzz.dfu");
        // Whatever parses holds no more bytes than the file, and writes back to a file that
        // parses to the same elements.
        if (image.totalBytes() > size) std::abort();
        const client::FirmwareImage again = client::parseDfuSe(client::writeDfuSe(image), "again.dfu");
        if (again.elements.size() != image.elements.size()) std::abort();
    } catch (const client::ImageError& e) {
        if (std::string_view(e.what()).rfind("fuzz.dfu: ", 0) != 0) std::abort();
    }
    return 0;
}
