// The control interface between a device that lies and a caller that attacks: descriptors whose
// lengths claim more than was received, unbounded polls, a handle closing while it begins a
// session, and what the handle information gives away.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "client/updater.h"
#include "driver/callbacks.h"
#include "host/clock.h"
#include "host/io/user_mode.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace ostdfu_test {
namespace {

constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kDeviceType = 0x01;
constexpr std::uint8_t kConfigurationType = 0x02;

// Occurrences (1-based, among the GET_DESCRIPTOR requests of an arrival) of the reads of one
// descriptor type asking for more than `longerThan` bytes.
std::vector<std::uint32_t> readsOf(const sim::BootloaderConfig& config, std::uint8_t type,
                                   unsigned longerThan) {
    ArrivalHarness h;
    const Arrived reference = h.plug(config);
    std::vector<std::uint32_t> found;
    std::uint32_t nth = 0;
    for (const auto& t : reference.rom->transfers()) {
        if (t.bRequest() != kGetDescriptor || (t.bmRequestType() & 0x60) != 0) {
            continue;
        }
        ++nth;
        if (t.setup[3] == type && static_cast<unsigned>(t.setup[6] | t.setup[7] << 8) > longerThan) {
            found.push_back(nth);
        }
    }
    EXPECT_FALSE(found.empty());
    return found;
}

// A bootloader that answers those reads with `reply` and everything else truly.
Arrived plugLying(ArrivalHarness& h, const sim::BootloaderConfig& config,
                  const std::vector<std::uint32_t>& reads, const std::vector<std::uint8_t>& reply) {
    auto rom = std::make_shared<sim::Bootloader>(config, h.machine().clock());
    for (std::uint32_t nth : reads) {
        rom->addFault({sim::FaultRequest::GetDescriptor, nth, 1, sim::FaultAction::Reply, reply});
    }
    Arrived arrived = h.plug(std::shared_ptr<host::DeviceEnd>(rom));
    arrived.rom = rom;
    return arrived;
}

std::vector<std::uint8_t> trueDescriptor(const sim::BootloaderConfig& config, bool device) {
    host::VirtualClock clock;
    const sim::Bootloader rom(config, clock);
    return device ? rom.descriptors().device : rom.descriptors().configuration;
}

TEST(LyingDevice, DeviceDescriptorRepliesHoldTheRecordAndNothingBehindIt) {
    const sim::BootloaderConfig config = presets::presetFor(41);
    auto bytes = trueDescriptor(config, true);
    bytes[0] = 0xFF;  // bLength
    const auto reads = readsOf(config, kDeviceType, 0);
    ArrivalHarness h;
    const Arrived device = plugLying(h, config, reads, bytes);
    auto opened = client::open();
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    const auto reply = client::GetUsbDescriptor(opened.handle, DESCRIPTOR_SELECTOR_DEVICE, 0, 255);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, 18u);
    ASSERT_GE(reply.bytes.size(), 18u);
    EXPECT_EQ(std::vector<std::uint8_t>(reply.bytes.begin(), reply.bytes.begin() + 18), bytes);
}

TEST(LyingDevice, ConfigurationRepliesHoldWhatWasReceived) {
    const sim::BootloaderConfig config = presets::presetFor(41);
    auto bytes = trueDescriptor(config, false);
    const std::size_t received = bytes.size();
    ASSERT_LT(received, 0x100u);
    bytes[2] = 0x00;  // the full answer claims 256 bytes, the header did not
    bytes[3] = 0x01;
    const auto reads = readsOf(config, kConfigurationType, 9);
    ArrivalHarness h;
    const Arrived device = plugLying(h, config, reads, bytes);
    ASSERT_NE(device.context()->ConfigurationDescriptor, nullptr);
    EXPECT_EQ(device.context()->ConfigurationDescriptor->wTotalLength, received);
    EXPECT_NE(device.context()->DfuInterfaceDescriptor, nullptr) << "the walk still finds it";

    auto opened = client::open();
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    const auto reply =
        client::GetUsbDescriptor(opened.handle, DESCRIPTOR_SELECTOR_CONFIGURATION, 0, 0x200);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, received);
}

// ---- the caller ----------------------------------------------------------------------------

struct OpenDevice {
    ArrivalHarness h;
    Arrived device;
    client::Handle handle;

    OpenDevice() {
        device = h.plug(presets::presetFor(41));
        auto opened = client::open();
        EXPECT_EQ(opened.status, STATUS_SUCCESS);
        handle = std::move(opened.handle);
    }
    FDO_DATA* fdo() const { return device.context(); }
};

TEST(AttackingCaller, PollsBeyondTheirBoundsAreRefusedBeforeAnyTraffic) {
    struct Case {
        ULONG iterations, delayMs;
        NTSTATUS status;
    };
    const Case cases[] = {
        {1, 0xFFFFFFFF, STATUS_INVALID_PARAMETER},      // one sleep of 49 days
        {1, POLL_MAX_DELAY_MS + 1, STATUS_INVALID_PARAMETER},
        {POLL_MAX_ITERATIONS + 1, 0, STATUS_INVALID_PARAMETER},
        {61, 1000, STATUS_INVALID_PARAMETER},           // a minute and one second in all
        {0xFFFFFFFF, 0xFFFFFFFF, STATUS_INVALID_PARAMETER},  // the product overflows 32 bits
        {60, 1000, STATUS_SUCCESS},
    };
    OpenDevice d;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.iterations << " x " << c.delayMs << " ms");
        d.h.machine().waits().clear();
        const std::size_t before = d.device.rom->transfers().size();
        EXPECT_EQ(client::PollDevice(d.handle, c.iterations, c.delayMs).status, c.status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(d.device.rom->transfers().size(), before);
            EXPECT_TRUE(d.h.machine().waits().delaysMs().empty());
        } else {
            EXPECT_EQ(d.h.machine().waits().delaysMs(),
                      std::vector<std::uint64_t>(c.iterations, c.delayMs));
        }
    }
}

TEST(AttackingCaller, HandleInformationIsStablePerDeviceAndNoAddress) {
    ArrivalHarness h;
    presets::PresetOptions other;
    other.descriptorSerial = "000000000002";
    const Arrived first = h.plug(presets::presetFor(41), Port{0, {1}});
    const Arrived second = h.plug(presets::presetFor(41, other), Port{0, {2}});
    auto a = client::open(GUID_DEVINTERFACE_OSTDFU_DRIVER, 0);
    auto b = client::open(GUID_DEVINTERFACE_OSTDFU_DRIVER, 1);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    ASSERT_EQ(b.status, STATUS_SUCCESS);
    const ULONG_PTR valueA = client::GetDeviceHandleInfo(a.handle).record.DeviceInstance;
    const ULONG_PTR valueB = client::GetDeviceHandleInfo(b.handle).record.DeviceInstance;
    EXPECT_NE(valueA, 0u);
    EXPECT_NE(valueA, valueB);
    EXPECT_EQ(client::GetDeviceHandleInfo(a.handle).record.DeviceInstance, valueA);
    auto again = client::open(GUID_DEVINTERFACE_OSTDFU_DRIVER, 0);
    EXPECT_EQ(client::GetDeviceHandleInfo(again.handle).record.DeviceInstance, valueA)
        << "the same for every handle of the device";
    for (const Arrived* device : {&first, &second}) {
        const FDO_DATA* fdo = device->context();
        for (const void* address : {static_cast<const void*>(fdo->DeviceObject),
                                    static_cast<const void*>(fdo),
                                    static_cast<const void*>(device->device())}) {
            const auto value = reinterpret_cast<ULONG_PTR>(address);
            EXPECT_NE(valueA, value);
            EXPECT_NE(valueB, value);
        }
    }
}

// The cleanup of a handle ran while a begin-DFU of the same handle had not yet taken the
// session: the late request must not leave the closing handle as owner.
TEST(AttackingCaller, ABeginAfterItsHandlesCleanupTakesNoSession) {
    OpenDevice d;
    auto second = client::open();
    ASSERT_EQ(second.status, STATUS_SUCCESS);
    ASSERT_EQ(client::BeginDfu(d.handle, 0).status, STATUS_SUCCESS);
    const WDFFILEOBJECT file = d.fdo()->DfuSessionOwner;
    ASSERT_NE(file, nullptr);
    OstDFUDeviceEvtFileCleanup(file);
    EXPECT_EQ(d.fdo()->DfuSessionOwner, nullptr);

    EXPECT_EQ(client::BeginDfu(d.handle, 0).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(d.fdo()->DfuSessionOwner, nullptr);
    EXPECT_EQ(client::BeginDfu(second.handle, 0).status, STATUS_SUCCESS);
}

// The same race with real threads, for ThreadSanitizer: whichever way each round goes, the
// session is free once the closing handle is gone.
TEST(AttackingCaller, BeginRacingItsHandlesCloseNeverStrandsTheSession) {
    OpenDevice d;
    d.handle.close();
    for (int round = 0; round < 40; ++round) {
        auto racer = client::open();
        ASSERT_EQ(racer.status, STATUS_SUCCESS);
        const host::UserHandle raw = racer.handle.raw();
        std::thread begin([&] { client::BeginDfu(racer.handle, 0); });
        std::thread close([raw] { host::user::closeHandle(raw); });
        begin.join();
        close.join();
        auto next = client::open();
        ASSERT_EQ(next.status, STATUS_SUCCESS);
        ASSERT_EQ(client::BeginDfu(next.handle, 0).status, STATUS_SUCCESS) << "round " << round;
    }
}

}  // namespace
}  // namespace ostdfu_test
