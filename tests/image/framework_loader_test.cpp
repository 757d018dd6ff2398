// WDFLDR.SYS as an image's entry stub reaches it: which bind records the machine refuses and
// with what status, how the image's function table is filled for old and new framework
// versions, the traps that stand where the machine has no framework function, and globals
// handed out and taken back exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "host/image/export_tables.h"
#include "host/image/framework_loader.h"
#include "tests/image/image_test_support.h"

namespace {

using host::image::ExportTables;
using host::image::FrameworkLoader;
using host::image::WdfBindInfo;
using image_test::FakeFramework;
using image_test::FrameworkFunction;

using BindCall = NTSTATUS(NTAPI *)(PDRIVER_OBJECT, PUNICODE_STRING, WdfBindInfo*,
                                                     WDF_DRIVER_GLOBALS**);
using UnbindCall = NTSTATUS(NTAPI *)(PUNICODE_STRING, WdfBindInfo*, WDF_DRIVER_GLOBALS*);

NTAPI LONG provided() { return 1; }

// The two calls as an image reaches them: through the export table, by the names it imports.
struct Wdfldr {
    Wdfldr() {
        const host::image::ExportModule module = FrameworkLoader::exports();
        const ExportTables tables({&module, 1});
        bind = reinterpret_cast<BindCall>(tables.find("wdfldr.sys", "WdfVersionBind"));
        unbind = reinterpret_cast<UnbindCall>(tables.find("WDFLDR.SYS", "WdfVersionUnbind"));
    }
    BindCall bind;
    UnbindCall unbind;
};

char16_t kKmdfLibrary[] = u"KmdfLibrary";

// The image side of a bind: its record and the table or table pointer the record points at.
struct ImageSide {
    explicit ImageSide(ULONG funcCount, ULONG minor = 15) {
        tableArea.fill(sentinel);
        info = {sizeof(WdfBindInfo), kKmdfLibrary, {1, minor, 0}, funcCount, tableArea.data(), nullptr};
    }
    static inline const FrameworkFunction sentinel = reinterpret_cast<FrameworkFunction>(std::uintptr_t{0x5E5E});
    std::array<FrameworkFunction, 460> tableArea;
    WdfBindInfo info;
    WDF_DRIVER_GLOBALS* globals = reinterpret_cast<WDF_DRIVER_GLOBALS*>(std::uintptr_t{0xBAD});
};

struct Refusal {
    const char* what;
    std::function<void(ImageSide&)> change;
    NTSTATUS status;
};

TEST(FrameworkLoader, RefusesBindRecordsItCannotHonour) {
    char16_t longer[] = u"KmdfLibraryX";
    char16_t shorter[] = u"Kmdf";
    const Refusal refusals[] = {
        {"the larger second record", [](ImageSide& s) { s.info.Size = 88; }, STATUS_INVALID_PARAMETER},
        {"no component", [](ImageSide& s) { s.info.Component = nullptr; }, STATUS_OBJECT_NAME_NOT_FOUND},
        {"a longer component", [&](ImageSide& s) { s.info.Component = longer; }, STATUS_OBJECT_NAME_NOT_FOUND},
        {"a shorter component", [&](ImageSide& s) { s.info.Component = shorter; }, STATUS_OBJECT_NAME_NOT_FOUND},
        {"major version 2", [](ImageSide& s) { s.info.Version.Major = 2; }, STATUS_NOT_SUPPORTED},
        {"a newer minor version", [](ImageSide& s) { s.info.Version.Minor = 16; }, STATUS_NOT_SUPPORTED},
        {"more functions than the table", [](ImageSide& s) { s.info.FuncCount = 445; }, STATUS_INVALID_PARAMETER},
        {"no functions", [](ImageSide& s) { s.info.FuncCount = 0; }, STATUS_INVALID_PARAMETER},
        {"no table", [](ImageSide& s) { s.info.FuncTable = nullptr; }, STATUS_INVALID_PARAMETER},
    };
    FakeFramework framework;
    const FrameworkLoader loader(framework);
    const Wdfldr wdfldr;
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        ImageSide image(444);
        r.change(image);
        EXPECT_EQ(wdfldr.bind(nullptr, nullptr, &image.info, &image.globals), r.status);
        EXPECT_EQ(image.globals, nullptr);
        EXPECT_EQ(image.tableArea[0], ImageSide::sentinel);
    }
    ImageSide image(444);
    EXPECT_EQ(wdfldr.bind(nullptr, nullptr, nullptr, &image.globals), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wdfldr.bind(nullptr, nullptr, &image.info, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(framework.created.empty());

    framework.createFails = true;
    EXPECT_EQ(wdfldr.bind(nullptr, nullptr, &image.info, &image.globals), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(image.globals, nullptr);
    EXPECT_EQ(image.tableArea[0], ImageSide::sentinel);
}

TEST(FrameworkLoader, BindsOlderVersionsAndSmallerTablesOfTheSameFramework) {
    FakeFramework framework(13, 438);
    const FrameworkLoader loader(framework);
    const Wdfldr wdfldr;
    for (const ULONG minor : {9u, 11u, 13u}) {
        ImageSide image(396, minor);
        EXPECT_EQ(wdfldr.bind(nullptr, nullptr, &image.info, &image.globals), STATUS_SUCCESS) << minor;
    }
}

TEST(FrameworkLoader, CopiesTablesUpToFramework113AndPointsLargerOnesAtItsOwn) {
    FakeFramework framework;
    framework.provide(116, reinterpret_cast<FrameworkFunction>(&provided));
    const FrameworkLoader loader(framework);
    const Wdfldr wdfldr;
    int driver = 0;
    const auto driverObject = reinterpret_cast<PDRIVER_OBJECT>(&driver);

    // 1.9's and 1.13's tables: their entries copied into the image, nothing after them touched.
    for (const ULONG count : {396u, 438u}) {
        ImageSide copied(count, count == 396 ? 9 : 13);
        ASSERT_EQ(wdfldr.bind(driverObject, nullptr, &copied.info, &copied.globals), STATUS_SUCCESS);
        EXPECT_TRUE(std::equal(copied.tableArea.begin(), copied.tableArea.begin() + count, loader.table().begin()));
        EXPECT_EQ(copied.tableArea[count], ImageSide::sentinel);
    }

    // 1.15's: FuncTable points at the image's table pointer, which now points at the loader's.
    ImageSide pointed(444);
    ASSERT_EQ(wdfldr.bind(driverObject, nullptr, &pointed.info, &pointed.globals), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<const FrameworkFunction*>(pointed.tableArea[0]), loader.table().data());
    EXPECT_EQ(pointed.tableArea[1], ImageSide::sentinel);

    EXPECT_EQ(framework.drivers, (std::vector<PDRIVER_OBJECT>(3, driverObject)));
    ASSERT_EQ(framework.created.size(), 3u);
    EXPECT_EQ(framework.created[2], pointed.globals);

    // The framework's functions where it has them; elsewhere a trap of each index's own.
    ASSERT_EQ(loader.table().size(), 444u);
    EXPECT_EQ(loader.table()[116], reinterpret_cast<FrameworkFunction>(&provided));
    const std::set<FrameworkFunction> distinct(loader.table().begin(), loader.table().end());
    EXPECT_EQ(distinct.size(), 444u);
    EXPECT_EQ(distinct.count(nullptr), 0u);
}

TEST(FrameworkLoaderDeathTest, AFrameworkFunctionTheMachineLacksStopsItNamingTheIndex) {
    FakeFramework framework;
    const FrameworkLoader loader(framework);
    using Trap = void(NTAPI *)();
    EXPECT_DEATH(reinterpret_cast<Trap>(loader.table()[0])(), "bugcheck: the driver called entry 0 of the framework's");
    EXPECT_DEATH(reinterpret_cast<Trap>(loader.table()[443])(), "entry 443 of the framework's function table");
}

TEST(FrameworkLoader, TakesBackEachDriversGlobalsOnce) {
    FakeFramework framework;
    const Wdfldr wdfldr;
    {
        const FrameworkLoader loader(framework);
        ImageSide first(444);
        ImageSide second(444);
        ASSERT_EQ(wdfldr.bind(nullptr, nullptr, &first.info, &first.globals), STATUS_SUCCESS);
        ASSERT_EQ(wdfldr.bind(nullptr, nullptr, &second.info, &second.globals), STATUS_SUCCESS);

        EXPECT_EQ(wdfldr.unbind(nullptr, &first.info, first.globals), STATUS_SUCCESS);
        EXPECT_EQ(wdfldr.unbind(nullptr, &first.info, first.globals), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(wdfldr.unbind(nullptr, &first.info, nullptr), STATUS_INVALID_PARAMETER);
        int stranger = 0;
        EXPECT_EQ(wdfldr.unbind(nullptr, &first.info, reinterpret_cast<WDF_DRIVER_GLOBALS*>(&stranger)),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(framework.destroyed, (std::vector<WDF_DRIVER_GLOBALS*>{first.globals}));
        // The second driver never unbinds: its globals go with the loader.
        framework.destroyed.clear();
        framework.created.erase(framework.created.begin());
    }
    EXPECT_EQ(framework.destroyed, framework.created);

    // With no framework on the machine there is nothing to bind to.
    ImageSide image(444);
    EXPECT_EQ(wdfldr.bind(nullptr, nullptr, &image.info, &image.globals), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
