// libFuzzer target for driver image files (dfuhost --driver, see docs/fuzzing.md): any bytes are
// either loaded or refused with one printable sentence that names the file; a loaded image has
// its sections inside it, in order, and its entry point in an executable one. The image's code
// never runs here.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz/fuzz_support.h"
#include "host/image/export_tables.h"
#include "host/image/framework_loader.h"
#include "host/image/image_loader.h"

namespace {

__attribute__((ms_abi)) void neverCalled() { ostdfu_fuzz::fail("a loaded image ran"); }

const host::image::ExportEntry kKernel[] = {{"IoCreateDevice", &neverCalled}, {"KeBugCheckEx", &neverCalled}};
const host::image::ExportEntry kHal[] = {{"KfRaiseIrql", &neverCalled}};

const host::image::ExportTables& exports() {
    static const host::image::ExportModule modules[] = {
        {"ntoskrnl.exe", kKernel}, {"HAL.dll", kHal}, host::image::FrameworkLoader::exports()};
    static const host::image::ExportTables tables(modules);
    return tables;
}

void checkLoaded(const host::image::LoadedImage& image) {
    using ostdfu_fuzz::check;
    const std::uintptr_t end = image.base() + image.size();
    const auto entry = reinterpret_cast<std::uintptr_t>(image.entryPoint());
    bool entryInCode = false;
    std::uintptr_t previousEnd = image.base();
    for (const host::image::LoadedSection& s : image.sections()) {
        check(s.address >= previousEnd && s.address + s.size <= end, "sections inside the image, in order");
        check(!(s.writable && s.executable), "no section writable and executable");
        entryInCode = entryInCode || (s.executable && entry >= s.address && entry < s.address + s.size);
        previousEnd = s.address + s.size;
    }
    check(entryInCode, "the entry point in an executable section");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using ostdfu_fuzz::check;
    const host::image::ImageLoadResult result = host::image::loadImage({data, size}, "fuzz.sys", exports());
    check((result.image == nullptr) != result.error.empty(), "either an image or an error");
    if (result.image != nullptr) {
        checkLoaded(*result.image);
        return 0;
    }
    check(result.error.rfind("fuzz.sys: ", 0) == 0 && result.error.size() > 10, "the error names the file");
    for (const char c : result.error) {
        check(c >= 0x20 && c < 0x7f, "the error is printable");
    }
    return 0;
}
