// The driver image this build ships (package/image), loaded against tables of exactly the imports
// its own check allows (package/image/allowed_imports.txt): a real link's sections, relocations
// and imports, not only the small fixtures'. Nothing of it runs here.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/image/export_tables.h"
#include "host/image/framework_loader.h"
#include "host/image/image_loader.h"

namespace {

using host::image::ExportEntry;
using host::image::ExportModule;

__attribute__((ms_abi)) void neverCalled() { ADD_FAILURE() << "the shipped image ran"; }

TEST(ShippedImage, LoadsWithEveryImportItIsAllowedBound) {
    if (std::string(OSTDFU_DRIVER_IMAGE).empty()) {
        GTEST_SKIP() << OSTDFU_DRIVER_IMAGE_SKIPPED;
    }
    // "module function" lines; WDFLDR.SYS's two come from the framework loader itself.
    std::ifstream allowed(std::string(OSTDFU_SOURCE_DIR) + "/package/image/allowed_imports.txt");
    std::map<std::string, std::vector<std::string>> names;
    std::string line;
    while (std::getline(allowed, line)) {
        std::istringstream fields(line);
        std::string module;
        std::string function;
        if (line.empty() || line[0] == '#' || !(fields >> module >> function) || module == "WDFLDR.SYS") {
            continue;
        }
        names[module].push_back(function);
    }
    ASSERT_FALSE(names.empty());
    std::map<std::string, std::vector<ExportEntry>> entries;
    std::vector<ExportModule> modules = {host::image::FrameworkLoader::exports()};
    for (const auto& [module, functions] : names) {
        for (const std::string& function : functions) {
            entries[module].push_back({function, &neverCalled});
        }
        modules.push_back({module, entries[module]});
    }

    const host::image::ImageLoadResult result =
        host::image::loadImageFile(OSTDFU_DRIVER_IMAGE, host::image::ExportTables(modules));
    ASSERT_NE(result.image, nullptr) << result.error;
    const host::image::LoadedImage& image = *result.image;
    EXPECT_NE(image.base(), image.preferredBase());
    const auto entry = reinterpret_cast<std::uintptr_t>(image.entryPoint());
    for (const host::image::LoadedSection& section : image.sections()) {
        EXPECT_EQ(section.executable, section.name == ".text") << section.name;
        EXPECT_FALSE(section.writable && section.executable) << section.name;
        if (section.executable) {
            EXPECT_TRUE(entry >= section.address && entry < section.address + section.size);
        }
    }
}

}  // namespace
