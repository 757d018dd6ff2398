// Several callers with random codes, methods and buffer sizes, handles opened and closed on the
// way, a sibling notifying a callback object whose registrations come and go, and a surprise
// removal in the middle. Run under the thread sanitizer; every request must come back exactly
// once with a status that fits the moment it was sent.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "host/framework/device.h"
#include "host/io/user_mode.h"
#include "host/ob/callback_objects.h"
#include "tests/support/io_test_driver.h"

namespace {

using namespace ostdfu_test;

constexpr ULONG code(ULONG function, ULONG method) { return testCode(function, method); }
constexpr std::u16string_view kSiblings = u"\\Callback\\StressSiblings";

CALLBACK_FUNCTION CountCall;
void CountCall(PVOID context, PVOID, PVOID) { ++*static_cast<std::atomic<int>*>(context); }

TEST(IoStress, ManyCallersAndASurpriseRemoval) {
    IoTestMachine m;
    host::PnpDevice& device = m.offer();
    ostdfu_test::TestDeviceContext* context = m.context(device);
    std::atomic<int> inHandler{0};
    m.onDefaultQueue = [&](WDFQUEUE, WDFREQUEST request, SIZE_T outputLength, SIZE_T, ULONG ioctl) {
        ++inHandler;
        const ULONG function = ioctl >> 2 & 0xFFF;
        if (function == 0x921) {
            const NTSTATUS status = WdfRequestForwardToIoQueue(request, context->sequentialQueue);
            if (!NT_SUCCESS(status)) completeWith(request, status);
            --inHandler;
            return;
        }
        PVOID out = nullptr;
        SIZE_T length = 0;
        ULONG_PTR information = 0;
        if (NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, 0, &out, &length)) &&
            (ioctl & 3) != 1) {
            std::memset(out, 0x5A, length);
            information = outputLength;
        }
        for (int i = 0; i < 8; ++i) std::this_thread::yield();
        --inHandler;
        completeWith(request, STATUS_SUCCESS, information);
    };
    m.onSequentialQueue = [&](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
        completeWith(request, STATUS_SUCCESS);
    };

    // The sibling side: one object, registrations churning, a notifier on its own thread.
    UNICODE_STRING name{static_cast<USHORT>(kSiblings.size() * 2), static_cast<USHORT>(kSiblings.size() * 2),
                        const_cast<char16_t*>(kSiblings.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(ExCreateCallback(&object, &attributes, TRUE, TRUE), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<int> siblingCalls{0};
    std::thread registrar([&] {
        while (!stop) {
            PVOID registration = ExRegisterCallback(object, CountCall, &siblingCalls);
            std::this_thread::yield();
            ExUnregisterCallback(registration);
        }
    });
    std::thread notifier([&] {
        while (!stop) host::notifyCallbackByName(m.machine().objects(), kSiblings, nullptr, nullptr);
    });

    const std::set<NTSTATUS> allowed = {STATUS_SUCCESS, STATUS_NO_SUCH_DEVICE, STATUS_CANCELLED,
                                        STATUS_INVALID_DEVICE_STATE};
    std::atomic<int> sent{0}, unexpected{0}, finished{0};
    std::vector<std::thread> callers;
    for (unsigned t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            std::mt19937 random(1234 + t);
            struct Finish {
                std::atomic<int>& finished;
                ~Finish() { ++finished; }
            } finish{finished};
            host::UserHandle handle;
            if (!NT_SUCCESS(host::user::openInterface(kTestInterfaceGuid, 0, &handle))) return;
            for (int i = 0; i < 400; ++i) {
                if (random() % 16 == 0) {
                    host::user::closeHandle(handle);
                    if (!NT_SUCCESS(host::user::openInterface(kTestInterfaceGuid, 0, &handle))) {
                        return;  // the device is gone
                    }
                }
                const ULONG method = random() % 3;
                const ULONG function = 0x920 + random() % 2;
                std::vector<std::uint8_t> input(random() % 40), output(random() % 40);
                const NTSTATUS status =
                    host::user::deviceIoControl(handle, code(function, method), input, output).status;
                ++sent;
                if (!allowed.contains(status)) ++unexpected;
            }
            host::user::closeHandle(handle);
        });
    }
    while (sent < 200 && finished < 4) std::this_thread::yield();
    m.machine().pnp().surpriseRemoveDevice(device);
    for (std::thread& caller : callers) caller.join();
    stop = true;
    registrar.join();
    notifier.join();
    ObfDereferenceObject(object);

    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(inHandler.load(), 0);
    const std::vector<std::string> events = m.events();
    EXPECT_NE(std::find(events.begin(), events.end(), "release held=0"), events.end());
    EXPECT_EQ(events.back(), "context cleanup");  // every handle closed, the device gone
    EXPECT_EQ(device.device(), nullptr);
    EXPECT_TRUE(m.machine().pool().leakedTags().empty());
}

}  // namespace
