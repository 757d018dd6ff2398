// Eight devices flashed at once against one, in real time, the way `dfuhost flash --all` does
// it: one job per device on a thread of its own, through the driver. Each device's busy times
// are the ones the bootloader model announces (a 16 KiB sector erase 100 ms, a 2 KiB block
// 104 ms), so the devices' own work dominates as on a production line; what the ratio measures
// is what serving them side by side costs over serving one. The arrivals are not timed.
// Run: build/default/bench/bench_multi_flash_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "tools/system/device_group.h"

namespace {

constexpr std::size_t kImageBytes = 64 * 1024;

std::filesystem::path writeImage() {
    std::vector<char> bytes(kImageBytes);
    std::mt19937 random(11);
    for (char& b : bytes) b = static_cast<char>(random());
    const auto path = std::filesystem::temp_directory_path() / "multi_flash_bench.bin";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// The devices' timings: the model's own, or every erase and write cut to 1 ms, where what the
// host spends per request is most of the time.
const char* const kTimings[] = {
    "",
    R"(, "timings": {"page_erase": {"poll_ms": 1, "busy_ms": 1}, "write": {"poll_ms": 1, "busy_ms": 1},)"
    R"( "set_address": {"poll_ms": 1, "busy_ms": 1}})",
};

void BM_FlashAtOnce(benchmark::State& state) {
    std::string devices;
    for (int i = 1; i <= state.range(0); ++i) {
        devices += std::string(i == 1 ? "" : ",") + R"({"name": "unit-)" + std::to_string(i) +
                   R"(", "preset": "blank", "location": [)" + std::to_string(i) + "]" + kTimings[state.range(1)] + "}";
    }
    dfuhost::SystemOptions options;
    options.realTime = true;
    dfuhost::DriverOnBus bus(scenario::parseScenarioText(R"({"devices": [)" + devices + "]}", "line.json"), options);
    bus.start();
    std::vector<dfuhost::DeviceSlot*> slots;
    for (dfuhost::DeviceSlot& slot : bus.devices()) slots.push_back(&slot);
    dfuhost::FlashJob job;
    job.file = writeImage();
    job.address = 0x08000000;
    job.verify = false;

    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto results = dfuhost::runOnEach(
            bus, slots, [&](const dfuhost::DeviceSlot&, const dfuhost::JobContext& c) { return dfuhost::runFlashJob(job, c); },
            {});
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        for (const dfuhost::DeviceResult& r : results) {
            if (r.outcome.exitCode != 0) {
                state.SkipWithError((r.device + ": " + r.outcome.message).c_str());
                break;
            }
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0) *
                            static_cast<std::int64_t>(kImageBytes));
    std::filesystem::remove(job.file);
    bus.removeAll();
    bus.unload();
}
BENCHMARK(BM_FlashAtOnce)->Args({1, 0})->Args({8, 0})->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
// A flash of about 0.1 s is at the mercy of one late wake-up: the mean of many.
BENCHMARK(BM_FlashAtOnce)->Args({1, 1})->Args({8, 1})->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
