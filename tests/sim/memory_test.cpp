#include <gtest/gtest.h>

#include <stdexcept>
#include <string_view>
#include <thread>

#include "sim/bootloader.h"
#include "sim/image_builder.h"
#include "sim/memory.h"
#include "sim_test_host.h"

namespace {

using simtest::Bytes;
using simtest::FakeClock;

TEST(Memory, StartsErasedExceptForTheImages) {
    const sim::DeviceMemory memory(sim::BootloaderConfig::defaultSegments());
    EXPECT_EQ(memory.read(0x08000000, 4), Bytes(4, 0xFF));
    EXPECT_EQ(memory.read(0x1FFFC000, 2), (Bytes{0xEF, 0xAA})) << "USER, then RDP level 0";
    EXPECT_EQ(memory.read(0x1FFF7A0F, 1), Bytes{0xFF}) << "last OTP lock byte";
    EXPECT_THROW(memory.read(0x1FFF7A0F, 2), std::out_of_range);
    EXPECT_THROW(memory.read(0x20000000, 1), std::out_of_range);
}

TEST(Memory, Crc32CoversEveryRegionInAddressOrder) {
    constexpr std::string_view check = "123456789";
    EXPECT_EQ(sim::crc32Update(0, {reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}), 0xCBF43926u);

    // Two one-byte segments given in reverse address order hash as "AB".
    const sim::DeviceMemory memory({{"@B/0x00000101/1*1Bg", sim::SegmentKind::Flash, {'B'}},
                                    {"@A/0x00000100/1*1Bg", sim::SegmentKind::Flash, {'A'}}});
    const std::uint8_t ab[] = {'A', 'B'};
    EXPECT_EQ(memory.crc32(), sim::crc32Update(0, ab));
}

TEST(Memory, ReadsStopAtSectorsWithoutReadAccess) {
    sim::DeviceMemory memory({{"@Mixed/0x00001000/2*4Bg,1*4Bd,1*4Bg", sim::SegmentKind::Flash, {}}});
    Bytes out(16);
    EXPECT_EQ(memory.readForHost(0x1000, out), 8u) << "the write-only sector ends the read";
    EXPECT_EQ(memory.readForHost(0x1008, out), 0u);
    EXPECT_EQ(memory.program(0x1008, Bytes{1, 2}), sim::MemoryResult::Ok);
    EXPECT_EQ(memory.erasePage(0x1008), sim::MemoryResult::AccessDenied) << "'d' is not erasable";
}

TEST(ImageBuilder, PlacesBytesByAddressInTheRightSegment) {
    sim::BootloaderConfig config;
    sim::ImageBuilder(config)
        .putLe16(0x1FFF7808, 0x1234)
        .put(0x1FFF7A00, Bytes{0x00})  // the lock block follows the 512-byte data block
        .putLe32(0x08010000, 0xDEADBEEF);
    FakeClock clock;
    sim::Bootloader device(config, clock);
    EXPECT_EQ(device.read(0x1FFF7806, 4), (Bytes{0xFF, 0xFF, 0x34, 0x12}));
    EXPECT_EQ(device.read(0x1FFF7A00, 1), Bytes{0x00});
    EXPECT_EQ(device.read(0x0800FFFF, 5), (Bytes{0xFF, 0xEF, 0xBE, 0xAD, 0xDE}));
    EXPECT_EQ(device.read(0x1FFFC000, 2), (Bytes{0xEF, 0xAA})) << "other images stay";

    EXPECT_THROW(sim::ImageBuilder(config).put(0x1FFFC00F, Bytes{1, 2}), std::invalid_argument);
    EXPECT_THROW(sim::ImageBuilder(config).put(0x30000000, Bytes{1}), std::invalid_argument);
}

TEST(Memory, ManyThreadsMayTalkAtOnce) {
    FakeClock clock;
    sim::Bootloader device(sim::BootloaderConfig{}, clock);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&device] {
            simtest::DfuHost host(device);
            for (int i = 0; i < 100; ++i) {
                host.getState();
                device.state();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(device.transfers().size(), 400u);
}

}  // namespace
