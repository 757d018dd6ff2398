// A small function driver of the tests' own, for the I/O manager and the client library: a
// default queue and a sequential queue whose handlers the test supplies, file and power
// callbacks that record what ran, and device interfaces registered at start and withdrawn at
// release. Devices are offered without a bus, so nothing but the test's handlers answers.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/io/user_mode.h"
#include "host/machine.h"
#include "platform/wdf.h"

namespace ostdfu_test {

// Interface classes of the test driver's own.
inline constexpr GUID kTestInterfaceGuid = {
    0x5E0C1D7A, 0x2B44, 0x4C1E, {0x9A, 0x31, 0x0F, 0x6D, 0x27, 0xB8, 0x44, 0x10}};
inline constexpr GUID kSecondTestInterfaceGuid = {
    0x5E0C1D7A, 0x2B44, 0x4C1E, {0x9A, 0x31, 0x0F, 0x6D, 0x27, 0xB8, 0x44, 0x11}};

using IoHandler = std::function<void(WDFQUEUE queue, WDFREQUEST request, SIZE_T outputLength,
                                     SIZE_T inputLength, ULONG ioControlCode)>;

struct TestDriverOptions {
    WDF_IO_QUEUE_DISPATCH_TYPE defaultDispatch = WdfIoQueueDispatchParallel;
    ULONG defaultPresentedLimit = 0xFFFFFFFF;
    std::vector<GUID> interfaces{kTestInterfaceGuid};
    // Release hardware disables and frees the links; false leaves them enabled (a driver that
    // forgets), which the machine must clean up.
    bool disableInterfacesAtRelease = true;
};

inline constexpr std::size_t kMaxTestInterfaces = 4;

struct TestDeviceContext {
    WDFQUEUE defaultQueue;
    WDFQUEUE sequentialQueue;
    ULONG interfaceCount;
    UNICODE_STRING links[kMaxTestInterfaces];
    LONG enabled[kMaxTestInterfaces];
};

class IoTestMachine {
public:
    explicit IoTestMachine(TestDriverOptions options = {});
    ~IoTestMachine();
    IoTestMachine(const IoTestMachine&) = delete;
    IoTestMachine& operator=(const IoTestMachine&) = delete;

    host::Machine& machine() { return *machine_; }
    const TestDriverOptions& options() const { return options_; }
    // A device with the given instance id; it is started when this returns.
    host::PnpDevice& offer(std::u16string instanceId = u"IOTEST0001");
    TestDeviceContext* context(const host::PnpDevice& device) const;

    // Handlers run on the caller's thread; unset, a queue refuses every request.
    IoHandler onDefaultQueue;
    IoHandler onSequentialQueue;
    // Runs inside the surprise-removal callback, after it was recorded.
    std::function<void()> onSurpriseRemoval;

    // What ran, in order: "create", "cleanup", "close", "surprise", "suspend held=N",
    // "d0exit held=N", "release held=N", "context cleanup" (N: requests the driver held).
    std::vector<std::string> events() const;
    void record(std::string event);

private:
    TestDriverOptions options_;
    mutable std::mutex eventsMutex_;
    std::vector<std::string> events_;
    std::unique_ptr<host::Machine> machine_;
};

// Completes the request with a status and an information length, for handlers.
void completeWith(WDFREQUEST request, NTSTATUS status, ULONG_PTR information = 0);

// A control code of the test driver's device type.
constexpr ULONG testCode(ULONG function, ULONG method = 0) {
    return 0x8123u << 16 | function << 2 | method;
}
// Opens the index-th visible interface of the test class; the test fails when it cannot.
host::UserHandle openTestInterface(unsigned index = 0);
// An I/O control without buffers; its status.
NTSTATUS sendWithoutBuffers(host::UserHandle handle, ULONG ioControlCode);

// Long enough never to decide a passing run: it only turns a hang into a failure.
inline constexpr auto kHangGuard = std::chrono::seconds(30);
// Yields (timing nothing) until the predicate holds; false once the hang guard ran out.
template <class Predicate>
bool eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace ostdfu_test
