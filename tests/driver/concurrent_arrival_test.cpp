// Devices that arrive side by side: each one ends as it would alone, the virtual clock moves by
// the longest arrival rather than the sum, and a removal asked for while a device starts
// follows its start.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "context/device_context.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"
#include "updater_interface/interface_guids.h"

namespace ostdfu_test {
namespace {

// Products of different kinds: sibling pairs, option-byte identities, EEPROM serials, and a
// read-protected part whose arrival takes the longest.
struct Product {
    unsigned code;
    bool readProtected;
};
constexpr Product kProducts[] = {{41, false}, {49, false}, {27, false}, {67, false},
                                 {36, false}, {35, false}, {48, false}, {41, true}};

Port portOf(std::size_t i) {
    return Port{0, {static_cast<USHORT>(1 + i / 4), static_cast<USHORT>(1 + i % 4)}};
}

sim::BootloaderConfig configOf(const Product& product, std::size_t i) {
    presets::PresetOptions options;
    options.serial = 0x1000 + i;
    options.descriptorSerial = "SN" + std::to_string(i);
    options.readProtected = product.readProtected;
    return presets::presetFor(product.code, options);
}

// What a device's arrival leaves that a user or a peer can see.
struct Outcome {
    host::PnpState state;
    ULONG productType;
    ULONG64 manufacturerSerial;
    ULONG readProtectState;
    LONG prepareHardwareDone;
    std::uint64_t machineMicros;  // how far the machine's clock moved
    std::vector<std::uint64_t> delaysMs;

    bool operator==(const Outcome&) const = default;
};

Outcome outcomeOf(ArrivalHarness& h, const Arrived& device, std::uint64_t micros) {
    FDO_DATA* fdo = device.context();
    return {device.pnp->state(),      fdo->ProductType,
            fdo->ManufacturerSerial,  fdo->ReadProtectState,
            fdo->PrepareHardwareDone, micros,
            h.machine().waits().delaysMs()};
}

TEST(ConcurrentArrival, EachDeviceEndsAsItWouldAloneAndTheClockMovesByTheLongest) {
    std::vector<Outcome> alone;
    for (std::size_t i = 0; i < std::size(kProducts); ++i) {
        ArrivalHarness h;
        const Arrived device = h.plug(configOf(kProducts[i], i), portOf(i));
        alone.push_back(outcomeOf(h, device, h.machine().clock().nowMicros()));
        ASSERT_EQ(alone.back().state, host::PnpState::Started) << kProducts[i].code;
    }

    ArrivalHarness h;
    std::vector<std::pair<std::shared_ptr<sim::Bootloader>, Port>> devices;
    for (std::size_t i = 0; i < std::size(kProducts); ++i) {
        devices.emplace_back(
            std::make_shared<sim::Bootloader>(configOf(kProducts[i], i), h.machine().clock()),
            portOf(i));
    }
    const std::vector<Arrived> together = h.plugTogether(devices);
    ASSERT_EQ(together.size(), std::size(kProducts));

    std::uint64_t longest = 0;
    std::vector<std::uint64_t> allDelays;
    for (std::size_t i = 0; i < together.size(); ++i) {
        Outcome expected = alone[i];
        longest = std::max(longest, expected.machineMicros);
        allDelays.insert(allDelays.end(), expected.delaysMs.begin(), expected.delaysMs.end());
        // The clock and the wait log are shared: they are compared as a whole below.
        expected.machineMicros = 0;
        expected.delaysMs.clear();
        Outcome got = outcomeOf(h, together[i], 0);
        got.delaysMs.clear();
        EXPECT_EQ(got, expected) << "device " << i << ", product " << kProducts[i].code;
    }
    EXPECT_EQ(h.machine().clock().nowMicros(), longest);
    std::vector<std::uint64_t> logged = h.machine().waits().delaysMs();
    std::sort(logged.begin(), logged.end());
    std::sort(allDelays.begin(), allDelays.end());
    EXPECT_EQ(logged, allDelays);

    EXPECT_TRUE(h.driver().unloadDriver());
    EXPECT_EQ(h.driver().leakedTags(), std::vector<std::string>{});
}

// Forwards to the bootloader model and holds the chosen transfer until the test lets it go.
class HeldEnd final : public host::DeviceEnd {
public:
    HeldEnd(std::shared_ptr<host::DeviceEnd> inner, unsigned holdAt)
        : inner_(std::move(inner)), holdAt_(holdAt) {}

    host::TransferResult controlTransfer(const host::SetupPacket& setup,
                                         std::span<std::uint8_t> data,
                                         std::uint32_t timeoutMs) override {
        {
            std::unique_lock lock(mutex_);
            if (++transfers_ == holdAt_) {
                held_ = true;
                changed_.notify_all();
                changed_.wait(lock, [this] { return released_; });
            }
        }
        return inner_->controlTransfer(setup, data, timeoutMs);
    }
    void resetPort() override { inner_->resetPort(); }
    void cyclePort() override { inner_->cyclePort(); }
    host::UsbSpeed speed() const override { return inner_->speed(); }
    bool connected() const override { return inner_->connected(); }
    void setEvents(host::DeviceEndEvents* events) override { inner_->setEvents(events); }

    void waitUntilHeld() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return held_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::shared_ptr<host::DeviceEnd> inner_;
    const unsigned holdAt_;
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned transfers_ = 0;
    bool held_ = false;
    bool released_ = false;
};

class RemovalDuringStart : public ::testing::TestWithParam<bool> {};

TEST_P(RemovalDuringStart, FollowsTheStart) {
    const bool surprise = GetParam();
    ArrivalHarness h;
    // Held well inside hardware preparation, after enumeration's descriptor reads.
    auto end = std::make_shared<HeldEnd>(
        std::make_shared<sim::Bootloader>(presets::presetFor(41), h.machine().clock()), 40);
    host::PnpDevice* device = nullptr;
    std::thread arrival([&] {
        const Arrived arrived = h.plug(end);
        device = arrived.pnp;
    });
    end->waitUntilHeld();
    std::vector<host::PnpDevice*> offered = h.machine().pnp().devices();
    ASSERT_EQ(offered.size(), 1u);
    ASSERT_EQ(offered[0]->state(), host::PnpState::Offered);

    // Asked for while the start is held: without waiting for it, the removal would find a
    // device that has not started and do nothing, and the device would stay.
    std::atomic<bool> removing{false};
    std::thread remover([&] {
        removing = true;
        if (surprise) {
            h.machine().pnp().surpriseRemoveDevice(*offered[0]);
        } else {
            h.machine().pnp().removeDevice(*offered[0]);
        }
    });
    while (!removing.load()) std::this_thread::yield();
    end->release();
    arrival.join();
    remover.join();

    EXPECT_EQ(device, offered[0]);
    EXPECT_EQ(device->startStatus(), STATUS_SUCCESS);
    EXPECT_EQ(device->state(), host::PnpState::Removed);
    EXPECT_TRUE(h.interfaces(GUID_DEVINTERFACE_OSTDFU_DRIVER).empty());
    EXPECT_TRUE(h.driver().unloadDriver());
    EXPECT_EQ(h.driver().leakedTags(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Kind, RemovalDuringStart, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Surprise" : "Orderly";
                         });

}  // namespace
}  // namespace ostdfu_test
