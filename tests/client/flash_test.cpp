// The updater's firmware work against the driver and the bootloader model on the emulated bus:
// what a flash leaves in device memory for each image format, which pages it erases, what it
// refuses before sending anything, and how it meets stalls, time-outs and cancellation.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <unistd.h>

#include "client/crc32.h"
#include "client/flash_run.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace ostdfu_test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using client::FirmwareImage;

constexpr std::uint32_t kFlash = 0x08000000;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed ^ (i * 13 + i / 251));
    return bytes;
}

// A device that arrived, a handle on it and its facts; its flash starts out holding a pattern,
// so that every byte a flash changes shows.
struct Device {
    ArrivalHarness h;
    Arrived arrived;
    client::Handle handle;
    client::DeviceFacts facts;
    Bytes before;

    explicit Device(const sim::BootloaderConfig& config = presets::blankBootloader()) {
        arrived = h.plug(config);
        handle = std::move(client::open().handle);
        const auto got = client::readDeviceFacts(handle);
        EXPECT_EQ(got.status, STATUS_SUCCESS) << got.failure;
        facts = got.facts;
        const auto& flash = facts.areaOf(client::AreaKind::Flash)->layout.sectors;
        flashBytes = static_cast<std::uint32_t>(flash.back().end() - kFlash);
        before = pattern(flashBytes, 0x5C);
        arrived.rom->write(kFlash, before);
        arrived.rom->clearTransfers();
        arrived.rom->clearFaults();  // faults count their requests from here
    }
    Bytes flash() const { return arrived.rom->read(kFlash, flashBytes); }
    // The addresses of the erase commands the device received, in order.
    std::vector<std::uint32_t> erases() const {
        std::vector<std::uint32_t> found;
        for (const auto& t : arrived.rom->transfers()) {
            if (t.bRequest() == 1 && t.wValue() == 0 && t.data.size() == 5 && t.data[0] == 0x41) {
                found.push_back(t.data[1] | t.data[2] << 8 | t.data[3] << 16 | std::uint32_t{t.data[4]} << 24);
            }
        }
        return found;
    }
    client::RunOutcome flashImage(const FirmwareImage& image, client::RunControl control = {}) {
        const client::FlashPlan plan = client::planFlash(image, facts, {});
        return client::executeFlash(handle, facts, plan, true, control);
    }

    std::uint32_t flashBytes = 0;
};

FirmwareImage throughFile(const FirmwareImage& image, const std::string& extension) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("flash_test_" + std::to_string(::getpid()) + extension);
    client::saveImage(path, image);
    const bool binary = extension == ".bin";
    FirmwareImage back = client::loadImage(path, binary ? std::optional(image.elements[0].address) : std::nullopt);
    std::filesystem::remove(path);
    return back;
}

struct FormatRow {
    const char* extension;
    std::vector<client::ImageElement> elements;
    std::vector<std::uint32_t> erasedSectors;  // of the F4 layout 4x16K, 1x64K, 7x128K
};

std::vector<FormatRow> formatRows() {
    return {
        // Across the first two 16 KiB sectors, a short last block.
        {".bin", {{0, 0x08003000, pattern(0x2000 + 700, 1)}}, {0x08000000, 0x08004000}},
        // Two elements: one in sector 1, one that spans the 64 KiB sector into the first 128 KiB one.
        {".hex",
         {{0, 0x08004100, pattern(300, 2)}, {0, 0x0801F000, pattern(0x1800, 3)}},
         {0x08004000, 0x08010000, 0x08020000}},
        // Two elements in one sector: it is erased once.
        {".dfu", {{0, 0x08040000, pattern(4096, 4)}, {0, 0x08050000, pattern(5000, 5)}}, {0x08040000}},
    };
}

TEST(Flash, EachFormatWritesItsImageErasesExactlyItsSectorsAndLeavesTheRest) {
    for (const FormatRow& row : formatRows()) {
        SCOPED_TRACE(row.extension);
        Device d;
        FirmwareImage image;
        image.elements = row.elements;
        const FirmwareImage loaded = throughFile(image, row.extension);
        const client::RunOutcome run = d.flashImage(loaded);
        ASSERT_TRUE(run.ok) << run.message;
        EXPECT_EQ(d.erases(), row.erasedSectors);

        // The image is there, the rest of each erased sector is blank, and outside them nothing
        // changed: the CRC of what is left out of the erased sectors is the one from before.
        Bytes expected = d.before;
        const auto& layout = d.facts.areaOf(client::AreaKind::Flash)->layout;
        for (const std::uint32_t sector : row.erasedSectors) {
            const auto size = layout.sectorAt(sector)->size;
            std::fill_n(expected.begin() + (sector - kFlash), size, 0xFF);
        }
        for (const auto& element : image.elements) {
            std::copy(element.data.begin(), element.data.end(), expected.begin() + (element.address - kFlash));
        }
        const Bytes after = d.flash();
        EXPECT_EQ(client::crc32(after), client::crc32(expected));
        EXPECT_TRUE(after == expected);

        // And the updater reads back what it wrote.
        for (const auto& element : image.elements) {
            Bytes read;
            const auto got = client::readMemory(d.handle, d.facts, 0, element.address, element.data.size(), read, {});
            ASSERT_TRUE(got.ok) << got.message;
            EXPECT_TRUE(read == element.data);
        }
        EXPECT_TRUE(client::verifyImage(d.handle, d.facts, loaded, {}).ok);
    }
}

TEST(Flash, DownloadsInTransferSizeBlocksFromBlockTwoWithOnePointerPerRun) {
    Device d;
    FirmwareImage image;
    image.elements.push_back({0, 0x08008000, pattern(3 * 2048, 6)});
    ASSERT_TRUE(d.flashImage(image).ok);
    std::vector<std::pair<std::uint16_t, std::size_t>> blocks;
    int pointers = 0;
    for (const auto& t : d.arrived.rom->transfers()) {
        if (t.bmRequestType() != 0x21 || t.bRequest() != 1) continue;
        if (t.wValue() == 0 && !t.data.empty() && t.data[0] == 0x21) ++pointers;
        if (t.wValue() >= 2) blocks.push_back({t.wValue(), t.data.size()});
    }
    EXPECT_EQ(blocks, (std::vector<std::pair<std::uint16_t, std::size_t>>{{2, 2048}, {3, 2048}, {4, 2048}}));
    EXPECT_EQ(pointers, 2) << "one for the download run, one for the read-back";
}

TEST(Flash, AnImageWithoutSettingsGoesToTheAreaThatHoldsItsAddresses) {
    Device d;
    FirmwareImage image;  // as from a .hex: addresses only
    image.elements.push_back({0, 0x1FFF7800, pattern(32, 10)});
    image.elements.push_back({0, 0x08000000, pattern(32, 11)});
    const FirmwareImage placed = client::placeByAddress(image, d.facts);
    EXPECT_EQ(placed.elements[0].alternateSetting, 2);
    EXPECT_EQ(placed.elements[1].alternateSetting, 0);
    EXPECT_THROW(client::planFlash(placed, d.facts, {}), client::PlanRefusal) << "the OTP area needs --otp";
    const client::FlashPlan plan = client::planFlash(placed, d.facts, {.otp = true});
    EXPECT_EQ(plan.erases.size(), 1u) << "the OTP area is not erasable";
    const client::RunOutcome run = client::executeFlash(d.handle, d.facts, plan, true, {});
    ASSERT_TRUE(run.ok) << run.message;
    EXPECT_TRUE(d.arrived.rom->read(0x1FFF7800, 32) == placed.elements[0].data);
}

TEST(Flash, RefusalsSayWhatAndWhereBeforeAnythingIsSent) {
    const auto protectedDevice = [] {
        presets::PresetOptions o;
        o.readProtected = true;
        return presets::blankBootloader(o);
    };
    const struct {
        const char* name;
        sim::BootloaderConfig config;
        client::ImageElement element;
        std::optional<client::ImageProduct> product;
        client::PlanOptions options;
        const char* refusal;  // empty: accepted
    } rows[] = {
        {"past the flash", presets::blankBootloader(), {0, 0x080FFF00, Bytes(512, 1)}, {}, {},
         "lies outside writable memory at 0x08100000 (Internal Flash)"},
        {"below the flash", presets::blankBootloader(), {0, 0x07FFFFF0, Bytes(32, 1)}, {}, {},
         "outside writable memory at 0x07fffff0"},
        {"no such area", presets::blankBootloader(), {7, 0x08000000, Bytes(4, 1)}, {}, {},
         "no memory area at that alternate setting"},
        {"option bytes", presets::blankBootloader(), {1, 0x1FFFC000, Bytes(16, 1)}, {}, {}, "only --option-bytes"},
        {"otp", presets::blankBootloader(), {2, 0x1FFF7800, Bytes(16, 1)}, {}, {}, "only --otp"},
        {"otp allowed", presets::blankBootloader(), {2, 0x1FFF7800, Bytes(16, 1)}, {}, {.otp = true}, ""},
        {"read-protected", protectedDevice(), {0, kFlash, Bytes(16, 1)}, {}, {}, "read-protected; --unprotect"},
        {"other product", presets::presetFor(41), {0, kFlash, Bytes(16, 1)}, client::ImageProduct{0x3A7C, 0x5023, 0xFFFF},
         {}, "names product 3a7c:5023, but the driver identified this device as 3a7c:5029"},
        {"other product taken", presets::presetFor(41), {0, kFlash, Bytes(16, 1)},
         client::ImageProduct{0x3A7C, 0x5023, 0xFFFF}, {.anyProduct = true}, ""},
        {"its product", presets::presetFor(41), {0, kFlash, Bytes(16, 1)}, client::ImageProduct{0x3A7C, 0x5029, 0x0100},
         {}, ""},
        {"wildcard product id", presets::presetFor(41), {0, kFlash, Bytes(16, 1)},
         client::ImageProduct{0x3A7C, 0xFFFF, 0xFFFF}, {}, ""},
        {"the bootloader's own ids", presets::presetFor(41), {0, kFlash, Bytes(16, 1)},
         client::ImageProduct{0x0483, 0xDF11, 0xFFFF}, {}, ""},
        {"unidentified device", presets::blankBootloader(), {0, kFlash, Bytes(16, 1)},
         client::ImageProduct{0x3A7C, 0x5029, 0xFFFF}, {}, "the driver identified no product"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ArrivalHarness h;
        const Arrived arrived = h.plug(row.config);
        const client::Handle handle = std::move(client::open().handle);
        const auto facts = client::readDeviceFacts(handle).facts;
        FirmwareImage image;
        image.elements.push_back(row.element);
        image.product = row.product;
        arrived.rom->clearTransfers();
        std::string refusal;
        try {
            client::planFlash(image, facts, row.options);
        } catch (const client::PlanRefusal& e) {
            refusal = e.what();
        }
        if (*row.refusal == '\0') {
            EXPECT_EQ(refusal, "");
        } else {
            EXPECT_NE(refusal.find(row.refusal), std::string::npos) << refusal;
        }
        EXPECT_TRUE(arrived.rom->transfers().empty());
    }
}

TEST(Flash, StallsAndTimeOutsOnABlockAreRecoveredAndResent) {
    const struct {
        sim::FaultRequest request;
        sim::FaultAction action;
        std::uint32_t nth;
    } rows[] = {
        {sim::FaultRequest::Dnload, sim::FaultAction::Stall, 4},
        {sim::FaultRequest::Dnload, sim::FaultAction::Timeout, 5},
        {sim::FaultRequest::GetStatus, sim::FaultAction::Stall, 6},
        {sim::FaultRequest::GetStatus, sim::FaultAction::Timeout, 9},
        {sim::FaultRequest::Upload, sim::FaultAction::Stall, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.nth);
        Device d;
        d.arrived.rom->addFault({row.request, row.nth, 1, row.action, {}});
        FirmwareImage image;
        image.elements.push_back({0, 0x08004000, pattern(5 * 2048 + 100, 7)});
        const client::RunOutcome run = d.flashImage(image);
        ASSERT_TRUE(run.ok) << run.message;
        EXPECT_EQ(d.erases(), (std::vector<std::uint32_t>{0x08004000}));
        Bytes expected = d.before;
        std::fill_n(expected.begin() + 0x4000, 0x4000, 0xFF);
        std::copy(image.elements[0].data.begin(), image.elements[0].data.end(), expected.begin() + 0x4000);
        EXPECT_TRUE(d.flash() == expected);
    }
}

TEST(Flash, ABlockThatKeepsFailingEndsTheRunAndSaysHowFarItGot) {
    Device d;
    d.arrived.rom->addFault({sim::FaultRequest::Dnload, 4, 0, sim::FaultAction::Stall, {}});
    FirmwareImage image;
    image.elements.push_back({0, 0x08004000, pattern(4 * 2048, 8)});
    const client::RunOutcome run = d.flashImage(image);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.phase, client::Phase::Download);
    EXPECT_EQ(run.writtenBytes, 2048u) << "erase, pointer and block 2 went through";
    EXPECT_NE(run.message.find("download failed writing 0x08004800: stalled"), std::string::npos) << run.message;
    EXPECT_NE(run.message.find("16384 bytes erased, 2048 written"), std::string::npos) << run.message;
    EXPECT_EQ(d.erases().size(), 1u) << "nothing but the planned page was erased";
}

TEST(Flash, CancellationStopsBetweenBlocksAndLeavesTheDeviceIdle) {
    Device d;
    std::stop_source stop;
    client::RunControl control;
    std::uint64_t lastDownload = 0;
    control.stop = stop.get_token();
    control.progress = [&](const client::ProgressUpdate& u) {
        if (u.phase == client::Phase::Download) lastDownload = u.done;
        if (u.phase == client::Phase::Download && u.done >= 4096) stop.request_stop();
    };
    FirmwareImage image;
    image.elements.push_back({0, 0x08004000, pattern(8 * 2048, 9)});
    const client::RunOutcome run = d.flashImage(image, control);
    EXPECT_FALSE(run.ok);
    EXPECT_TRUE(run.cancelled);
    EXPECT_EQ(run.writtenBytes, 4096u);
    EXPECT_EQ(lastDownload, 4096u);
    EXPECT_EQ(d.arrived.rom->state(), sim::DfuState::DfuIdle);
}

}  // namespace
}  // namespace ostdfu_test
