// Removal with requests in flight and handles still open: nothing lost, nothing completed twice,
// no power-down callback under a request the driver holds, nothing used after it was freed
// (run under the address sanitizer).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "host/framework/device.h"
#include "host/io/user_mode.h"
#include "tests/support/io_test_driver.h"

namespace {

using namespace ostdfu_test;

constexpr ULONG kHold = testCode(0x910);
constexpr ULONG kQuick = testCode(0x911);
host::UserHandle openFirst() { return openTestInterface(); }
NTSTATUS send(host::UserHandle handle, ULONG ioctl) { return sendWithoutBuffers(handle, ioctl); }

std::ptrdiff_t indexOf(const std::vector<std::string>& events, const std::string& event) {
    auto it = std::find(events.begin(), events.end(), event);
    return it == events.end() ? -1 : it - events.begin();
}

// A handler that holds kHold requests until the test lets them go, and answers others at once.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0;
    bool open = false;

    void install(IoTestMachine& m) {
        m.onDefaultQueue = [this, &m](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG ioctl) {
            if (ioctl == kHold) {
                std::unique_lock lock(mutex);
                ++inside;
                changed.notify_all();
                changed.wait_for(lock, kHangGuard, [&] { return open; });
                m.record("held request completed");
            }
            completeWith(request, STATUS_SUCCESS);
        };
    }
    void waitInside(int n) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, kHangGuard, [&] { return inside >= n; });
    }
    void letGo() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

TEST(Removal, OrderlyRemovalWaitsForTheRequestsTheDriverHolds) {
    IoTestMachine m;
    Gate gate;
    gate.install(m);
    host::PnpDevice& device = m.offer();
    host::fx::Device* fx = device.device();
    const host::UserHandle held = openFirst();
    const host::UserHandle other = openFirst();
    NTSTATUS heldStatus = STATUS_PENDING;
    std::thread caller([&] { heldStatus = send(held, kHold); });
    gate.waitInside(1);

    std::thread remover([&] { m.machine().pnp().removeDevice(device); });
    ASSERT_TRUE(eventually([&] { return fx->ioState() == host::fx::IoState::Removing; }));
    // From now on: nothing new is presented, and the device is gone for user mode.
    EXPECT_EQ(send(other, kQuick), STATUS_DELETE_PENDING);
    EXPECT_TRUE(host::user::listInterfaces(kTestInterfaceGuid).empty());
    host::UserHandle late;
    EXPECT_EQ(host::user::openInterface(kTestInterfaceGuid, 0, &late), STATUS_NO_MORE_ENTRIES);

    gate.letGo();
    caller.join();
    remover.join();
    EXPECT_EQ(heldStatus, STATUS_SUCCESS);
    const std::vector<std::string> events = m.events();
    const auto completed = indexOf(events, "held request completed");
    ASSERT_GE(completed, 0);
    for (const char* callback : {"suspend held=0", "d0exit held=0", "release held=0"}) {
        SCOPED_TRACE(callback);
        EXPECT_GT(indexOf(events, callback), completed);
    }
    EXPECT_EQ(indexOf(events, "context cleanup"), -1);  // handles are still open
    EXPECT_EQ(host::user::closeHandle(held), STATUS_SUCCESS);
    EXPECT_EQ(host::user::closeHandle(other), STATUS_SUCCESS);
    EXPECT_EQ(m.events().back(), "context cleanup");
    EXPECT_EQ(device.device(), nullptr);
}

TEST(Removal, SurpriseRemovalReachesARunningRequestBeforeWaitingForIt) {
    IoTestMachine m;
    std::mutex mutex;
    std::condition_variable changed;
    bool gone = false, inside = false, sawRemoval = false;
    m.onSurpriseRemoval = [&] {
        std::lock_guard lock(mutex);
        gone = true;
        changed.notify_all();
    };
    // A long-running request that stops when it learns the device is gone.
    m.onDefaultQueue = [&](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
        std::unique_lock lock(mutex);
        inside = true;
        changed.notify_all();
        sawRemoval = changed.wait_for(lock, kHangGuard, [&] { return gone; });
        lock.unlock();
        completeWith(request, STATUS_SUCCESS);
    };
    host::PnpDevice& device = m.offer();
    const host::UserHandle handle = openFirst();
    NTSTATUS status = STATUS_PENDING;
    std::thread caller([&] { status = send(handle, kHold); });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kHangGuard, [&] { return inside; }));
    }
    m.machine().pnp().surpriseRemoveDevice(device);
    caller.join();
    EXPECT_TRUE(sawRemoval);
    EXPECT_EQ(status, STATUS_SUCCESS);
    const std::vector<std::string> events = m.events();
    EXPECT_LT(indexOf(events, "surprise"), indexOf(events, "suspend held=0"));
    EXPECT_GE(indexOf(events, "release held=0"), 0);
    // The hardware is gone: the handle that outlived it gets that answer.
    EXPECT_EQ(send(handle, kQuick), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(host::user::closeHandle(handle), STATUS_SUCCESS);
    EXPECT_TRUE(m.machine().pool().leakedTags().empty());
}

TEST(Removal, RequestsWaitingInAQueueAreCancelledAndTheHeldOneStillCompletes) {
    ostdfu_test::TestDriverOptions options;
    options.defaultDispatch = WdfIoQueueDispatchSequential;
    IoTestMachine m(options);
    Gate gate;
    gate.install(m);
    host::PnpDevice& device = m.offer();
    host::fx::Device* fx = device.device();
    const host::UserHandle handle = openFirst();
    NTSTATUS held = STATUS_PENDING, waiting = STATUS_PENDING;
    std::thread first([&] { held = send(handle, kHold); });
    gate.waitInside(1);
    std::thread second([&] { waiting = send(handle, kQuick); });
    ASSERT_TRUE(eventually([&] { return fx->requestsQueued() == 1; }));

    std::thread remover([&] { m.machine().pnp().removeDevice(device); });
    second.join();  // cancelled while the first is still held
    EXPECT_EQ(waiting, STATUS_CANCELLED);
    gate.letGo();
    first.join();
    remover.join();
    EXPECT_EQ(held, STATUS_SUCCESS);
    EXPECT_GE(indexOf(m.events(), "release held=0"), 0);
    EXPECT_EQ(host::user::closeHandle(handle), STATUS_SUCCESS);
}

TEST(Removal, AHandleOutlivesItsDevice) {
    struct Case {
        bool surprise;
        NTSTATUS status;
    } cases[] = {{false, STATUS_DELETE_PENDING}, {true, STATUS_NO_SUCH_DEVICE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.surprise ? "surprise" : "orderly");
        IoTestMachine m;
        host::PnpDevice& device = m.offer();
        const host::UserHandle handle = openFirst();
        if (c.surprise) {
            m.machine().pnp().surpriseRemoveDevice(device);
        } else {
            m.machine().pnp().removeDevice(device);
        }
        EXPECT_EQ(device.state(), host::PnpState::Removed);
        EXPECT_NE(device.device(), nullptr);
        EXPECT_EQ(send(handle, kQuick), c.status);
        EXPECT_EQ(host::user::closeHandle(handle), STATUS_SUCCESS);
        // Cleanup and close of the last handle, then the device goes.
        const std::vector<std::string> events = m.events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
                  (std::vector<std::string>{"cleanup", "close", "context cleanup"}));
        EXPECT_EQ(device.device(), nullptr);
        EXPECT_TRUE(m.machine().pool().leakedTags().empty());
    }
}

}  // namespace
