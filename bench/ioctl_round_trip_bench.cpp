// CPU cost of one I/O-control round trip as the updater makes it: the client library, the
// machine's I/O manager (buffered method, one system buffer), the parallel queue, the driver's
// dispatcher and the 3592-byte copy of the capabilities record, and the completion back; beside
// it the code that does nothing on the sequential queue, the floor of any round trip.
//
// The same round trip and one control transfer to the device (GETSTATUS through the class
// pass-through: gate, URB, IRP, bus, model) also run through the Windows image, ostdfu.sys, to
// set what the loaded image costs beside the driver compiled in.
#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "client/updater.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace {

// Sends the request again and again on a handle of an arrived device; `call` answers its status.
// With an image, that driver answers instead of the one compiled in.
template <typename Call>
void roundTrips(benchmark::State& state, const char* what, Call call,
                std::optional<std::string> image = std::nullopt) {
    if (image && image->empty()) {
        state.SkipWithError("ostdfu.sys is not built");
        return;
    }
    ostdfu_test::HarnessOptions options;
    options.driverImage = image.value_or("");
    ostdfu_test::ArrivalHarness harness(options);
    harness.plug(presets::presetFor(41));
    auto opened = client::open();
    if (opened.status != STATUS_SUCCESS) {
        state.SkipWithError("the device interface did not open");
        return;
    }
    for (auto _ : state) {
        if (call(opened.handle) != STATUS_SUCCESS) {
            state.SkipWithError(what);
            return;
        }
    }
}

NTSTATUS getDeviceCaps(const client::Handle& handle) {
    auto reply = client::GetDeviceCaps(handle);
    benchmark::DoNotOptimize(reply.record.CapsProductType);
    return reply.status;
}

// DFU GETSTATUS, a class request to the interface with six bytes back.
NTSTATUS getStatusThroughPassThrough(const client::Handle& handle) {
    ControlRequestRecord request{};
    request.IsClassRequest = 1;
    request.Recipient = 1;
    request.Request = 3;
    auto reply = client::ControlRequestIn(handle, request, 6);
    benchmark::DoNotOptimize(reply.bytes.data());
    return reply.status;
}

void BM_GetDeviceCaps(benchmark::State& state) {
    roundTrips(state, "GET_DEVICE_CAPS failed", getDeviceCaps);
}
BENCHMARK(BM_GetDeviceCaps);

void BM_GetDeviceCapsImage(benchmark::State& state) {
    roundTrips(state, "GET_DEVICE_CAPS through the image failed", getDeviceCaps, OSTDFU_DRIVER_IMAGE);
}
BENCHMARK(BM_GetDeviceCapsImage);

void BM_ControlTransfer(benchmark::State& state) {
    roundTrips(state, "GETSTATUS through the pass-through failed", getStatusThroughPassThrough);
}
BENCHMARK(BM_ControlTransfer);

void BM_ControlTransferImage(benchmark::State& state) {
    roundTrips(state, "GETSTATUS through the image's pass-through failed", getStatusThroughPassThrough,
               OSTDFU_DRIVER_IMAGE);
}
BENCHMARK(BM_ControlTransferImage);

void BM_SequentialPing(benchmark::State& state) {
    roundTrips(state, "the sequential no-op failed", [](const client::Handle& handle) {
        return client::Ioctl(handle, IOCTL_DFU_SEQUENTIAL_PING, {}, 0).status;
    });
}
BENCHMARK(BM_SequentialPing);

}  // namespace

BENCHMARK_MAIN();
