#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/bootloader.h"
#include "sim_test_host.h"

namespace {

using host::SetupPacket;
using host::TransferStatus;
using simtest::Bytes;
using simtest::FakeClock;

// The F4 discovery board's ROM (bootloader 21.00) as its lsusb capture shows it.
sim::BootloaderConfig f4Capture() {
    sim::BootloaderConfig config;
    config.bcdDevice = 0x2100;
    config.serial = "315A28A0B956";
    config.segments = {
        {"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", sim::SegmentKind::Flash, {}},
        {"@Option Bytes  /0x1FFFC000/01*016 g", sim::SegmentKind::OptionBytes, {}},
        {"@OTP Memory /0x1FFF7800/01*512 g,01*016 g", sim::SegmentKind::Otp, {}},
        {"@Device Feature/0xFFFF0000/01*004 g", sim::SegmentKind::DeviceFeature, {}},
    };
    return config;
}

// The F107's ROM (bootloader 20.00).
sim::BootloaderConfig f107Capture() {
    sim::BootloaderConfig config;
    config.bcdDevice = 0x2000;
    config.product = "STM32 0x418 DFU Bootloader";
    config.serial = "STM32";
    config.deviceStatus = 0x0000;  // lsusb: "Device Status: 0x0000 (Bus Powered)"
    config.segments = {
        {"@Internal Flash  /0x08000000/128*002Kg", sim::SegmentKind::Flash, {}},
        {"@Option Bytes  /0x1FFFF800/01*016 g", sim::SegmentKind::OptionBytes, {}},
    };
    return config;
}

Bytes stringDescriptor(const std::string& ascii) {
    Bytes out{static_cast<std::uint8_t>(2 + 2 * ascii.size()), 0x03};
    for (char c : ascii) out.insert(out.end(), {static_cast<std::uint8_t>(c), 0x00});
    return out;
}

std::pair<host::TransferResult, Bytes> standardIn(sim::Bootloader& device, std::uint8_t type, std::uint8_t request,
                                                   std::uint16_t value, std::uint16_t index, std::uint16_t length) {
    Bytes buffer(length, 0xCC);
    const host::TransferResult result = device.controlTransfer(SetupPacket{type, request, value, index, length}, buffer, 500);
    buffer.resize(result.actualLength);
    return {result, buffer};
}

Bytes getDescriptor(sim::Bootloader& device, std::uint8_t type, std::uint8_t index, std::uint16_t length = 255) {
    auto [result, bytes] = standardIn(device, 0x80, 6, static_cast<std::uint16_t>(type << 8 | index), 0x0409, length);
    return result.status == TransferStatus::Completed ? bytes : Bytes{0xDE, 0xAD};
}

TransferStatus standardOut(sim::Bootloader& device, std::uint8_t type, std::uint8_t request, std::uint16_t value,
                           std::uint16_t index) {
    return device.controlTransfer(SetupPacket{type, request, value, index, 0}, {}, 500).status;
}

TEST(Descriptors, MatchTheF4CaptureByteForByte) {
    FakeClock clock;
    sim::Bootloader device(f4Capture(), clock);
    const Bytes expectedDevice = {
        0x12, 0x01, 0x00, 0x01,  // bLength, DEVICE, bcdUSB 1.00
        0x00, 0x00, 0x00, 0x40,  // class at interface level, bMaxPacketSize0 64
        0x83, 0x04, 0x11, 0xDF,  // 0483:DF11
        0x00, 0x21,              // bcdDevice 21.00
        0x01, 0x02, 0x03, 0x01,  // strings 1, 2, 3; one configuration
    };
    const Bytes expectedConfiguration = {
        0x09, 0x02, 0x36, 0x00, 0x01, 0x01, 0x00, 0xC0, 0x32,  // wTotalLength 54, 1 interface, self-powered, 100 mA
        0x09, 0x04, 0x00, 0x00, 0x00, 0xFE, 0x01, 0x02, 0x04,  // alt 0, DFU (FE/01/02), no endpoints, string 4
        0x09, 0x04, 0x00, 0x01, 0x00, 0xFE, 0x01, 0x02, 0x05,  // alt 1, string 5
        0x09, 0x04, 0x00, 0x02, 0x00, 0xFE, 0x01, 0x02, 0x06,  // alt 2, string 6
        0x09, 0x04, 0x00, 0x03, 0x00, 0xFE, 0x01, 0x02, 0x07,  // alt 3, string 7
        0x09, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x08, 0x1A, 0x01,  // functional: 0x0B, 255 ms, 2048 bytes, DFU 1.1a
    };
    EXPECT_EQ(getDescriptor(device, 1, 0), expectedDevice);
    EXPECT_EQ(getDescriptor(device, 2, 0), expectedConfiguration);
    EXPECT_EQ(getDescriptor(device, 3, 0), (Bytes{0x04, 0x03, 0x09, 0x04}));
    EXPECT_EQ(getDescriptor(device, 3, 1), stringDescriptor("STMicroelectronics"));
    EXPECT_EQ(getDescriptor(device, 3, 2), stringDescriptor("STM32  BOOTLOADER"));
    EXPECT_EQ(getDescriptor(device, 3, 3), stringDescriptor("315A28A0B956"));
    EXPECT_EQ(getDescriptor(device, 3, 6), stringDescriptor("@OTP Memory /0x1FFF7800/01*512 g,01*016 g"));
    EXPECT_EQ(getDescriptor(device, 3, 7), stringDescriptor("@Device Feature/0xFFFF0000/01*004 g"));
    EXPECT_EQ(getDescriptor(device, 3, 8), (Bytes{0xDE, 0xAD})) << "no string 8";
    auto [status, bytes] = standardIn(device, 0x80, 0, 0, 0, 2);
    EXPECT_EQ(bytes, (Bytes{0x01, 0x00})) << "self-powered";
}

TEST(Descriptors, MatchTheF107Capture) {
    FakeClock clock;
    sim::Bootloader device(f107Capture(), clock);
    const Bytes configuration = getDescriptor(device, 2, 0);
    ASSERT_EQ(configuration.size(), 36u);
    EXPECT_EQ(Bytes(configuration.begin(), configuration.begin() + 4), (Bytes{0x09, 0x02, 0x24, 0x00}));
    EXPECT_EQ(configuration[27 + 1], 0x21) << "functional descriptor after alternate setting 1";
    EXPECT_EQ(getDescriptor(device, 1, 0)[13], 0x20) << "bcdDevice 20.00";
    EXPECT_EQ(getDescriptor(device, 3, 2), stringDescriptor("STM32 0x418 DFU Bootloader"));
    EXPECT_EQ(getDescriptor(device, 3, 3), stringDescriptor("STM32"));
    EXPECT_EQ(getDescriptor(device, 3, 4), stringDescriptor("@Internal Flash  /0x08000000/128*002Kg"));
    EXPECT_EQ(standardIn(device, 0x80, 0, 0, 0, 2).second, (Bytes{0x00, 0x00}));
}

TEST(Descriptors, AnswerAnyLengthAndTheQualifierOnlyWhenConfigured) {
    FakeClock clock;
    sim::Bootloader rom(sim::BootloaderConfig{}, clock);
    EXPECT_EQ(getDescriptor(rom, 2, 0, 9).size(), 9u) << "the header alone, to learn wTotalLength";
    EXPECT_EQ(getDescriptor(rom, 2, 0, 4096).size(), 54u) << "a short answer to a long request";
    EXPECT_EQ(getDescriptor(rom, 1, 0, 8).size(), 8u);
    EXPECT_EQ(getDescriptor(rom, 2, 1), (Bytes{0xDE, 0xAD})) << "one configuration only";
    EXPECT_EQ(getDescriptor(rom, 6, 0), (Bytes{0xDE, 0xAD})) << "the ROMs stall the qualifier";

    sim::BootloaderConfig highSpeed;
    highSpeed.speed = host::UsbSpeed::High;
    highSpeed.bcdUSB = 0x0200;
    highSpeed.answersDeviceQualifier = true;
    sim::Bootloader usb2(highSpeed, clock);
    EXPECT_EQ(usb2.speed(), host::UsbSpeed::High);
    EXPECT_EQ(getDescriptor(usb2, 6, 0), (Bytes{0x0A, 0x06, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x01, 0x00}));
    const Bytes other = getDescriptor(usb2, 7, 0);
    ASSERT_EQ(other.size(), 54u);
    EXPECT_EQ(other[1], 0x07);
}

TEST(Descriptors, StandardRequestsTrackConfigurationAndAlternateSetting) {
    FakeClock clock;
    sim::Bootloader device(sim::BootloaderConfig{}, clock);
    EXPECT_EQ(standardOut(device, 0x01, 11, 1, 0), TransferStatus::Stalled) << "SET_INTERFACE before configuration";
    EXPECT_EQ(standardOut(device, 0x00, 5, 7, 0), TransferStatus::Completed) << "SET_ADDRESS";
    EXPECT_EQ(standardOut(device, 0x00, 9, 2, 0), TransferStatus::Stalled) << "no configuration 2";
    EXPECT_EQ(standardOut(device, 0x00, 9, 1, 0), TransferStatus::Completed);
    EXPECT_EQ(standardIn(device, 0x80, 8, 0, 0, 1).second, Bytes{1});
    EXPECT_EQ(standardOut(device, 0x01, 11, 3, 0), TransferStatus::Completed);
    EXPECT_EQ(device.alternateSetting(), 3);
    EXPECT_EQ(standardIn(device, 0x81, 10, 0, 0, 1).second, Bytes{3});
    EXPECT_EQ(standardOut(device, 0x01, 11, 4, 0), TransferStatus::Stalled) << "only four alternate settings";
    EXPECT_EQ(device.alternateSetting(), 3);
    EXPECT_EQ(standardOut(device, 0x01, 11, 0, 1), TransferStatus::Stalled) << "no interface 1";
    EXPECT_EQ(standardOut(device, 0x00, 3, 1, 0), TransferStatus::Stalled) << "SET_FEATURE is unknown";
    EXPECT_EQ(standardOut(device, 0x40, 1, 0, 0), TransferStatus::Stalled) << "vendor requests are unknown";
    EXPECT_EQ(standardIn(device, 0x82, 0, 0, 0x81, 2).first.status, TransferStatus::Stalled) << "no endpoint 1";
    // SET_CONFIGURATION puts every interface back on setting 0.
    EXPECT_EQ(standardOut(device, 0x00, 9, 1, 0), TransferStatus::Completed);
    EXPECT_EQ(device.alternateSetting(), 0);
}

TEST(Descriptors, ExtraInterfacesAreNumberedAroundTheDfuInterface) {
    sim::BootloaderConfig config;
    config.serial.reset();
    config.segments.resize(2);
    config.extraInterfaces = {{0x03, 0x00, 0x00, "Keys", true}, {0xFE, 0x01, 0x01, "", false}};
    FakeClock clock;
    sim::Bootloader device(config, clock);
    const Bytes c = getDescriptor(device, 2, 0);
    ASSERT_EQ(c.size(), 9u + 9 + 9 + 9 + 9 + 9);
    EXPECT_EQ(c[2], c.size());
    EXPECT_EQ(c[4], 3) << "bNumInterfaces";
    EXPECT_EQ(Bytes(c.begin() + 9, c.begin() + 18), (Bytes{0x09, 0x04, 0, 0, 0, 0x03, 0x00, 0x00, 0x05}));
    EXPECT_EQ(Bytes(c.begin() + 18, c.begin() + 27), (Bytes{0x09, 0x04, 1, 0, 0, 0xFE, 0x01, 0x02, 0x03}))
        << "without a serial the interface strings start at 3";
    EXPECT_EQ(c[36 + 1], 0x21) << "functional descriptor after the last DFU setting";
    EXPECT_EQ(Bytes(c.begin() + 45, c.end()), (Bytes{0x09, 0x04, 2, 0, 0, 0xFE, 0x01, 0x01, 0x00}));
    EXPECT_EQ(getDescriptor(device, 1, 0)[16], 0) << "iSerialNumber";
    EXPECT_EQ(getDescriptor(device, 3, 5), stringDescriptor("Keys"));

    // DFU requests go to interface 1 now.
    simtest::DfuHost wrongInterface(device, 0), dfu(device, 1);
    EXPECT_EQ(wrongInterface.getStatus().result, TransferStatus::Stalled);
    EXPECT_EQ(dfu.getStatus().state, 2);
}

TEST(Descriptors, RefuseConfigurationsNoDeviceCouldReport) {
    FakeClock clock;
    sim::BootloaderConfig longString;
    longString.product = std::string(127, 'x');
    EXPECT_THROW(sim::Bootloader(longString, clock), std::invalid_argument);

    sim::BootloaderConfig badUtf8;
    badUtf8.manufacturer = "\xC3";
    EXPECT_THROW(sim::Bootloader(badUtf8, clock), std::invalid_argument);

    sim::BootloaderConfig sameIndex;
    sameIndex.iProduct = 1;
    EXPECT_THROW(sim::Bootloader(sameIndex, clock), std::invalid_argument);

    sim::BootloaderConfig overlap;
    overlap.segments.push_back({"@Again/0x08010000/1*1Kg", sim::SegmentKind::Flash, {}});
    EXPECT_THROW(sim::Bootloader(overlap, clock), std::invalid_argument);

    sim::BootloaderConfig badLayout;
    badLayout.segments[0].layout = "@Internal Flash  /0x08000000/128*002Kz";
    EXPECT_THROW(sim::Bootloader(badLayout, clock), std::invalid_argument);

    sim::BootloaderConfig huge;
    huge.segments[0].layout = "@Huge/0x00000000/4095*1Mg";
    EXPECT_THROW(sim::Bootloader(huge, clock), std::invalid_argument);

    EXPECT_EQ(sim::makeStringDescriptor("\xE2\x82\xAC").size(), 4u) << "U+20AC is one UTF-16 unit";
    EXPECT_EQ(sim::makeStringDescriptor("\xF0\x9F\x98\x80").size(), 6u) << "U+1F600 is a surrogate pair";
}

}  // namespace
