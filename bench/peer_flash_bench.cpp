// 256 KiB flashed to the same bootloader model over the same transport (the model served as a
// usbdevfs device by `dfuhost serve`), once by `dfuhost --usb flash` through the driver and once
// by dfu-util, an independent DfuSe host; the ratio is ours over theirs. Both get the same .dfu
// file and neither verifies, so both do the same erases and writes. The model's busy times are
// cut to 1 ms so that the hosts' own cost, not the flash's, is what the ratio shows.
// Only the command is timed: serve's start and its testbed are outside the clock. dfuhost
// also pays the driver's arrival on the emulated machine (its settle time above all), which
// dfu-util has no counterpart for; `dfuhost --usb list` alone measures it.
// Run: build/default/bench/bench_peer_flash_bench
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "client/firmware_image.h"

namespace {

constexpr const char* kScenario =
    R"({"devices": [{"name": "unit", "location": [3], "preset": 49, "timings": {)"
    R"("page_erase": {"poll_ms": 1, "busy_ms": 1}, "mass_erase": {"poll_ms": 1, "busy_ms": 1},)"
    R"("write": {"poll_ms": 1, "busy_ms": 1}, "set_address": {"poll_ms": 1, "busy_ms": 1}}}]})";

class Workspace {
public:
    Workspace() {
        std::string name = (std::filesystem::temp_directory_path() / "peer-flash-XXXXXX").string();
        path_ = mkdtemp(name.data());
        std::ofstream(path_ / "bus.json") << kScenario;
        client::FirmwareImage image;
        image.settingsGiven = true;
        std::vector<std::uint8_t> bytes(256 * 1024);
        std::mt19937 random(7);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        image.elements.push_back({0, 0x08000000, bytes});
        client::saveImage(dfuFile(), image);
    }
    ~Workspace() { std::filesystem::remove_all(path_); }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    std::filesystem::path dfuFile() const { return path_ / "image.dfu"; }

    // Seconds the command took on a fresh device, timed by the shell that serve starts; a
    // negative value when the command or serve failed.
    double timedUnderServe(const std::string& command) const {
        const std::filesystem::path took = path_ / "took_ns";
        std::filesystem::remove(took);
        const std::string script = "t0=$(date +%s%N); " + command +
                                   " >/dev/null 2>&1 || exit 1; echo $(( $(date +%s%N) - t0 )) > " +
                                   took.string();
        const std::string line = std::string(DFUHOST_PATH) + " serve --sim " + (path_ / "bus.json").string() +
                                 " -- sh -c '" + script + "' >/dev/null 2>&1";
        if (std::system(line.c_str()) != 0) return -1;
        long long nanoseconds = -1;
        std::ifstream(took) >> nanoseconds;
        return static_cast<double>(nanoseconds) / 1e9;
    }

private:
    std::filesystem::path path_;
};

const Workspace& workspace() {
    static const Workspace shared;
    return shared;
}

void timeUnderServe(benchmark::State& state, const std::string& command) {
    for (auto _ : state) {
        const double seconds = workspace().timedUnderServe(command);
        if (seconds < 0) {
            state.SkipWithError(("failed under dfuhost serve: " + command).c_str());
            return;
        }
        state.SetIterationTime(seconds);
    }
}

void BM_PeerFlashDfuhost(benchmark::State& state) {
    const std::string file = workspace().dfuFile().string();
    timeUnderServe(state, std::string(DFUHOST_PATH) + " --usb flash 1-3 " + file + " --no-verify");
}

void BM_PeerFlashDfuUtil(benchmark::State& state) {
    timeUnderServe(state, "dfu-util -a 0 -D " + workspace().dfuFile().string());
}

void BM_PeerArrivalDfuhost(benchmark::State& state) {
    timeUnderServe(state, std::string(DFUHOST_PATH) + " --usb list");
}

BENCHMARK(BM_PeerFlashDfuhost)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerFlashDfuUtil)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerArrivalDfuhost)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
