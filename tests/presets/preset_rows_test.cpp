// Every product preset read back through the model: the identity the driver will find, the
// version words where and how the driver reads them, and the serial in the EEPROM section. The
// expectations are the product rows as published (docs/products.md), written out here.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <vector>

#include "host/clock.h"
#include "presets/presets.h"
#include "sim/bootloader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t A = 0x3A7C;
constexpr std::uint16_t B = 0x2E91;
constexpr int kByRecord = -1;
constexpr std::uint32_t kIdentityArea = 0x1FFF7800;
constexpr std::uint32_t kOptionBytes = 0x1FFFF800;
constexpr char kFallbackFlash[] = "@Internal Flash  /0x08000000/128*0002Kg";

struct Row {
    unsigned code;
    int optionByteCode;  // kByRecord: identified by its identity record
    std::uint16_t productId;
    std::uint16_t variant;
    std::uint16_t vendorId;
    std::uint32_t versionAddress;  // 0: no version
    std::uint16_t blockOffset;
    std::uint32_t readLength;  // 0: the transfer size
    int layout;
    std::uint32_t eepromAddress;  // 0: no section
    std::uint32_t sectionSize;
    std::uint16_t firstKey;
};

// clang-format off
constexpr std::array<Row, 43> kRows = {{
    {35, 1, 0x5023, 0, A, 0x08007800, 0, 0, 1, 0, 0, 0},
    {36, 3, 0x5024, 0, A, 0x0800F000, 0, 0, 1, 0x0800F800, 0x800, 2},
    {37, 4, 0x5025, 0, A, 0x0800F000, 0, 0, 1, 0x0800F800, 0x800, 2},
    {5, 5, 0x5005, 0, A, 0x08007800, 0, 1024, 1, 0, 0, 0},
    {41, kByRecord, 0x5029, 0, A, 0x08017000, 0, 0, 2, 0x0801F800, 0x800, 3},
    {42, kByRecord, 0x502A, 0, A, 0x0801F000, 0, 0, 2, 0x0801F800, 0x800, 3},
    {48, kByRecord, 0x5030, 0, A, 0x08020000, 63, 0, 2, 0x0800C000, 0x4000, 1},
    {49, kByRecord, 0x5031, 0, A, 0x08020000, 63, 0, 3, 0x0800C000, 0x4000, 1},
    {55, kByRecord, 0x5037, 0, A, 0x08020000, 63, 0, 2, 0x0800C000, 0x4000, 1},
    {58, kByRecord, 0x503A, 0, A, 0x08020000, 63, 0, 3, 0x0800C000, 0x4000, 3},
    {65, kByRecord, 0x5041, 0, A, 0x08020000, 63, 0, 2, 0x0800C000, 0x4000, 3},
    {66, kByRecord, 0x5042, 0, A, 0x0801E800, 0, 0, 2, 0x0801F000, 0x800, 3},
    {70, kByRecord, 0x5046, 0, A, 0x0801E800, 0, 0, 2, 0x0801F000, 0x800, 3},
    {73, kByRecord, 0x5049, 0, A, 0x0801F000, 0, 0, 2, 0, 0, 0},
    {45, kByRecord, 0x502D, 0, A, 0x081FF000, 1, 0, 2, 0, 0, 0},
    {44, kByRecord, 0x502C, 0, A, 0x08017000, 0, 0, 2, 0x0801F800, 0x800, 3},
    {23, kByRecord, 0x6017, 0, B, 0, 0, 0, 0, 0, 0, 0},
    {25, kByRecord, 0x6019, 0, B, 0, 0, 0, 0, 0, 0, 0},
    {28, kByRecord, 0x601C, 0, B, 0x0800C000, 7, 0, 2, 0, 0, 0},
    {29, kByRecord, 0x601D, 0, B, 0x0800C000, 7, 0, 2, 0, 0, 0},
    {30, kByRecord, 0x601E, 0, B, 0x0800C000, 7, 0, 2, 0, 0, 0},
    {38, kByRecord, 0x6026, 0, B, 0x08010000, 31, 0, 3, 0, 0, 0},
    {51, kByRecord, 0x6033, 0, B, 0x0800C000, 7, 0, 2, 0, 0, 0},
    {57, kByRecord, 0x6039, 0, B, 0x08020000, 63, 0, 3, 0x0800C000, 0x4000, 1},
    {60, kByRecord, 0x603C, 0, B, 0x0800C000, 7, 0, 2, 0, 0, 0},
    {59, kByRecord, 0x603B, 0, B, 0x0800C000, 7, 0, 2, 0, 0, 0},
    {64, kByRecord, 0x5040, 0, A, 0x0803F000, 0, 0, 2, 0x0803F800, 0x800, 1},
    {46, kByRecord, 0x502E, 0, A, 0x0803F000, 0, 0, 3, 0x0803F800, 0x800, 1},
    {47, kByRecord, 0x502F, 0, A, 0x0801F000, 0, 0, 3, 0x0801F800, 0x800, 1},
    {53, kByRecord, 0x5035, 0, A, 0x0803F000, 0, 0, 3, 0x0803F800, 0x800, 1},
    {54, kByRecord, 0x5036, 0, A, 0x0801F000, 0, 0, 3, 0x0801F800, 0x800, 1},
    {62, kByRecord, 0x503E, 0, A, 0x0801F000, 0, 0, 3, 0x0801F800, 0x800, 1},
    {67, kByRecord, 0x5043, 0x2000, A, 0x0803F000, 0, 0, 3, 0x0803F800, 0x800, 1},
    {68, kByRecord, 0x5043, 0x2001, A, 0x0803F000, 0, 0, 3, 0x0803F800, 0x800, 1},
    {69, kByRecord, 0x5043, 0x2002, A, 0x0803F000, 0, 0, 3, 0x0803F800, 0x800, 1},
    {27, kByRecord, 0x501B, 0, A, 0x0801F800, 0, 0, 2, 0x0803F800, 0x800, 0},
    {34, kByRecord, 0x5022, 0, A, 0x0801F800, 0, 0, 2, 0, 0, 0},
    {40, kByRecord, 0x5028, 0, A, 0x0801F800, 0, 0, 2, 0x0803F800, 0x800, 0},
    {52, kByRecord, 0x5034, 0, A, 0x0801F800, 0, 0, 2, 0x0803F800, 0x800, 0},
    {63, kByRecord, 0x503F, 0, A, 0x0801F800, 0, 0, 1, 0x0803F800, 0x800, 0},
    {71, kByRecord, 0x5047, 0, A, 0x0801F800, 0, 0, 1, 0x0803F800, 0x800, 0},
    {72, kByRecord, 0x5048, 0, A, 0x0801F800, 0, 0, 1, 0x0803F800, 0x800, 0},
    {61, kByRecord, 0x603D, 0, B, 0x081DC000, 1, 0, 2, 0x081FF000, 0x1000, 1},
}};
// clang-format on

void PrintTo(const Row& row, std::ostream* os) { *os << "product " << row.code; }

// The last 8 bytes of a version block, written from the layout definitions; bytes a layout does
// not use stay erased.
Bytes expectedTrailer(int layout, std::uint16_t version, std::uint16_t secondary) {
    Bytes t(8, 0xFF);
    const auto lo = [](std::uint16_t w) { return static_cast<std::uint8_t>(w & 0xFF); };
    const auto hi = [](std::uint16_t w) { return static_cast<std::uint8_t>(w >> 8); };
    switch (layout) {
        case 1: t[6] = hi(version), t[7] = lo(version); break;
        case 2: t[4] = lo(version), t[5] = hi(version); break;
        case 3: t[0] = lo(version), t[1] = hi(version), t[4] = lo(secondary), t[5] = hi(secondary); break;
    }
    return t;
}

// A format-2 lookup as a reader of the section does it: records every 8 bytes until base 0xFFFF,
// the last record covering the index wins.
std::optional<std::uint8_t> lookupFormat2(const Bytes& section, std::uint16_t index) {
    std::optional<std::uint8_t> value;
    for (std::size_t o = 0; o + 8 <= section.size(); o += 8) {
        const unsigned base = section[o] << 8 | section[o + 1];
        if (base == 0xFFFF) break;
        if (base <= index && index < base + 6) value = section[o + 2 + (index - base)];
    }
    return value;
}

class PresetRow : public testing::TestWithParam<Row> {
protected:
    host::VirtualClock clock_;
};

TEST_P(PresetRow, MemoryHoldsWhatTheDriverLooksFor) {
    const Row& row = GetParam();
    presets::PresetOptions options;
    options.serial = 0x0807060504030201;
    options.serialRecordByte = 0x99;
    options.firmwareVersion = 0x0A0B;
    options.firmwareSecondary = 0x0C0D;
    const sim::BootloaderConfig config = presets::presetFor(row.code, options);
    const sim::Bootloader device(config, clock_);

    if (row.optionByteCode != kByRecord) {
        ASSERT_EQ(config.segments.size(), 2u) << "no alternate setting 2, or the record would count";
        EXPECT_THROW(device.read(kIdentityArea, 8), std::out_of_range);
        const Bytes ob = device.read(kOptionBytes, 16);
        EXPECT_EQ(ob[4] | ob[6], row.optionByteCode);
        EXPECT_EQ(config.segments[0].layout == kFallbackFlash, row.code == 36)
            << "only the fallback product carries the fallback flash layout";
    } else {
        ASSERT_GE(config.segments.size(), 3u);
        const Bytes record = device.read(kIdentityArea, 40);
        EXPECT_EQ(Bytes(record.begin(), record.begin() + 6),
                  (Bytes{static_cast<std::uint8_t>(row.productId), static_cast<std::uint8_t>(row.productId >> 8),
                         static_cast<std::uint8_t>(row.vendorId), static_cast<std::uint8_t>(row.vendorId >> 8),
                         static_cast<std::uint8_t>(row.variant), static_cast<std::uint8_t>(row.variant >> 8)}));
        EXPECT_EQ(Bytes(record.begin() + 8, record.end()), Bytes(32, 0xFF)) << "later records erased";
    }

    if (row.versionAddress != 0) {
        const std::uint32_t n = row.readLength != 0 ? row.readLength : 2048;
        const std::uint32_t blockEnd = row.versionAddress + (row.blockOffset + 1) * n;
        EXPECT_EQ(device.read(blockEnd - 8, 8), expectedTrailer(row.layout, 0x0A0B, 0x0C0D))
            << "layout " << row.layout << " at block end 0x" << std::hex << blockEnd;
    }

    if (row.sectionSize != 0) {
        const Bytes section = device.read(row.eepromAddress, row.sectionSize);
        std::uint64_t serial = 0;
        for (unsigned j = 0; j < 8; ++j) {
            const auto value = lookupFormat2(section, static_cast<std::uint16_t>(row.firstKey + j));
            ASSERT_TRUE(value.has_value()) << "serial byte " << j;
            serial |= std::uint64_t{*value} << (8 * j);
        }
        EXPECT_EQ(serial, 0x0807060504030201u);
        if (row.firstKey != 0) {
            EXPECT_EQ(lookupFormat2(section, static_cast<std::uint16_t>(row.firstKey - 1)), 0x99);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllRows, PresetRow, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                             return "code" + std::to_string(info.param.code);
                         });

// The layout follows the vendor ID the driver will hold: a blank record vendor becomes the
// product's default vendor, any other stays and may pick another layout.
TEST(PresetOptions, RecordVendorIdDecidesTheVersionLayout) {
    host::VirtualClock clock;
    const std::uint32_t trailer = 0x0803FFF8;  // product 49: last 8 bytes of block 63
    presets::PresetOptions options;
    options.firmwareVersion = 0x0102;
    options.firmwareSecondary = 0x0304;

    options.vendorId = 0xFFFF;
    sim::Bootloader blankVendor(presets::presetFor(49, options), clock);
    EXPECT_EQ(blankVendor.read(kIdentityArea + 2, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(blankVendor.read(trailer, 8), expectedTrailer(3, 0x0102, 0x0304));

    options.vendorId = 0x0001;
    sim::Bootloader otherVendor(presets::presetFor(49, options), clock);
    EXPECT_EQ(otherVendor.read(trailer, 8), expectedTrailer(2, 0x0102, 0));
}

TEST(PresetOptions, TransferSizeMovesTheVersionBlock) {
    host::VirtualClock clock;
    presets::PresetOptions options;
    options.transferSize = 1024;
    options.firmwareVersion = 0x0456;
    const sim::BootloaderConfig config = presets::presetFor(48, options);
    EXPECT_EQ(config.functional.wTransferSize, 1024);
    sim::Bootloader device(config, clock);
    EXPECT_EQ(device.read(0x08020000 + 64 * 1024 - 8, 8), expectedTrailer(2, 0x0456, 0));
}

TEST(PresetOptions, Format1SectionOnRequest) {
    host::VirtualClock clock;
    presets::PresetOptions options;
    options.eepromFormat = sim::EepromFormat::KeyValuePairs;
    options.serial = 0x1122334455667788;
    options.serialRecordByte = 0x07;
    sim::Bootloader device(presets::presetFor(41, options), clock);
    EXPECT_EQ(device.read(0x0801F800, 20), (Bytes{2, 0x07, 3, 0x88, 4, 0x77, 5, 0x66, 6, 0x55, 7, 0x44, 8, 0x33,
                                                  9, 0x22, 10, 0x11, 0xFF, 0xFF}));
}

TEST(PresetOptions, IdentityAndDescriptorChoices) {
    host::VirtualClock clock;
    presets::PresetOptions options;
    options.variant = 0x2003;
    options.readProtected = true;
    options.descriptorSerial.reset();
    const sim::BootloaderConfig unknownVariant = presets::presetFor(67, options);
    EXPECT_TRUE(unknownVariant.readProtected);
    EXPECT_FALSE(unknownVariant.serial.has_value());
    EXPECT_EQ(sim::Bootloader(unknownVariant, clock).read(kIdentityArea + 4, 2), (Bytes{0x03, 0x20}));

    // With its code unreadable, the fallback product is still recognised by its flash layout.
    presets::PresetOptions noCode;
    noCode.optionByteCode = 0;
    const sim::BootloaderConfig fallback = presets::presetFor(36, noCode);
    EXPECT_EQ(fallback.segments[0].layout, kFallbackFlash);
    const Bytes ob = sim::Bootloader(fallback, clock).read(kOptionBytes, 16);
    EXPECT_EQ(ob[4] | ob[6], 0);
}

TEST(Presets, DevicesWithoutAProduct) {
    host::VirtualClock clock;
    sim::Bootloader blank(presets::blankBootloader(), clock);
    EXPECT_EQ(blank.read(kIdentityArea, 40), Bytes(40, 0xFF));

    sim::Bootloader unknown(presets::unidentifiedBootloader(0x7E57), clock);
    EXPECT_EQ(unknown.read(kIdentityArea, 10), (Bytes{0x57, 0x7E, 0x7C, 0x3A, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));

    EXPECT_THROW(presets::presetFor(24), std::invalid_argument) << "24 is the type of no product";
    EXPECT_THROW(presets::unidentifiedBootloader(0x5031), std::invalid_argument);
    EXPECT_THROW(presets::unidentifiedBootloader(0x5043), std::invalid_argument) << "a variant ID";
    EXPECT_THROW(presets::unidentifiedBootloader(0xFFFF), std::invalid_argument) << "an erased record";
}

}  // namespace
