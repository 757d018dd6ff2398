// CPU cost of one I/O-control round trip as the updater makes it: the client library, the
// machine's I/O manager (buffered method, one system buffer), the parallel queue, the driver's
// dispatcher and the 3592-byte copy of the capabilities record, and the completion back; beside
// it the code that does nothing on the sequential queue, the floor of any round trip.
#include <benchmark/benchmark.h>

#include "client/updater.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace {

void BM_GetDeviceCaps(benchmark::State& state) {
    ostdfu_test::ArrivalHarness harness;
    harness.plug(presets::presetFor(41));
    auto opened = client::open();
    if (opened.status != STATUS_SUCCESS) {
        state.SkipWithError("the device interface did not open");
        return;
    }
    for (auto _ : state) {
        auto reply = client::GetDeviceCaps(opened.handle);
        if (reply.status != STATUS_SUCCESS) {
            state.SkipWithError("GET_DEVICE_CAPS failed");
            return;
        }
        benchmark::DoNotOptimize(reply.record.CapsProductType);
    }
}
BENCHMARK(BM_GetDeviceCaps);

void BM_SequentialPing(benchmark::State& state) {
    ostdfu_test::ArrivalHarness harness;
    harness.plug(presets::presetFor(41));
    auto opened = client::open();
    if (opened.status != STATUS_SUCCESS) {
        state.SkipWithError("the device interface did not open");
        return;
    }
    for (auto _ : state) {
        auto reply = client::Ioctl(opened.handle, IOCTL_DFU_SEQUENTIAL_PING, {}, 0);
        if (reply.status != STATUS_SUCCESS) {
            state.SkipWithError("the sequential no-op failed");
            return;
        }
    }
}
BENCHMARK(BM_SequentialPing);

}  // namespace

BENCHMARK_MAIN();
