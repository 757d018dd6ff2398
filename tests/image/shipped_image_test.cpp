// The machine's exports against the driver image this build ships (package/image): they are
// exactly the imports the image's own check allows (package/image/allowed_imports.txt), and the
// real image, with its link's sections, relocations and imports, loads against them.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "host/framework/framework.h"
#include "host/image/framework_loader.h"
#include "host/image/kernel_exports.h"
#include "host/machine.h"
#include "tests/support/file_contents.h"

namespace {

using ModuleFunction = std::pair<std::string, std::string>;

std::set<ModuleFunction> allowedImports() {
    std::ifstream allowed(std::string(OSTDFU_SOURCE_DIR) + "/package/image/allowed_imports.txt");
    std::set<ModuleFunction> names;
    std::string line;
    while (std::getline(allowed, line)) {
        std::istringstream fields(line);
        std::string module;
        std::string function;
        if (!line.empty() && line[0] != '#' && fields >> module >> function) {
            names.insert({module, function});
        }
    }
    return names;
}

TEST(MachineExports, AreExactlyTheImportsTheImageCheckAllows) {
    std::set<ModuleFunction> exported;
    for (const host::image::ExportModule& module : host::image::kernelExportModules()) {
        for (const host::image::ExportEntry& entry : module.entries) {
            exported.insert({std::string(module.name), std::string(entry.name)});
        }
    }
    const host::image::ExportModule loader = host::image::FrameworkLoader::exports();
    for (const host::image::ExportEntry& entry : loader.entries) {
        exported.insert({std::string(loader.name), std::string(entry.name)});
    }
    EXPECT_EQ(exported, allowedImports());
}

// docs/windows.md lists what the machine provides an image; a function added to the machine is
// added to the list.
TEST(MachineExports, TheWindowsPageListsEveryExportAndFrameworkFunction) {
    const std::string page = ostdfu_test::fileContents(OSTDFU_SOURCE_DIR "/docs/windows.md");
    for (const auto& [module, function] : allowedImports()) {
        EXPECT_NE(page.find("`" + function + "`"), std::string::npos) << module << " " << function;
    }
    for (const host::fx::FrameworkFunction& entry : host::fx::frameworkFunctions()) {
        EXPECT_NE(page.find(std::string("`") + entry.name + "`"), std::string::npos) << entry.name;
    }
}

TEST(ShippedImage, LoadsAgainstTheMachinesExports) {
    if (std::string(OSTDFU_DRIVER_IMAGE).empty()) {
        GTEST_SKIP() << OSTDFU_DRIVER_IMAGE_SKIPPED;
    }
    host::Machine machine;
    const host::image::DriverImages::Loaded loaded = machine.driverImages().load(OSTDFU_DRIVER_IMAGE);
    ASSERT_NE(loaded.image, nullptr) << loaded.error;
    const host::image::LoadedImage& image = *loaded.image;
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
