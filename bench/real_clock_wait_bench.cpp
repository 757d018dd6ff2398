// How close a driver's wait on the real clock comes to what it asked for while the timer
// resolution is raised (as it is while any handle is open): waits of 1 to 20 ms, as the DFU
// engine makes them between status polls, and how late each one returned.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

#include "host/machine.h"
#include "platform/sync.h"

namespace {

constexpr int kWaits = 150;

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

void BM_RealClockWaits(benchmark::State& state) {
    host::Machine machine(host::MachineOptions{false});
    ExSetTimerResolution(10000, TRUE);
    std::vector<double> lateMicros;
    std::mt19937 random(2026);
    for (auto _ : state) {
        for (int i = 0; i < kWaits; ++i) {
            const int ms = 1 + static_cast<int>(random() % 20);
            LARGE_INTEGER interval;
            interval.QuadPart = -10000LL * ms;
            const auto start = std::chrono::steady_clock::now();
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
            const auto took = std::chrono::steady_clock::now() - start;
            lateMicros.push_back(
                std::chrono::duration<double, std::micro>(took - std::chrono::milliseconds(ms)).count());
        }
    }
    ExSetTimerResolution(0, FALSE);
    state.counters["waits"] = static_cast<double>(lateMicros.size());
    state.counters["p50_late_us"] = percentile(lateMicros, 0.50);
    state.counters["p99_late_us"] = percentile(lateMicros, 0.99);
    state.counters["early_us"] = -std::min(0.0, *std::min_element(lateMicros.begin(), lateMicros.end()));
}
BENCHMARK(BM_RealClockWaits)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
