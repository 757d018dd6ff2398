// A hub full of bootloaders arriving at once while the devices that are already there work:
// callers send control codes to them, a sibling driver notifies the callback object, and some
// of the arriving units are pulled in the middle of their arrival. Every request comes back
// exactly once, every device ends started or removed, and the pool is empty after the unload.
// Meant to run under ThreadSanitizer and AddressSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "client/updater.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace ostdfu_test {
namespace {

constexpr std::size_t kArriving = 32;
constexpr std::size_t kStarted = 4;
constexpr int kRequestsPerCaller = 60;
// Every eighth arriving unit is pulled while the others still arrive.
constexpr std::size_t kPulledEvery = 8;

const ULONG kCodes[] = {
    IOCTL_DFU_GET_DEVICE_CAPS,      IOCTL_DFU_GET_IDENTITY,         IOCTL_DFU_GET_INSTANCE_STRING,
    IOCTL_DFU_GET_SEGMENT_STRINGS,  IOCTL_DFU_SET_IDLE,             IOCTL_DFU_READ_OPTION_BYTES,
    IOCTL_DFU_GET_MANUFACTURER_SERIAL, IOCTL_DFU_GET_USB_DESCRIPTOR, IOCTL_DFU_SEQUENTIAL_PING,
};

constexpr unsigned kProducts[] = {41, 49, 27, 67};

TEST(ArrivalStress, ArrivalsRemovalsRequestsAndSiblingsTogether) {
    ArrivalHarness h;
    std::vector<Arrived> started;
    for (std::size_t i = 0; i < kStarted; ++i) {
        presets::PresetOptions options;
        options.descriptorSerial = "BENCH" + std::to_string(i);
        started.push_back(h.plug(presets::presetFor(kProducts[i % std::size(kProducts)], options),
                                 Port{1, {static_cast<USHORT>(1 + i)}}));
        ASSERT_EQ(started.back().pnp->state(), host::PnpState::Started);
    }
    std::vector<client::Handle> handles;
    for (std::size_t i = 0; i < kStarted; ++i) {
        auto opened = client::open(GUID_DEVINTERFACE_OSTDFU_DRIVER, static_cast<unsigned>(i));
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        handles.push_back(std::move(opened.handle));
    }

    std::vector<std::pair<std::shared_ptr<sim::Bootloader>, Port>> arriving;
    for (std::size_t i = 0; i < kArriving; ++i) {
        presets::PresetOptions options;
        options.serial = 0x5000 + i;
        options.descriptorSerial = "UNIT" + std::to_string(i);
        arriving.emplace_back(
            std::make_shared<sim::Bootloader>(
                presets::presetFor(kProducts[i % std::size(kProducts)], options), h.machine().clock()),
            Port{0, {static_cast<USHORT>(1 + i / 8), static_cast<USHORT>(1 + i % 8)}});
    }

    std::atomic<int> answered{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < kStarted; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(77 + static_cast<unsigned>(t));
            for (int i = 0; i < kRequestsPerCaller; ++i) {
                const ULONG code = kCodes[random() % std::size(kCodes)];
                std::vector<std::uint8_t> input(random() % 64, static_cast<std::uint8_t>(random()));
                const auto reply = client::Ioctl(handles[t], code, input, random() % 4000);
                EXPECT_LE(reply.bytes.size(), 4000u);
                answered.fetch_add(1);
            }
        });
    }
    workers.emplace_back([&] {
        std::mt19937 random(5);
        while (!stop.load()) {
            // A sibling on another port of a started unit's hub.
            USB_TOPOLOGY_ADDRESS sibling = started[random() % kStarted].bus->topologyAddress();
            sibling.HubPortNumber[0] = static_cast<USHORT>(5 + random() % 3);
            h.askSiblingSerial(sibling);
            std::this_thread::yield();
        }
    });
    // Pulls units as soon as the PnP manager knows them: some before they start, some while.
    std::thread puller([&] {
        std::size_t next = 0;
        while (next < kArriving) {
            std::vector<host::PnpDevice*> known = h.machine().pnp().devices();
            if (known.size() < kStarted + next + 1) {
                std::this_thread::yield();
                continue;
            }
            // The records are made in the order of the units, before any of them starts.
            arriving[next].first->unplug();
            h.machine().pnp().surpriseRemoveDevice(*known[kStarted + next]);
            next += kPulledEvery;
        }
    });

    const std::vector<Arrived> arrived = h.plugTogether(arriving);
    puller.join();
    for (std::size_t t = 0; t < kStarted; ++t) workers[t].join();
    stop = true;
    workers.back().join();

    EXPECT_EQ(answered.load(), static_cast<int>(kStarted) * kRequestsPerCaller);
    for (std::size_t i = 0; i < arrived.size(); ++i) {
        const host::PnpState state = arrived[i].pnp->state();
        if (i % kPulledEvery == 0) {
            // Pulled before it started, it may fail to start; otherwise its removal followed.
            EXPECT_TRUE(state == host::PnpState::Removed || state == host::PnpState::StartFailed)
                << "unit " << i << ": " << host::pnpStateName(state);
        } else {
            EXPECT_EQ(state, host::PnpState::Started) << "unit " << i;
        }
    }
    for (auto& handle : handles) handle.close();
    EXPECT_TRUE(h.driver().unloadDriver());
    EXPECT_EQ(h.driver().leakedTags(), std::vector<std::string>{});
}

}  // namespace
}  // namespace ostdfu_test
