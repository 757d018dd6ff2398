// Many callers at once on the parallel queue, a sibling driver notifying meanwhile, and a
// surprise removal in the middle: every request comes back exactly once with a status, and
// nothing is used after it is freed. Meant to run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "client/updater.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace ostdfu_test {
namespace {

constexpr int kCallers = 4;
constexpr int kRequestsPerCaller = 150;

const ULONG kCodes[] = {
    IOCTL_DFU_GET_INTERFACE_VERSION, IOCTL_DFU_GET_DEVICE_HANDLE_INFO, IOCTL_DFU_GET_IDENTITY,
    IOCTL_DFU_GET_INSTANCE_STRING_SIZE, IOCTL_DFU_GET_INSTANCE_STRING, IOCTL_DFU_GET_DEVICE_CAPS,
    IOCTL_DFU_GET_SEGMENT_STRINGS, IOCTL_DFU_READ_PARAMETER, IOCTL_DFU_SET_IDLE,
    IOCTL_DFU_GET_BUSY_WAIT_LIMIT, IOCTL_DFU_SET_FIRMWARE_VERSION,
    IOCTL_DFU_GET_READ_PROTECT_STATE, IOCTL_DFU_READ_OPTION_BYTES,
    IOCTL_DFU_GET_OPTION_BYTE_WRITES_ALLOWED, IOCTL_DFU_SET_OPTION_BYTE_WRITES_ALLOWED,
    IOCTL_DFU_GET_MANUFACTURER_SERIAL, IOCTL_DFU_GET_APP_ID_RECORD, IOCTL_DFU_GET_USB_DESCRIPTOR,
    IOCTL_DFU_BEGIN_DFU, IOCTL_DFU_SEQUENTIAL_PING, 0x80882FFC,
};

class ControlStress : public ::testing::TestWithParam<bool> {};

TEST_P(ControlStress, ParallelCallersSurviveARemovalAndASibling) {
    const bool surprise = GetParam();
    ArrivalHarness h;
    const Arrived device = h.plug(presets::presetFor(41), Port{0, {2, 1}});
    std::vector<client::Handle> handles;
    for (int i = 0; i < kCallers; ++i) {
        auto opened = client::open();
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        handles.push_back(std::move(opened.handle));
    }
    const USB_TOPOLOGY_ADDRESS sibling = [&] {
        USB_TOPOLOGY_ADDRESS a = device.bus->topologyAddress();
        a.HubPortNumber[0] = 3;
        return a;
    }();

    std::atomic<int> answered{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([&, t] {
            std::mt19937 random(1234 + t);
            for (int i = 0; i < kRequestsPerCaller; ++i) {
                const ULONG code = kCodes[random() % std::size(kCodes)];
                std::vector<std::uint8_t> input(random() % 300, static_cast<std::uint8_t>(random()));
                const auto reply = client::Ioctl(handles[t], code, input, random() % 4000);
                // Whatever the status, the request came back once, with no more than it asked.
                EXPECT_LE(reply.bytes.size(), 4000u);
                answered.fetch_add(1);
            }
        });
    }
    std::thread notifier([&] {
        while (!stop.load()) {
            h.askSiblingSerial(sibling);
            std::this_thread::yield();
        }
    });
    while (answered.load() < kCallers * kRequestsPerCaller / 2) std::this_thread::yield();
    if (surprise) {
        h.machine().pnp().surpriseRemoveDevice(*device.pnp);
    } else {
        h.machine().pnp().removeDevice(*device.pnp);
    }
    for (auto& caller : callers) caller.join();
    stop = true;
    notifier.join();

    EXPECT_EQ(answered.load(), kCallers * kRequestsPerCaller);
    for (auto& handle : handles) handle.close();
    EXPECT_TRUE(h.driver().unloadDriver());
}

INSTANTIATE_TEST_SUITE_P(Removal, ControlStress, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Surprise" : "Orderly";
                         });

}  // namespace
}  // namespace ostdfu_test
