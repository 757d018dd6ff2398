// Driver images loaded as the system's loader would: calls into the machine with the Windows
// convention, absolute addresses moved to the base the machine picked, each section's rights as
// the process sees them, the framework bound through WDFLDR.SYS, and every kind of damaged or
// unloadable file refused with a sentence that says what is wrong.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>

#include "host/image/export_tables.h"
#include "host/image/framework_loader.h"
#include "host/image/image_loader.h"
#include "tests/image/image_test_support.h"

namespace {

using host::image::ExportEntry;
using host::image::ExportModule;
using host::image::ExportTables;
using host::image::FrameworkLoader;
using host::image::loadImage;
using host::image::LoadedImage;
using image_test::FakeFramework;
using image_test::fixtureBytes;
using image_test::FixtureTest;
using image_test::get;
using image_test::hex;
using image_test::Layout;
using image_test::put;

constexpr std::uint64_t kPreferredBase = 0x60000000;

struct IoCreateDeviceCall {
    PDRIVER_OBJECT driver;
    ULONG extensionSize;
    PUNICODE_STRING name;
    ULONG type;
    ULONG characteristics;
    BOOLEAN exclusive;
    PDEVICE_OBJECT* device;
};
IoCreateDeviceCall lastCall;

NTAPI NTSTATUS recordIoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize,
                                                      PUNICODE_STRING name, ULONG type, ULONG characteristics,
                                                      BOOLEAN exclusive, PDEVICE_OBJECT* device) {
    lastCall = {driver, extensionSize, name, type, characteristics, exclusive, device};
    return 0x1234;
}
NTAPI void unused() {}

const ExportEntry kKernel[] = {{"IoCreateDevice", &recordIoCreateDevice}};
const ExportEntry kKernelAndBugCheck[] = {{"IoCreateDevice", &recordIoCreateDevice}, {"KeBugCheckEx", &unused}};
const ExportEntry kHal[] = {{"KfRaiseIrql", &unused}, {"KeStallExecutionProcessor", &unused}};

ExportTables kernelOnly() {
    const ExportModule modules[] = {{"NTOSKRNL.EXE", kKernel}};
    return ExportTables(modules);
}

std::unique_ptr<LoadedImage> load(const std::string& fixture, const ExportTables& exports) {
    host::image::ImageLoadResult result = loadImage(fixtureBytes(fixture), fixture, exports);
    EXPECT_EQ(result.error, "");
    return std::move(result.image);
}

using ImageLoaderTest = FixtureTest;

TEST_F(ImageLoaderTest, EntryCallsBackIntoTheMachineWithAllSevenArguments) {
    const std::unique_ptr<LoadedImage> image = load("calls_kernel.sys", kernelOnly());
    ASSERT_NE(image, nullptr);
    int driver = 0;
    UNICODE_STRING path{};
    EXPECT_EQ(image->entryPoint()(reinterpret_cast<PDRIVER_OBJECT>(&driver), &path), 0x1234);
    EXPECT_EQ(lastCall.driver, reinterpret_cast<PDRIVER_OBJECT>(&driver));
    EXPECT_EQ(lastCall.extensionSize, 0x11u);
    EXPECT_EQ(lastCall.name, &path);
    EXPECT_EQ(lastCall.type, 0x22u);
    EXPECT_EQ(lastCall.characteristics, 0x33u);
    EXPECT_EQ(lastCall.exclusive, 1);
    EXPECT_EQ(lastCall.device, reinterpret_cast<PDEVICE_OBJECT*>(&path));
}

// Without base relocations an image runs only where it was linked to; a second copy finds that
// address taken and is refused rather than run where its addresses are wrong.
TEST_F(ImageLoaderTest, AnImageWithoutBaseRelocationsLiesAtItsPreferredBaseOrNowhere) {
    const std::unique_ptr<LoadedImage> first = load("calls_kernel.sys", kernelOnly());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->base(), first->preferredBase());
    const host::image::ImageLoadResult second =
        loadImage(fixtureBytes("calls_kernel.sys"), "again.sys", kernelOnly());
    EXPECT_EQ(second.image, nullptr);
    EXPECT_EQ(
        second.error,
        "again.sys: the image has no base relocations, so it runs only at its preferred base " +
            hex(first->preferredBase()) + ", and this process cannot give it that address (" +
            std::strerror(EEXIST) + ")");
}

TEST_F(ImageLoaderTest, AbsoluteAddressesFollowTheImageToItsBase) {
    const std::unique_ptr<LoadedImage> image = load("relocated_tables.sys", kernelOnly());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->preferredBase(), kPreferredBase);
    EXPECT_NE(image->base(), kPreferredBase);
    // 1000 * (a + b) + 10 * (a * b) + 'A' or 'B', through a function table in .data and a text
    // table in .rdata, both written for the preferred base.
    const struct {
        std::intptr_t a, b;
        NTSTATUS answer;
    } calls[] = {{3, 4, 7000 + 120 + 'B'}, {2, 5, 7000 + 100 + 'A'}, {0, 0, 'A'}};
    for (const auto& c : calls) {
        EXPECT_EQ(image->entryPoint()(reinterpret_cast<PDRIVER_OBJECT>(c.a), reinterpret_cast<PUNICODE_STRING>(c.b)),
                  c.answer);
    }
}

// The rights of the page at address as /proc/self/maps shows them ("r-x"), or "" when unmapped.
std::string rightsAt(std::uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        char rights[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, rights) == 3 && address >= start &&
            address < end) {
            return std::string(rights, 3);
        }
    }
    return "";
}

TEST_F(ImageLoaderTest, EachSectionHasItsRightsAndTheImageGoesWithItsObject) {
    std::unique_ptr<LoadedImage> image = load("relocated_tables.sys", kernelOnly());
    ASSERT_NE(image, nullptr);
    const std::map<std::string, std::string> expected = {
        {".text", "r-x"}, {".data", "rw-"}, {".rdata", "r--"}, {".pdata", "r--"},
        {".xdata", "r--"}, {".idata", "rw-"}, {".reloc", "r--"}};
    EXPECT_EQ(rightsAt(image->base()), "r--");  // the headers
    ASSERT_EQ(image->sections().size(), expected.size());
    for (const host::image::LoadedSection& section : image->sections()) {
        EXPECT_EQ(rightsAt(section.address), expected.at(section.name)) << section.name;
        EXPECT_EQ(rightsAt(section.address + section.size - 1), expected.at(section.name)) << section.name;
    }
    const std::uintptr_t base = image->base();
    image.reset();
    EXPECT_EQ(rightsAt(base), "");
}

TEST_F(ImageLoaderTest, RefusesNamingEveryImportTheMachineCannotBind) {
    const ExportModule kernel[] = {{"ntoskrnl.exe", kKernel}};
    const ExportModule kernelAndHal[] = {{"ntoskrnl.exe", kKernelAndBugCheck}, {"hal.dll", kHal}};
    const struct {
        std::span<const ExportModule> modules;
        std::string error;
    } cases[] = {
        {kernel,
         "unresolved_imports.sys: imports HAL.dll!KfRaiseIrql, ntoskrnl.exe!KeBugCheckEx, which this machine does "
         "not provide; it imports HAL.dll ordinal 7 by number, and the machine binds imports by name only"},
        {kernelAndHal,
         "unresolved_imports.sys: imports HAL.dll ordinal 7 by number, and the machine binds imports by name only"},
        {{}, "unresolved_imports.sys: imports HAL.dll!KfRaiseIrql, ntoskrnl.exe!IoCreateDevice, "
             "ntoskrnl.exe!KeBugCheckEx, which this machine does not provide; it imports HAL.dll ordinal 7 by "
             "number, and the machine binds imports by name only"},
    };
    for (const auto& c : cases) {
        const host::image::ImageLoadResult result =
            loadImage(fixtureBytes("unresolved_imports.sys"), "unresolved_imports.sys", ExportTables(c.modules));
        EXPECT_EQ(result.image, nullptr);
        EXPECT_EQ(result.error, c.error);
    }
}

struct FixtureCall {
    ULONG index;
    LONG argument;
};

WDF_DRIVER_GLOBALS* globalsSeen = nullptr;
NTAPI LONG doubled(WDF_DRIVER_GLOBALS* globals, LONG argument) {
    globalsSeen = globals;
    return 2 * argument;
}

TEST_F(ImageLoaderTest, EntryStubBindsTheFrameworkAndCallsItThroughTheTable) {
    FakeFramework framework;
    framework.provide(116, reinterpret_cast<image_test::FrameworkFunction>(&doubled));
    const FrameworkLoader loader(framework);
    const ExportModule modules[] = {FrameworkLoader::exports()};
    const std::unique_ptr<LoadedImage> image = load("binds_framework.sys", ExportTables(modules));
    ASSERT_NE(image, nullptr);

    FixtureCall call{116, 21};
    EXPECT_EQ(image->entryPoint()(reinterpret_cast<PDRIVER_OBJECT>(&call), nullptr), 42);
    ASSERT_EQ(framework.created.size(), 1u);
    EXPECT_EQ(framework.drivers[0], reinterpret_cast<PDRIVER_OBJECT>(&call));
    EXPECT_EQ(globalsSeen, framework.created[0]);
    EXPECT_EQ(framework.destroyed, framework.created);

    FixtureCall missing{117, 0};
    EXPECT_DEATH(image->entryPoint()(reinterpret_cast<PDRIVER_OBJECT>(&missing), nullptr),
                 "bugcheck: the driver called entry 117 of the framework's function table");
}

// A fixture, damaged, and the complete sentence its refusal must be.
struct Damage {
    const char* what;
    const char* fixture;
    std::function<std::string(std::vector<std::uint8_t>&, const Layout&)> damage;  // gives the error
};

std::string sectionField(const Layout& l, const std::string& section, std::size_t field) {
    return hex(l.section(section) + field);
}

TEST_F(ImageLoaderTest, RefusesDamagedImagesSayingWhatIsWrong) {
    using Bytes = std::vector<std::uint8_t>;
    const Damage damages[] = {
        {"empty file", "calls_kernel.sys",
         [](Bytes& b, const Layout&) {
             b.clear();
             return "the file ends (0x0 bytes) before the DOS header's e_magic at file offset 0x0";
         }},
        {"cut inside the section table", "calls_kernel.sys",
         [](Bytes& b, const Layout& l) {
             b.resize(l.sections + 50);
             return "SizeOfHeaders at file offset " + hex(l.optional + 60) +
                    " is 0x400: the headers must hold the section table (up to " + hex(l.sections + 5 * 40) +
                    ") and lie inside the file (" + hex(l.sections + 50) + " bytes) and the image";
         }},
        {"cut inside a section's data", "calls_kernel.sys",
         [](Bytes& b, const Layout& l) {
             const std::uint64_t text = get(b, l.section(".text") + 20, 4);
             b.resize(text + 8);
             return "section .text's data (file offset " + hex(text) + ", " + hex(get(b, l.section(".text") + 8, 4)) +
                    " bytes) runs past the end of the file (" + hex(text + 8) + " bytes)";
         }},
        {"not an image", "calls_kernel.sys",
         [](Bytes& b, const Layout&) {
             put(b, 0, 2, 0x457F);
             return "the DOS header's e_magic at file offset 0x0 is 0x457f: not a PE image, which starts with MZ "
                    "(0x5a4d)";
         }},
        {"32-bit machine", "calls_kernel.sys",
         [](Bytes& b, const Layout& l) {
             put(b, l.coff, 2, 0x14C);
             return "Machine at file offset " + hex(l.coff) + " is 0x14c: this machine runs AMD64 images (0x8664) only";
         }},
        {"relocations stripped", "relocated_tables.sys",
         [](Bytes& b, const Layout& l) {
             put(b, l.coff + 18, 2, get(b, l.coff + 18, 2) | 1);
             return "Characteristics at file offset " + hex(l.coff + 18) + " is " + hex(get(b, l.coff + 18, 2)) +
                    ": IMAGE_FILE_RELOCS_STRIPPED (0x1) is set, but the image must move: the machine loads it at "
                    "an address of its own choosing";
         }},
        {"console subsystem", "calls_kernel.sys",
         [](Bytes& b, const Layout& l) {
             put(b, l.optional + 68, 2, 3);
             return "Subsystem at file offset " + hex(l.optional + 68) + " is 0x3: a driver image is native (1)";
         }},
        {"sections below the page size", "calls_kernel.sys",
         [](Bytes& b, const Layout& l) {
             put(b, l.optional + 32, 4, 0x200);
             return "SectionAlignment at file offset " + hex(l.optional + 32) +
                    " is 0x200: sections need a power of two of at least the page size (0x1000), so that each "
                    "has rights of its own";
         }},
        {"image smaller than its sections", "relocated_tables.sys",
         [](Bytes& b, const Layout& l) {
             put(b, l.optional + 56, 4, 0x3000);
             return "section .rdata (RVA 0x3000, " + hex(get(b, l.section(".rdata") + 8, 4)) +
                    " bytes) runs past SizeOfImage (0x3000)";
         }},
        {"section outside the file", "relocated_tables.sys",
         [](Bytes& b, const Layout& l) {
             put(b, l.section(".data") + 20, 4, 0x100000);
             return "section .data's data (file offset 0x100000, " + hex(get(b, l.section(".data") + 8, 4)) +
                    " bytes) runs past the end of the file (" + hex(b.size()) + " bytes)";
         }},
        {"overlapping sections", "relocated_tables.sys",
         [](Bytes& b, const Layout& l) {
             put(b, l.section(".data") + 12, 4, 0x1000);
             return "section .data (RVA 0x1000) does not follow section .text (RVA 0x1000, " +
                    hex(get(b, l.section(".text") + 8, 4)) + " bytes) on a page of its own";
         }},
        {"writable code", "relocated_tables.sys",
         [](Bytes& b, const Layout& l) {
             const std::uint64_t characteristics = get(b, l.section(".text") + 36, 4) | 0x80000000;
             put(b, l.section(".text") + 36, 4, characteristics);
             return "section .text's Characteristics at file offset " + sectionField(l, ".text", 36) + " is " +
                    hex(characteristics) + ": writable and executable at once, which the machine never maps";
         }},
        {"entry point in data", "relocated_tables.sys",
         [](Bytes& b, const Layout& l) {
             put(b, l.optional + 16, 4, 0x2000);
             return "AddressOfEntryPoint at file offset " + hex(l.optional + 16) +
                    " is 0x2000: it lies in no executable section";
         }},
        {"import directory outside the image", "calls_kernel.sys",
         [](Bytes& b, const Layout& l) {
             put(b, l.directory(1), 4, 0x7FFF0000);
             return "the import directory (RVA 0x7fff0000, " + hex(get(b, l.directory(1) + 4, 4)) +
                    " bytes, listed at file offset " + hex(l.directory(1)) + ") lies outside the image";
         }},
        {"relocations outside the file's data", "relocated_tables.sys",
         [](Bytes& b, const Layout& l) {
             put(b, l.directory(5), 4, 0x2100);
             return "the base relocation directory (RVA 0x2100, " + hex(get(b, l.directory(5) + 4, 4)) +
                    " bytes, listed at file offset " + hex(l.directory(5)) +
                    ") does not lie within the file data of one section";
         }},
        {"32-bit relocation", "relocated_tables.sys",
         [](Bytes& b, const Layout& l) {
             const std::uint32_t directory = static_cast<std::uint32_t>(get(b, l.directory(5), 4));
             const std::size_t entry = l.fileOffsetOf(b, directory + 8);
             const std::uint64_t target = get(b, l.fileOffsetOf(b, directory), 4) + (get(b, entry, 2) & 0xFFF);
             put(b, entry, 2, (get(b, entry, 2) & 0xFFF) | 0x3000);
             return "the base relocation at RVA " + hex(directory + 8) + " (of RVA " + hex(target) +
                    ") is of kind 3 (HIGHLOW); a PE32+ image for AMD64 has only DIR64 (10) and ABSOLUTE (0)";
         }},
        {"relocation block too small", "relocated_tables.sys",
         [](Bytes& b, const Layout& l) {
             const std::uint32_t directory = static_cast<std::uint32_t>(get(b, l.directory(5), 4));
             put(b, l.fileOffsetOf(b, directory + 4), 4, 6);
             return "the base relocation block at RVA " + hex(directory) +
                    " gives its size as 0x6: a block holds its 8-byte header and 2-byte entries, within the "
                    "directory's " + hex(get(b, l.directory(5) + 4, 4)) + " bytes left";
         }},
        {"relocation of an address outside the image", "relocated_tables.sys",
         [](Bytes& b, const Layout& l) {
             const std::uint32_t directory = static_cast<std::uint32_t>(get(b, l.directory(5), 4));
             put(b, l.fileOffsetOf(b, directory), 4, 0x7FFF0000);
             return "the address a DIR64 relocation moves at RVA 0x7fff0000 lies outside the image (0x8000 bytes)";
         }},
        {"import name with a control character", "calls_kernel.sys",
         [](Bytes& b, const Layout& l) {
             const std::uint32_t descriptor = static_cast<std::uint32_t>(get(b, l.directory(1), 4));
             const std::uint32_t lookup = static_cast<std::uint32_t>(get(b, l.fileOffsetOf(b, descriptor), 4));
             const std::uint32_t hint = static_cast<std::uint32_t>(get(b, l.fileOffsetOf(b, lookup), 8));
             put(b, l.fileOffsetOf(b, hint + 4), 1, 0x1B);
             return "an import name of ntoskrnl.exe at RVA " + hex(hint + 2) +
                    " holds byte 0x1b, which no name has";
         }},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        std::vector<std::uint8_t> bytes = fixtureBytes(d.fixture);
        const Layout layout(bytes);
        const std::string expected = std::string(d.fixture) + ": " + d.damage(bytes, layout);
        const host::image::ImageLoadResult result = loadImage(bytes, d.fixture, kernelOnly());
        EXPECT_EQ(result.image, nullptr);
        EXPECT_EQ(result.error, expected);
    }
}

TEST_F(ImageLoaderTest, AFileCutOnlyInsideTheLastSectionsPaddingLosesNothing) {
    std::vector<std::uint8_t> bytes = fixtureBytes("relocated_tables.sys");
    const Layout layout(bytes);
    const std::size_t reloc = layout.section(".reloc");
    bytes.resize(get(bytes, reloc + 20, 4) + get(bytes, reloc + 8, 4));
    const host::image::ImageLoadResult result = loadImage(bytes, "relocated_tables.sys", kernelOnly());
    ASSERT_NE(result.image, nullptr) << result.error;
    EXPECT_EQ(result.image->entryPoint()(reinterpret_cast<PDRIVER_OBJECT>(1), reinterpret_cast<PUNICODE_STRING>(1)),
              2000 + 10 + 'B');
}

TEST_F(ImageLoaderTest, ReadsTheFileItIsGivenAndNamesOneItCannotRead) {
    const ExportTables exports = kernelOnly();
    const host::image::ImageLoadResult loaded =
        host::image::loadImageFile(std::string(OSTDFU_IMAGE_FIXTURES) + "/calls_kernel.sys", exports);
    ASSERT_NE(loaded.image, nullptr) << loaded.error;
    EXPECT_EQ(loaded.image->name(), "calls_kernel.sys");

    const std::string missing = std::string(OSTDFU_IMAGE_FIXTURES) + "/absent.sys";
    EXPECT_EQ(host::image::loadImageFile(missing, exports).error, missing + ": cannot be read: No such file or directory");
}

}  // namespace
