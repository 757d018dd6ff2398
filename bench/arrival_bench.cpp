// Devices arriving side by side. On the real clock every arrival pays the driver's settle wait,
// so N units at once should take about as long as one, with the driver compiled in and with the
// Windows image alike; on the virtual clock a full bus of 127 shows the CPU time and memory the
// machine needs for them.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <string>

#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace {

constexpr unsigned kProducts[] = {41, 49, 27, 67};

// Root-hub ports with a hub of eight ports each, as a bench station wires them.
std::vector<std::pair<std::shared_ptr<sim::Bootloader>, ostdfu_test::Port>> bus(
    ostdfu_test::ArrivalHarness& h, std::size_t count) {
    std::vector<std::pair<std::shared_ptr<sim::Bootloader>, ostdfu_test::Port>> devices;
    for (std::size_t i = 0; i < count; ++i) {
        presets::PresetOptions options;
        options.descriptorSerial = "UNIT" + std::to_string(i);
        options.serial = 0x1000 + i;
        const ostdfu_test::Port port{static_cast<unsigned>(i / 64),
                                     {static_cast<USHORT>(1 + i % 64 / 8), static_cast<USHORT>(1 + i % 8)}};
        devices.emplace_back(std::make_shared<sim::Bootloader>(
                                 presets::presetFor(kProducts[i % std::size(kProducts)], options),
                                 h.machine().clock()),
                             port);
    }
    return devices;
}

void arrive(benchmark::State& state, bool realTime, const std::string& image = "") {
    const auto count = static_cast<std::size_t>(state.range(0));
    ostdfu_test::HarnessOptions options;
    options.realClock = realTime;
    options.driverImage = image;
    std::size_t started = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            ostdfu_test::ArrivalHarness h(options);
            auto devices = bus(h, count);
            state.ResumeTiming();
            const std::vector<ostdfu_test::Arrived> arrived = h.plugTogether(devices);
            state.PauseTiming();
            started = 0;
            for (const ostdfu_test::Arrived& device : arrived) {
                started += device.pnp->state() == host::PnpState::Started ? 1 : 0;
            }
            h.driver().unloadDriver();
        }
        state.ResumeTiming();
    }
    if (started != count) state.SkipWithError("not every device started");
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["devices"] = static_cast<double>(count);
    state.counters["peak_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_ArrivalsRealClock(benchmark::State& state) { arrive(state, true); }
BENCHMARK(BM_ArrivalsRealClock)->Arg(1)->Arg(32)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ArrivalsRealClockImage(benchmark::State& state) {
    if (std::string(OSTDFU_DRIVER_IMAGE).empty()) {
        state.SkipWithError("ostdfu.sys is not built");
        return;
    }
    arrive(state, true, OSTDFU_DRIVER_IMAGE);
}
BENCHMARK(BM_ArrivalsRealClockImage)->Arg(1)->Arg(32)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ArrivalsVirtualClock(benchmark::State& state) { arrive(state, false); }
BENCHMARK(BM_ArrivalsVirtualClock)->Arg(127)->Iterations(1)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
