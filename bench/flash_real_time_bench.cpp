// A flash through the driver in real time against its floor: the busy times the bootloader model
// announces in its dfuDNBUSY replies (the erases and the block writes), which no host can beat.
// Everything else (the client, the I/O manager, the driver's pass-through, the bus, the status
// polls) is what the ratio measures. Run: build/default/bench/bench_flash_real_time_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <random>

#include "client/flash_run.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace {

// The announced busy time of every dfuDNBUSY status reply the device sent.
std::uint64_t announcedBusyMs(const std::vector<sim::TransferRecord>& transfers) {
    std::uint64_t total = 0;
    for (const sim::TransferRecord& t : transfers) {
        if (t.bmRequestType() == 0xA1 && t.bRequest() == 3 && t.data.size() >= 6 && t.data[4] == 4) {
            total += t.data[1] | t.data[2] << 8 | t.data[3] << 16;
        }
    }
    return total;
}

void BM_FlashRealTime(benchmark::State& state) {
    ostdfu_test::HarnessOptions options;
    options.realClock = true;
    ostdfu_test::ArrivalHarness harness(options);
    const auto rom = harness.plug(presets::blankBootloader()).rom;
    const client::Handle handle = std::move(client::open().handle);
    const auto facts = client::readDeviceFacts(handle).facts;

    client::FirmwareImage image;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(state.range(0)) * 1024);
    std::mt19937 random(7);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    image.elements.push_back({0, 0x08000000, bytes});
    const client::FlashPlan plan = client::planFlash(image, facts, {});

    double floorSeconds = 0;
    double spentSeconds = 0;
    for (auto _ : state) {
        rom->clearTransfers();
        const auto start = std::chrono::steady_clock::now();
        const client::RunOutcome run = client::executeFlash(handle, facts, plan, false, {});
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!run.ok) {
            state.SkipWithError(run.message.c_str());
            return;
        }
        state.SetIterationTime(seconds);
        spentSeconds += seconds;
        floorSeconds += static_cast<double>(announcedBusyMs(rom->transfers())) / 1000;
    }
    state.counters["floor_s"] = floorSeconds / static_cast<double>(state.iterations());
    state.counters["ratio"] = spentSeconds / floorSeconds;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_FlashRealTime)->Arg(256)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
