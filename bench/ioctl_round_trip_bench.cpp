// CPU cost of one I/O-control round trip as the updater makes it: the client library, the
// machine's I/O manager (buffered method, one system buffer), the parallel queue, the driver's
// dispatcher and the 3592-byte copy of the capabilities record, and the completion back; beside
// it the code that does nothing on the sequential queue, the floor of any round trip.
#include <benchmark/benchmark.h>

#include "client/updater.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace {

// Sends the request again and again on a handle of an arrived device; `call` answers its status.
template <typename Call>
void roundTrips(benchmark::State& state, const char* what, Call call) {
    ostdfu_test::ArrivalHarness harness;
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

void BM_GetDeviceCaps(benchmark::State& state) {
    roundTrips(state, "GET_DEVICE_CAPS failed", [](const client::Handle& handle) {
        auto reply = client::GetDeviceCaps(handle);
        benchmark::DoNotOptimize(reply.record.CapsProductType);
        return reply.status;
    });
}
BENCHMARK(BM_GetDeviceCaps);

void BM_SequentialPing(benchmark::State& state) {
    roundTrips(state, "the sequential no-op failed", [](const client::Handle& handle) {
        return client::Ioctl(handle, IOCTL_DFU_SEQUENTIAL_PING, {}, 0).status;
    });
}
BENCHMARK(BM_SequentialPing);

}  // namespace

BENCHMARK_MAIN();
