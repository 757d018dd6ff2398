// The updater's firmware work against the driver and the bootloader model on the emulated bus:
// what a flash leaves in device memory for each image format, which pages it erases, what it
// refuses before sending anything, and how it meets stalls, time-outs and cancellation.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <unistd.h>

#include "client/crc32.h"
#include "client/dfu_link.h"
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

// What the plan says of the image: its refusal, or "" when it takes it.
std::string refusalOf(const FirmwareImage& image, const client::DeviceFacts& facts,
                      const client::PlanOptions& options = {}) {
    try {
        client::planFlash(image, facts, options);
    } catch (const client::PlanRefusal& e) {
        return e.what();
    }
    return "";
}

// An expected refusal of "" means the plan takes the image.
void expectRefusal(const std::string& refusal, const char* expected) {
    if (*expected == '\0') {
        EXPECT_EQ(refusal, "");
    } else {
        EXPECT_NE(refusal.find(expected), std::string::npos) << refusal;
    }
}

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
        expectRefusal(refusalOf(image, facts, row.options), row.refusal);
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


// ---- memory areas as recorded ROMs describe them -------------------------------------------------

sim::BootloaderConfig withSegments(std::vector<sim::SegmentConfig> segments, std::uint16_t transferSize = 2048) {
    presets::PresetOptions options;
    options.transferSize = transferSize;
    sim::BootloaderConfig config = presets::blankBootloader(options);
    config.segments = std::move(segments);
    return config;
}

// The F107 ROM (bootloader 20.00) and the F4 one (21.00) mark their option bytes and OTP with
// the letter g, erasable like the flash; a dual-bank F42x/F43x names two option-byte blocks,
// the first being the one the driver writes. The option bytes are rewritten whole by the
// driver's own write and OTP cannot be erased: neither is ever sent a page erase.
TEST(Flash, OptionBytesAndOtpAreNeverErasedAndGoWhereTheDriverWritesThem) {
    const sim::SegmentConfig f107Flash{"@Internal Flash  /0x08000000/128*002Kg", sim::SegmentKind::Flash, {}};
    const sim::SegmentConfig f4Flash{"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg",
                                     sim::SegmentKind::Flash, {}};
    const sim::SegmentConfig f107Options{"@Option Bytes  /0x1FFFF800/01*016 g", sim::SegmentKind::OptionBytes, {}};
    const sim::SegmentConfig f4Options{"@Option Bytes  /0x1FFFC000/01*016 g", sim::SegmentKind::OptionBytes, {}};
    const sim::SegmentConfig f4Otp{"@OTP Memory /0x1FFF7800/01*512 g,01*016 g", sim::SegmentKind::Otp, {}};
    const sim::SegmentConfig dualBankOptions{"@Option Bytes  /0x1FFFC000/01*016 e/0x1FFEC000/01*016 e",
                                             sim::SegmentKind::OptionBytes, {}};
    const Bytes app = pattern(3000, 21);
    const Bytes options = pattern(16, 22);
    const Bytes otp = pattern(32, 23);
    const struct {
        const char* name;
        std::vector<sim::SegmentConfig> segments;
        std::vector<client::ImageElement> elements;  // addresses only, as from a .hex
        client::PlanOptions allow;
        std::vector<std::uint32_t> erases;
        const char* refusal;  // empty: flashed
        std::uint32_t untouched = 0;  // 16 bytes there keep their value
    } rows[] = {
        {"F107: application and option bytes", {f107Flash, f107Options},
         {{0, kFlash, app}, {0, 0x1FFFF800, options}}, {.optionBytes = true}, {0x08000000, 0x08000800}, ""},
        {"F4: application, option bytes and OTP", {f4Flash, f4Options, f4Otp},
         {{0, kFlash, app}, {0, 0x1FFF7800, otp}, {0, 0x1FFFC000, options}}, {.optionBytes = true, .otp = true},
         {0x08000000}, ""},
        {"dual bank: the block the driver writes", {f4Flash, dualBankOptions},
         {{0, kFlash, app}, {0, 0x1FFFC000, options}}, {.optionBytes = true}, {0x08000000}, "", 0x1FFEC000},
        {"dual bank: the other block", {f4Flash, dualBankOptions}, {{0, kFlash, app}, {0, 0x1FFEC000, options}},
         {.optionBytes = true}, {}, "option bytes are written whole from 0x1fffc000"},
        {"option bytes not from their start", {f107Flash, f107Options}, {{0, 0x1FFFF804, Bytes(8, 0)}},
         {.optionBytes = true}, {}, "option bytes are written whole from 0x1ffff800"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Device d(withSegments(row.segments));
        const Bytes untouched = row.untouched != 0 ? d.arrived.rom->read(row.untouched, 16) : Bytes{};
        FirmwareImage image;
        image.elements = row.elements;
        const FirmwareImage placed = client::placeByAddress(image, d.facts);
        const std::string refusal = refusalOf(placed, d.facts, row.allow);
        expectRefusal(refusal, row.refusal);
        if (!refusal.empty()) {
            EXPECT_TRUE(d.arrived.rom->transfers().empty());
            EXPECT_TRUE(d.flash() == d.before);
            continue;
        }
        const client::FlashPlan plan = client::planFlash(placed, d.facts, row.allow);
        const client::RunOutcome run = client::executeFlash(d.handle, d.facts, plan, true, {});
        EXPECT_EQ(d.erases(), row.erases);
        EXPECT_TRUE(run.ok) << run.message;
        for (const auto& element : row.elements) {
            EXPECT_TRUE(d.arrived.rom->read(element.address, element.data.size()) == element.data)
                << std::hex << element.address;
        }
        if (row.untouched != 0) {
            EXPECT_TRUE(d.arrived.rom->read(row.untouched, 16) == untouched);
        }
    }
}

// Elements of one area may touch end to end; one that begins before the one below it ends is
// refused, whatever lies between them (an empty element writes nothing and hides nothing).
TEST(Flash, ElementsMayTouchButNotOverlap) {
    const struct {
        const char* name;
        std::vector<std::pair<std::uint32_t, std::size_t>> elements;  // address, length
        const char* refusal;  // empty: accepted
    } rows[] = {
        {"end to end", {{0x08000000, 3000}, {0x08000BB8, 200}}, ""},
        {"end to end, listed the other way", {{0x08000BB8, 200}, {0x08000000, 3000}}, ""},
        {"one byte over", {{0x08000000, 3000}, {0x08000BB7, 200}},
         "element at 0x08000bb7 (200 bytes, alternate setting 0) overlaps"},
        {"inside", {{0x08000000, 3000}, {0x08000100, 200}},
         "element at 0x08000100 (200 bytes, alternate setting 0) overlaps"},
        {"behind an empty element", {{0x08000000, 3000}, {0x08000010, 0}, {0x08000100, 200}},
         "element at 0x08000100 (200 bytes, alternate setting 0) overlaps"},
        {"an empty element alone inside", {{0x08000000, 3000}, {0x08000010, 0}}, ""},
    };
    Device d;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FirmwareImage image;
        for (const auto& [address, length] : row.elements) image.elements.push_back({0, address, pattern(length, 1)});
        image.settingsGiven = true;
        expectRefusal(refusalOf(image, d.facts), row.refusal);
    }
}

// Block numbers are 16 bits wide and data blocks start at 2: with a 16-byte transfer size,
// 1 MiB + 16 bytes takes a second address pointer for writing, reading back and verifying
// alike, and no upload ever asks for block 0 (Get Commands) or 1.
TEST(Flash, RunsOfMoreThan65533BlocksTakeAnotherAddressPointer) {
    Device d(withSegments({{"@Internal Flash  /0x08000000/16*128Kg", sim::SegmentKind::Flash, {}}}, 16));
    ASSERT_EQ(d.facts.transferSize, 16);
    FirmwareImage image;
    image.elements.push_back({0, kFlash, pattern(0x100010, 43)});
    image.settingsGiven = true;
    const client::RunOutcome flashed = d.flashImage(image);
    ASSERT_TRUE(flashed.ok) << flashed.message;
    EXPECT_EQ(flashed.verifiedBytes, 0x100010u);
    Bytes read;
    const client::RunOutcome got = client::readMemory(d.handle, d.facts, 0, kFlash, 0x100010, read, {});
    ASSERT_TRUE(got.ok) << got.message;
    EXPECT_TRUE(read == image.elements[0].data);
    const client::RunOutcome verified = client::verifyImage(d.handle, d.facts, image, {});
    EXPECT_TRUE(verified.ok) << verified.message;

    std::vector<std::uint32_t> pointers;
    std::size_t lowBlocks = 0;
    for (const auto& t : d.arrived.rom->transfers()) {
        const bool dnload = t.bmRequestType() == 0x21 && t.bRequest() == 1;
        const bool upload = t.bmRequestType() == 0xA1 && t.bRequest() == 2;
        if (dnload && t.wValue() == 0 && t.data.size() == 5 && t.data[0] == 0x21) {
            pointers.push_back(t.data[1] | t.data[2] << 8 | t.data[3] << 16 | std::uint32_t{t.data[4]} << 24);
        }
        if (upload && t.wValue() < 2) ++lowBlocks;
    }
    const std::vector<std::uint32_t> twoRuns = {kFlash, kFlash + 65533 * 16};
    std::vector<std::uint32_t> expected;
    for (int pass = 0; pass < 4; ++pass) expected.insert(expected.end(), twoRuns.begin(), twoRuns.end());
    EXPECT_EQ(pointers, expected) << "write, its verify, read, verify";
    EXPECT_EQ(lowBlocks, 0u);
}

// OTP takes each byte once. What it holds is read before anything is erased: bytes that are
// blank or already the image's go on (so that a rerun after a failure finishes the job), any
// other value refuses the whole flash while the device is still as it was.
TEST(Flash, WriteOnceMemoryIsCheckedBeforeAnythingIsErased) {
    const Bytes otp = pattern(32, 31);
    Bytes other = otp;
    other[5] ^= 0x40;
    const struct {
        const char* name;
        Bytes heldBefore;  // at 0x1FFF7800; empty: blank
        bool flashed;
    } rows[] = {
        {"blank", {}, true},
        {"holding the image already", otp, true},
        {"holding other bytes", other, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Device d;
        if (!row.heldBefore.empty()) d.arrived.rom->write(0x1FFF7800, row.heldBefore);
        FirmwareImage image;
        image.elements = {{0, 0x08004000, pattern(3000, 32)}, {2, 0x1FFF7800, otp}};
        image.settingsGiven = true;
        const client::FlashPlan plan = client::planFlash(image, d.facts, {.otp = true});
        const client::RunOutcome run = client::executeFlash(d.handle, d.facts, plan, true, {});
        EXPECT_EQ(run.ok, row.flashed) << run.message;
        if (row.flashed) {
            EXPECT_TRUE(d.arrived.rom->read(0x1FFF7800, otp.size()) == otp);
            continue;
        }
        EXPECT_NE(run.message.find("0x1fff7805"), std::string::npos) << run.message;
        EXPECT_FALSE(run.transient) << "running it again cannot change that";
        EXPECT_TRUE(d.erases().empty());
        EXPECT_TRUE(d.flash() == d.before);
        EXPECT_TRUE(d.arrived.rom->read(0x1FFF7800, other.size()) == other);
    }
}

// A failed step is recovered and sent again at most three times: three failures in a row are
// survived, a fourth ends the run. Occurrences count from the first erase command (the
// recovery sends neither DNLOAD nor UPLOAD, so each failure is one attempt).
TEST(Flash, AFailedStepIsResentAtMostThreeTimes) {
    const Bytes data = pattern(2 * 2048 + 100, 41);
    const struct {
        const char* name;
        sim::FaultRequest request;
        std::uint32_t nth;
        bool read;  // a read of what was flashed, not the flash
    } steps[] = {
        {"erase command", sim::FaultRequest::Dnload, 1, false},
        {"second block", sim::FaultRequest::Dnload, 4, false},
        {"upload", sim::FaultRequest::Upload, 2, true},
    };
    for (const auto& step : steps) {
        for (const std::uint32_t failures : {3u, 4u}) {
            SCOPED_TRACE(testing::Message() << step.name << ", " << failures << " failures");
            Device d;
            FirmwareImage image;
            image.elements.push_back({0, 0x08004000, data});
            if (step.read) {
                ASSERT_TRUE(d.flashImage(image).ok);
            }
            d.arrived.rom->clearFaults();
            d.arrived.rom->addFault({step.request, step.nth, failures, sim::FaultAction::Stall, {}});
            Bytes read;
            const client::RunOutcome run =
                step.read ? client::readMemory(d.handle, d.facts, 0, 0x08004000, data.size(), read, {})
                          : d.flashImage(image);
            EXPECT_EQ(run.ok, failures == 3) << run.message;
            if (run.ok) {
                EXPECT_TRUE(step.read ? read == data : d.arrived.rom->read(0x08004000, data.size()) == data);
            }
        }
    }
}

// A failed flash says that the same command again finishes the job only when it failed on the
// way to the device; not when the device refused the work or its memory reads back otherwise.
TEST(Flash, ARerunIsPromisedOnlyWhereItFinishesTheJob) {
    // Sectors 0 and 1 writable but not erasable ("e"): the plan writes over what they hold.
    const sim::SegmentConfig unerasable{"@Internal Flash  /0x08000000/02*016Ke,02*016Kg,01*064Kg,07*128Kg",
                                        sim::SegmentKind::Flash, {}};
    const struct {
        const char* name;
        std::vector<sim::SegmentConfig> segments;  // empty: the blank bootloader's
        std::optional<sim::Fault> fault;
        const char* message;
        bool transient;
    } rows[] = {
        {"a block stalled four times", {}, sim::Fault{sim::FaultRequest::Dnload, 4, 4, sim::FaultAction::Stall, {}},
         "download failed writing 0x08004800: stalled", true},
        {"the device gone", {}, sim::Fault{sim::FaultRequest::Dnload, 4, 1, sim::FaultAction::Unplug, {}},
         "download failed writing 0x08004800: device gone", true},
        {"the device refuses the write", {unerasable}, std::nullopt,
         "download failed writing 0x08004000: device reported dfuERROR, bStatus 6", false},
        {"the memory reads back otherwise", {},
         sim::Fault{sim::FaultRequest::Upload, 1, 0, sim::FaultAction::Reply, Bytes(2048, 0)},
         "verify failed: memory differs from the image at 0x08004000", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Device d(row.segments.empty() ? presets::blankBootloader() : withSegments(row.segments));
        if (row.fault) d.arrived.rom->addFault(*row.fault);
        FirmwareImage image;
        image.elements.push_back({0, 0x08004000, pattern(2 * 2048 + 100, 44)});
        const client::RunOutcome run = d.flashImage(image);
        EXPECT_FALSE(run.ok);
        EXPECT_NE(run.message.find(row.message), std::string::npos) << run.message;
        EXPECT_EQ(run.transient, row.transient) << run.message;
    }
}

// bwPollTimeout is 24 bits wide: a device that asks for 0x010203 ms between polls is given them.
TEST(Flash, TheBusyPollTimeOutIsTwentyFourBitsWide) {
    Device d;
    ASSERT_EQ(client::BeginDfu(d.handle, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(client::SetIdle(d.handle).status, STATUS_SUCCESS);
    d.arrived.rom->clearFaults();
    // OK, bwPollTimeout 0x010203, dfuDNBUSY: in place of the device's first answer.
    d.arrived.rom->addFault(
        {sim::FaultRequest::GetStatus, 1, 1, sim::FaultAction::Reply, {0x00, 0x03, 0x02, 0x01, 0x04, 0x00}});
    client::DfuLink link(d.handle, d.facts.interfaceNumber, d.facts.transferSize);
    const std::uint64_t start = host::user::clockMicros();
    EXPECT_TRUE(link.setAddressPointer(0x08004000).ok());
    const std::uint64_t waitedMs = (host::user::clockMicros() - start) / 1000;
    EXPECT_GE(waitedMs, 0x010203u);
    EXPECT_LT(waitedMs, 0x010203u + 1000);
}

// An UPLOAD answered with fewer bytes than asked ends the upload early: the read is not done,
// and neither a read nor a verify takes the short answer for the memory.
TEST(Flash, AShortUploadAnswerIsNeverTakenForTheMemory) {
    const Bytes data = pattern(3 * 2048, 42);
    for (const std::uint32_t shortAnswers : {1u, 0u}) {  // one, then every one
        SCOPED_TRACE(shortAnswers);
        Device d;
        FirmwareImage image;
        image.elements.push_back({0, 0x08004000, data});
        ASSERT_TRUE(d.flashImage(image).ok);
        // The right bytes, only too few of them.
        const Bytes truncated(data.begin() + 2048, data.begin() + 2048 + 100);
        d.arrived.rom->clearFaults();
        d.arrived.rom->addFault({sim::FaultRequest::Upload, 2, shortAnswers, sim::FaultAction::Reply, truncated});
        Bytes read;
        const client::RunOutcome got = client::readMemory(d.handle, d.facts, 0, 0x08004000, data.size(), read, {});
        if (shortAnswers == 1) {
            ASSERT_TRUE(got.ok) << got.message;
            EXPECT_TRUE(read == data) << "the short block was read again";
            continue;
        }
        EXPECT_FALSE(got.ok);
        EXPECT_NE(got.message.find("read failed reading 0x08004800"), std::string::npos) << got.message;
        d.arrived.rom->clearFaults();
        d.arrived.rom->addFault({sim::FaultRequest::Upload, 2, 0, sim::FaultAction::Reply, truncated});
        const client::RunOutcome verified = client::verifyImage(d.handle, d.facts, image, {});
        EXPECT_FALSE(verified.ok);
        EXPECT_EQ(verified.verifiedBytes, 0u) << verified.message;
    }
}

}  // namespace
}  // namespace ostdfu_test
