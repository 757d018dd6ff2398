// The I/O manager and the framework's queues with a driver of the test's own: the transfer
// methods byte for byte, the minimum-size rule, completion, forwarding, and what may run at
// once on a parallel and on a sequential queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <thread>

#include "host/framework/device.h"
#include "host/io/user_mode.h"
#include "tests/support/io_test_driver.h"

namespace {

using namespace ostdfu_test;
using Bytes = std::vector<std::uint8_t>;

constexpr ULONG kBuffered = 0, kInDirect = 1, kOutDirect = 2;
constexpr ULONG code(ULONG function, ULONG method) { return testCode(function, method); }
host::UserHandle openFirst() { return openTestInterface(); }

Bytes sequence(std::size_t n, std::uint8_t first) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

// What the driver saw of one request.
struct Seen {
    NTSTATUS inputStatus = STATUS_PENDING, outputStatus = STATUS_PENDING;
    SIZE_T inputLength = 0, outputLength = 0;
    Bytes input;         // the input as the driver read it
    Bytes systemBuffer;  // buffered: the whole system buffer before the driver wrote
    Bytes mdlData;       // direct: what the MDL described when the driver got the request
    bool sameBuffer = false;
    PVOID mdlAddress = nullptr;
    ULONG mdlBytes = 0;
    ULONG stackCode = 0, stackIn = 0, stackOut = 0;
};

struct MethodCase {
    const char* name;
    ULONG method;
    std::size_t in, out;
};

TEST(TransferMethods, BuildTheBuffersTheDriverSees) {
    const MethodCase cases[] = {
        {"buffered, output longer", kBuffered, 4, 16},
        {"buffered, input longer", kBuffered, 16, 4},
        {"buffered, output only", kBuffered, 0, 8},
        {"buffered, input only", kBuffered, 8, 0},
        {"in-direct", kInDirect, 8, 16},
        {"out-direct", kOutDirect, 8, 16},
        {"out-direct, no buffers", kOutDirect, 0, 0},
    };
    for (const MethodCase& c : cases) {
        SCOPED_TRACE(c.name);
        IoTestMachine m;
        Seen seen;
        m.onDefaultQueue = [&](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
            PVOID in = nullptr, out = nullptr;
            seen.inputStatus = WdfRequestRetrieveInputBuffer(request, 0, &in, &seen.inputLength);
            seen.outputStatus = WdfRequestRetrieveOutputBuffer(request, 0, &out, &seen.outputLength);
            PIRP irp = WdfRequestWdmGetIrp(request);
            const IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
            seen.stackCode = location->Parameters.DeviceIoControl.IoControlCode;
            seen.stackIn = location->Parameters.DeviceIoControl.InputBufferLength;
            seen.stackOut = location->Parameters.DeviceIoControl.OutputBufferLength;
            if (in != nullptr) {
                auto* p = static_cast<std::uint8_t*>(in);
                seen.input.assign(p, p + seen.inputLength);
            }
            if (c.method == kBuffered && irp->AssociatedIrp.SystemBuffer != nullptr) {
                auto* p = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
                seen.systemBuffer.assign(p, p + std::max(c.in, c.out));
            }
            if (irp->MdlAddress != nullptr) {
                seen.mdlAddress = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
                seen.mdlBytes = MmGetMdlByteCount(irp->MdlAddress);
                auto* p = static_cast<std::uint8_t*>(seen.mdlAddress);
                seen.mdlData.assign(p, p + seen.mdlBytes);
            }
            seen.sameBuffer = in != nullptr && in == out;
            ULONG_PTR information = 0;
            if (out != nullptr && c.method != kInDirect) {
                // Input read completely above; only now is the shared buffer overwritten.
                std::memset(out, 0xA5, seen.outputLength);
                information = seen.outputLength;
            }
            completeWith(request, STATUS_SUCCESS, information);
        };
        m.offer();
        const host::UserHandle handle = openFirst();
        const Bytes input = sequence(c.in, 0x10);
        Bytes output = sequence(c.out, 0x80);
        const Bytes callerData = output;
        const ULONG ioctl = code(0x900, c.method);
        const host::IoctlResult result = host::user::deviceIoControl(handle, ioctl, input, output);

        ASSERT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(seen.stackCode, ioctl);
        EXPECT_EQ(seen.stackIn, c.in);
        EXPECT_EQ(seen.stackOut, c.out);
        EXPECT_EQ(seen.inputStatus, c.in == 0 ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS);
        EXPECT_EQ(seen.outputStatus, c.out == 0 ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS);
        EXPECT_EQ(seen.input, input);
        if (c.method == kBuffered) {
            // One buffer of max(in, out): the input, then zeros; input and output share it.
            Bytes expected = input;
            expected.resize(std::max(c.in, c.out), 0);
            EXPECT_EQ(seen.systemBuffer, expected);
            EXPECT_EQ(seen.sameBuffer, c.in != 0 && c.out != 0);
            EXPECT_EQ(seen.mdlAddress, nullptr);
        } else if (c.out != 0) {
            // The MDL maps the caller's own buffer.
            EXPECT_EQ(seen.mdlAddress, static_cast<PVOID>(output.data()));
            EXPECT_EQ(seen.mdlBytes, c.out);
            EXPECT_EQ(seen.mdlData, callerData);
            EXPECT_FALSE(seen.sameBuffer);
        } else {
            EXPECT_EQ(seen.mdlAddress, nullptr);
        }
        const Bytes expectedOutput = c.method == kInDirect ? callerData : Bytes(c.out, 0xA5);
        EXPECT_EQ(output, expectedOutput);
        EXPECT_EQ(result.information, c.method == kInDirect ? 0u : c.out);
        EXPECT_EQ(host::user::closeHandle(handle), STATUS_SUCCESS);
    }
}

TEST(TransferMethods, MinimumSizeRule) {
    struct Case {
        ULONG method;
        std::size_t length, minimum;
        NTSTATUS status;
    } cases[] = {
        {kBuffered, 8, 8, STATUS_SUCCESS},          {kBuffered, 8, 9, STATUS_BUFFER_TOO_SMALL},
        {kBuffered, 8, 0, STATUS_SUCCESS},          {kBuffered, 0, 0, STATUS_BUFFER_TOO_SMALL},
        {kOutDirect, 8, 8, STATUS_SUCCESS},         {kOutDirect, 8, 9, STATUS_BUFFER_TOO_SMALL},
        {kOutDirect, 0, 0, STATUS_BUFFER_TOO_SMALL},
    };
    IoTestMachine m;
    std::size_t minimum = 0;
    NTSTATUS inputStatus = STATUS_PENDING, outputStatus = STATUS_PENDING;
    SIZE_T inputLength = 99, outputLength = 99;
    PVOID inputBuffer = nullptr, outputBuffer = nullptr;
    m.onDefaultQueue = [&](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
        inputStatus = WdfRequestRetrieveInputBuffer(request, minimum, &inputBuffer, &inputLength);
        outputStatus = WdfRequestRetrieveOutputBuffer(request, minimum, &outputBuffer, &outputLength);
        completeWith(request, STATUS_SUCCESS);
    };
    m.offer();
    const host::UserHandle handle = openFirst();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "method " << c.method << " length " << c.length
                                        << " minimum " << c.minimum);
        minimum = c.minimum;
        Bytes input(c.length), output(c.length);
        host::user::deviceIoControl(handle, code(0x901, c.method), input, output);
        EXPECT_EQ(inputStatus, c.status);
        EXPECT_EQ(outputStatus, c.status);
        const bool ok = NT_SUCCESS(c.status);
        EXPECT_EQ(inputBuffer != nullptr, ok);
        EXPECT_EQ(outputBuffer != nullptr, ok);
        // The length is the buffer's, not the minimum; nothing on failure.
        EXPECT_EQ(inputLength, ok ? c.length : 0);
        EXPECT_EQ(outputLength, ok ? c.length : 0);
    }
}

// A driver that reports more than it wrote hands back what the system buffer held behind the
// input: zeros, or the fill a test chose to see which bytes were never written.
TEST(TransferMethods, UnwrittenBufferedBytesReadAsTheFill) {
    IoTestMachine m;
    m.onDefaultQueue = [](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
        PVOID out = nullptr;
        ASSERT_EQ(WdfRequestRetrieveOutputBuffer(request, 0, &out, nullptr), STATUS_SUCCESS);
        static_cast<std::uint8_t*>(out)[0] = 0x11;
        completeWith(request, STATUS_SUCCESS, 4);
    };
    m.offer();
    const host::UserHandle handle = openFirst();
    using Fill = std::optional<std::uint8_t>;
    for (const Fill fill : {Fill{}, Fill{0x5A}}) {
        if (fill) host::Machine::current().io().setSystemBufferFill(*fill);
        const std::uint8_t f = fill.value_or(0);
        const Bytes input{0x01};
        Bytes output(4, 0xEE);
        const host::IoctlResult result =
            host::user::deviceIoControl(handle, code(0x902, kBuffered), input, output);
        EXPECT_EQ(result.information, 4u);
        EXPECT_EQ(output, (Bytes{0x11, f, f, f})) << "input byte overwritten; the rest never written";
    }
    EXPECT_EQ(host::user::closeHandle(handle), STATUS_SUCCESS);
}

TEST(TransferMethods, BufferedOutputComesBackOnlyWithoutErrorAndNeverPastTheBuffer) {
    struct Case {
        NTSTATUS status;
        ULONG_PTR information;
        std::size_t bytesBack;
    } cases[] = {
        {STATUS_SUCCESS, 4, 4},
        {STATUS_BUFFER_OVERFLOW, 8, 8},  // a warning still carries data
        {STATUS_UNSUCCESSFUL, 8, 0},
        {STATUS_SUCCESS, 100, 8},        // a driver that reports more than the caller has
    };
    IoTestMachine m;
    const Case* current = nullptr;
    m.onDefaultQueue = [&](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
        PVOID out = nullptr;
        SIZE_T length = 0;
        ASSERT_EQ(WdfRequestRetrieveOutputBuffer(request, 1, &out, &length), STATUS_SUCCESS);
        std::memset(out, 0xEE, length);
        completeWith(request, current->status, current->information);
    };
    m.offer();
    const host::UserHandle handle = openFirst();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status << " information " << c.information);
        current = &c;
        Bytes buffer(12, 0x55);  // the last 4 bytes lie outside the output length
        const host::IoctlResult result = host::user::deviceIoControl(
            handle, code(0x902, kBuffered), {}, std::span(buffer).first(8));
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.information, c.information);
        Bytes expected(c.bytesBack, 0xEE);
        expected.resize(12, 0x55);
        EXPECT_EQ(buffer, expected);
    }
}

TEST(Completion, ASecondCompletionIsADriverBug) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            IoTestMachine m;
            m.onDefaultQueue = [](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
                completeWith(request, STATUS_SUCCESS);
                completeWith(request, STATUS_SUCCESS);
            };
            m.offer();
            sendWithoutBuffers(openFirst(), code(0x903, kBuffered));
        },
        "request completed twice");
    EXPECT_DEATH(
        {
            IoTestMachine m;
            m.onDefaultQueue = [&m](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
                auto* context = m.context(*m.machine().pnp().devices().front());
                ASSERT_EQ(WdfRequestForwardToIoQueue(request, context->sequentialQueue), STATUS_SUCCESS);
                completeWith(request, STATUS_SUCCESS);  // no longer the driver's to complete
            };
            m.onSequentialQueue = [](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
                completeWith(request, STATUS_SUCCESS);
            };
            m.offer();
            sendWithoutBuffers(openFirst(), code(0x903, kBuffered));
        },
        "request completed while a queue holds it");
}

TEST(Forwarding, MovesTheRequestToTheOtherQueue) {
    IoTestMachine m;
    host::PnpDevice& device = m.offer();
    ostdfu_test::TestDeviceContext* context = m.context(device);
    NTSTATUS sameQueue = STATUS_PENDING;
    WDFQUEUE presentedOn = nullptr;
    WDFFILEOBJECT fileThere = nullptr;
    m.onDefaultQueue = [&](WDFQUEUE queue, WDFREQUEST request, SIZE_T, SIZE_T, ULONG ioctl) {
        sameQueue = WdfRequestForwardToIoQueue(request, queue);
        if (ioctl == code(0x904, kBuffered)) {
            completeWith(request, sameQueue);  // still the driver's after a failed forward
            return;
        }
        const NTSTATUS status = WdfRequestForwardToIoQueue(request, context->sequentialQueue);
        if (!NT_SUCCESS(status)) completeWith(request, status);
    };
    m.onSequentialQueue = [&](WDFQUEUE queue, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
        presentedOn = queue;
        fileThere = WdfRequestGetFileObject(request);
        PVOID in = nullptr;
        SIZE_T length = 0;
        WdfRequestRetrieveInputBuffer(request, 4, &in, &length);
        completeWith(request, STATUS_SUCCESS, *static_cast<std::uint8_t*>(in));
    };
    const host::UserHandle handle = openFirst();
    Bytes input{7, 0, 0, 0};
    const host::IoctlResult forwarded = host::user::deviceIoControl(handle, code(0x905, kBuffered), input, {});
    EXPECT_EQ(forwarded.status, STATUS_SUCCESS);
    EXPECT_EQ(forwarded.information, 7u);  // the same request, buffers and all
    EXPECT_EQ(presentedOn, context->sequentialQueue);
    EXPECT_NE(fileThere, nullptr);
    EXPECT_EQ(sameQueue, STATUS_INVALID_DEVICE_REQUEST);

    EXPECT_EQ(sendWithoutBuffers(handle, code(0x904, kBuffered)), STATUS_INVALID_DEVICE_REQUEST);
}

TEST(Queues, AParallelQueueHasTwoRequestsInsideItsHandlerAtOnce) {
    IoTestMachine m;
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0, most = 0;
    bool timedOut = false;
    m.onDefaultQueue = [&](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
        std::unique_lock lock(mutex);
        most = std::max(most, ++inside);
        changed.notify_all();
        // Only a second request inside the handler lets the first one go.
        if (!changed.wait_for(lock, kHangGuard, [&] { return most >= 2; })) timedOut = true;
        --inside;
        lock.unlock();
        completeWith(request, STATUS_SUCCESS);
    };
    m.offer();
    const host::UserHandle handle = openFirst();
    NTSTATUS statuses[2] = {STATUS_PENDING, STATUS_PENDING};
    std::vector<std::thread> callers;
    for (NTSTATUS& status : statuses) {
        callers.emplace_back([&] { status = sendWithoutBuffers(handle, code(0x906, kBuffered)); });
    }
    for (std::thread& caller : callers) caller.join();
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(most, 2);
    EXPECT_EQ(statuses[0], STATUS_SUCCESS);
    EXPECT_EQ(statuses[1], STATUS_SUCCESS);
}

// A sequential queue presents the next request only once the one it presented is complete,
// however long the driver keeps it.
TEST(Queues, ASequentialQueueNeverPresentsTwoAtOnce) {
    ostdfu_test::TestDriverOptions options;
    options.defaultDispatch = WdfIoQueueDispatchSequential;
    IoTestMachine m(options);
    std::mutex mutex;
    std::vector<WDFREQUEST> pended;
    m.onDefaultQueue = [&](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) {
        std::lock_guard lock(mutex);
        pended.push_back(request);  // completed later, by the test's thread
    };
    host::fx::Device* device = m.offer().device();
    const host::UserHandle handle = openFirst();
    auto send = [&](NTSTATUS* status) { *status = sendWithoutBuffers(handle, code(0x908, kBuffered)); };
    auto presented = [&] {
        std::lock_guard lock(mutex);
        return pended.size();
    };
    NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
    std::thread a(send, &first);
    ASSERT_TRUE(eventually([&] { return presented() == 1; }));
    std::thread b(send, &second);
    ASSERT_TRUE(eventually([&] { return device->requestsQueued() == 1; }));
    EXPECT_EQ(presented(), 1u);  // the second waits in the queue, not in the handler
    completeWith(pended[0], STATUS_IO_TIMEOUT);
    a.join();
    EXPECT_EQ(first, STATUS_IO_TIMEOUT);
    ASSERT_TRUE(eventually([&] { return presented() == 2; }));
    completeWith(pended[1], STATUS_SUCCESS);
    b.join();
    EXPECT_EQ(second, STATUS_SUCCESS);
}

TEST(Handles, CloseRunsCleanupAtOnceAndCloseWhenTheLastRequestIsDone) {
    IoTestMachine m;
    std::atomic<WDFREQUEST> pended{nullptr};
    m.onDefaultQueue = [&](WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T, ULONG) { pended = request; };
    m.offer();
    const host::UserHandle handle = openFirst();
    NTSTATUS status = STATUS_PENDING;
    std::thread caller([&] { status = sendWithoutBuffers(handle, code(0x909, kBuffered)); });
    ASSERT_TRUE(eventually([&] { return pended.load() != nullptr; }));
    EXPECT_EQ(host::user::closeHandle(handle), STATUS_SUCCESS);
    EXPECT_EQ(m.events(), (std::vector<std::string>{"create", "cleanup"}));
    EXPECT_EQ(sendWithoutBuffers(handle, code(0x909, kBuffered)), STATUS_INVALID_HANDLE);
    EXPECT_EQ(host::user::closeHandle(handle), STATUS_INVALID_HANDLE);
    completeWith(pended.load(), STATUS_SUCCESS);
    caller.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(m.events(), (std::vector<std::string>{"create", "cleanup", "close"}));
}

}  // namespace
