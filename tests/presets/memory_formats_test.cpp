// The memory writers of the model, checked against the byte formats readers rely on.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "host/clock.h"
#include "sim/bootloader.h"
#include "sim/image_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A 2 KiB-paged flash and an identity area, nothing else.
sim::BootloaderConfig smallDevice() {
    sim::BootloaderConfig config;
    config.segments = {{"@Internal Flash  /0x08000000/016*0002Kg", sim::SegmentKind::Flash, {}},
                       {"@OTP Memory /0x1FFF7800/01*512 e,01*016 e", sim::SegmentKind::Otp, {}}};
    return config;
}

TEST(EepromWriter, SixValueRecordSerialRoundTrips) {
    // Serial 0x665544332211 at first index 3, six bytes: one record, then the end mark.
    sim::EepromSerial serial;
    serial.serial = 0x0000665544332211;
    serial.firstKey = 3;
    serial.length = 6;
    EXPECT_EQ(sim::encodeEepromSerial(sim::EepromFormat::SixValueRecords, serial),
              (Bytes{0x00, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));

    sim::BootloaderConfig config = smallDevice();
    sim::ImageBuilder(config).eepromSection(0x08007800, 0x800, sim::EepromFormat::SixValueRecords, serial);
    host::VirtualClock clock;
    sim::Bootloader device(config, clock);
    EXPECT_EQ(device.read(0x08007800, 16),
              (Bytes{0x00, 0x03, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(EepromWriter, RefusesWhatTheFormatCannotHold) {
    struct Case {
        const char* what;
        sim::EepromFormat format;
        std::uint16_t firstKey;
        std::uint8_t length;
        bool preceding;
    };
    const Case cases[] = {
        {"format-1 key 0xFF is the end mark", sim::EepromFormat::KeyValuePairs, 0xF8, 8, false},
        {"format-2 base 0xFFFF is the end mark", sim::EepromFormat::SixValueRecords, 0xFFF9, 8, false},
        {"no key before key 0 (format 1)", sim::EepromFormat::KeyValuePairs, 0, 8, true},
        {"no key before key 0 (format 2)", sim::EepromFormat::SixValueRecords, 0, 8, true},
        {"empty serial", sim::EepromFormat::SixValueRecords, 1, 0, false},
        {"serial longer than 8 bytes", sim::EepromFormat::SixValueRecords, 1, 9, false},
    };
    for (const Case& c : cases) {
        sim::EepromSerial serial;
        serial.firstKey = c.firstKey;
        serial.length = c.length;
        if (c.preceding) serial.precedingByte = 0;
        EXPECT_THROW(sim::encodeEepromSerial(c.format, serial), std::invalid_argument) << c.what;
    }
    sim::EepromSerial last;
    last.firstKey = 0xF7;  // keys 0xF7..0xFE: the highest that fit
    EXPECT_NO_THROW(sim::encodeEepromSerial(sim::EepromFormat::KeyValuePairs, last));
}

TEST(EepromWriter, SectionIsErasedAfterTheEntriesAndMustHoldThem) {
    sim::BootloaderConfig config = smallDevice();
    const Bytes stale(64, 0x00);  // would read as entries of key 0
    sim::ImageBuilder(config).put(0x08007800, stale);
    sim::EepromSerial serial;
    serial.firstKey = 2;
    sim::ImageBuilder(config).eepromSection(0x08007800, 0x800, sim::EepromFormat::KeyValuePairs, serial);
    host::VirtualClock clock;
    sim::Bootloader device(config, clock);
    EXPECT_EQ(device.read(0x08007810, 0x7F0), Bytes(0x7F0, 0xFF));

    EXPECT_THROW(sim::ImageBuilder(config).eepromSection(0x08007800, 15, sim::EepromFormat::KeyValuePairs, serial),
                 std::invalid_argument);
}

TEST(VersionWriter, LayoutsPutTheWordsWhereReadersTakeThem) {
    sim::BootloaderConfig config = smallDevice();
    sim::ImageBuilder(config)
        .versionBlock(0x08000000, 2048, sim::VersionLayout::BigEndianLastWord, 0x012A)
        .versionBlock(0x08000800, 2048, sim::VersionLayout::LittleEndianAt4, 0x0203, 0x9999)
        .versionBlock(0x08001000, 2048, sim::VersionLayout::LittleEndianAt8, 0x0105, 0x0007);
    host::VirtualClock clock;
    sim::Bootloader device(config, clock);
    EXPECT_EQ(device.read(0x08000800 - 8, 8), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x2A}));
    EXPECT_EQ(device.read(0x08001000 - 8, 8), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x03, 0x02, 0xFF, 0xFF}))
        << "no secondary word in layout 2";
    EXPECT_EQ(device.read(0x08001800 - 8, 8), (Bytes{0x05, 0x01, 0xFF, 0xFF, 0x07, 0x00, 0xFF, 0xFF}));

    EXPECT_THROW(sim::ImageBuilder(config).versionBlock(0x08000000, 7, sim::VersionLayout::LittleEndianAt8, 1),
                 std::invalid_argument);
    EXPECT_THROW(sim::ImageBuilder(config).versionBlock(0xFFFFF800, 4096, sim::VersionLayout::LittleEndianAt4, 1),
                 std::invalid_argument);
}

TEST(OptionBytesWriter, ProductCodeBesideFactoryValues) {
    const auto coded = sim::encodeOptionBytes(5);
    EXPECT_EQ(coded[4] | coded[6], 5);
    for (std::size_t i = 0; i < coded.size(); i += 2) {
        EXPECT_EQ(coded[i] ^ coded[i + 1], 0xFF) << "each option byte is stored with its complement";
    }
    EXPECT_EQ(coded[0], 0xA5) << "not read-protected";
    const auto factory = sim::encodeOptionBytes(std::nullopt);
    EXPECT_EQ(factory[4] | factory[6], 0xFF) << "erased data bytes name no product";
}

}  // namespace
