// One GETSTATUS to a bootloader model served by `dfuhost serve`, over libusb and
// usbdevfs: through the driver as `dfuhost --usb` sends it (the class pass-through of the control
// interface: client library, I/O manager, driver, URB, bus, libusb device end) against
// libusb_control_transfer on a handle of the benchmark's own, to the same device. The served
// transfer (a round trip to serve's umockdev thread and the model) is the same in both, so the
// ratio is what the driver's side adds to a transfer on real hardware's path.
// Run: build/default/bench/bench_libusb_path_bench (it starts itself again under `dfuhost serve`);
// the ratio is that of the two `real_time_median` rows.
#include <benchmark/benchmark.h>
#include <libusb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "client/updater.h"
#include "host/libusb/libusb_device_end.h"
#include "tools/system/usb_bus.h"

namespace {

constexpr const char* kServedMark = "LIBUSB_PATH_BENCH_SERVED";
constexpr std::uint8_t kDfuGetStatus = 3;
constexpr std::uint8_t kClassInterfaceIn = 0xA1;
constexpr unsigned kStatusLength = 6;
constexpr unsigned kTimeoutMs = 5000;

// The driver on the served bus, with a handle on the first bootloader's driver interface.
struct DriverPath {
    std::unique_ptr<dfuhost::DriverOnBus> system;
    client::Handle handle;
    host::libusb::FoundDevice device;

    DriverPath() {
        dfuhost::UsbBus usb = dfuhost::usbBus();
        if (usb.scenario.devices.empty()) return;
        dfuhost::SystemOptions options;
        options.realTime = true;
        options.recordTraffic = false;
        options.deviceEnd = usb.deviceEnd;
        system = std::make_unique<dfuhost::DriverOnBus>(usb.scenario, options);
        system->start();
        dfuhost::DeviceSlot& first = system->devices().front();
        device.busNumber = first.entry->controller;
        device.ports = first.entry->location;
        if (const auto link = system->interfaceLink(first, dfuhost::InterfaceKind::Driver)) {
            handle = client::openLink(*link).handle;
        }
    }
};

DriverPath& driverPath() {
    static DriverPath shared;
    return shared;
}

// The same device opened by libusb directly, interface 0 claimed as a DFU host claims it.
class RawPath {
public:
    explicit RawPath(const host::libusb::FoundDevice& wanted) {
        if (libusb_init(&context_) != LIBUSB_SUCCESS) return;
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &list);
        for (ssize_t i = 0; i < count && handle_ == nullptr; ++i) {
            std::uint8_t ports[8] = {};
            const int depth = libusb_get_port_numbers(list[i], ports, sizeof(ports));
            if (libusb_get_bus_number(list[i]) != wanted.busNumber || depth < 0 ||
                std::vector<unsigned>(ports, ports + depth) != wanted.ports) {
                continue;
            }
            if (libusb_open(list[i], &handle_) != LIBUSB_SUCCESS) handle_ = nullptr;
        }
        if (count >= 0) libusb_free_device_list(list, 1);
        if (handle_ != nullptr) libusb_claim_interface(handle_, 0);
    }
    ~RawPath() {
        if (handle_ != nullptr) libusb_close(handle_);
        if (context_ != nullptr) libusb_exit(context_);
    }
    RawPath(const RawPath&) = delete;
    RawPath& operator=(const RawPath&) = delete;
    libusb_device_handle* handle() const { return handle_; }

private:
    libusb_context* context_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
};

void BM_GetStatusRawLibusb(benchmark::State& state) {
    const RawPath raw(driverPath().device);
    if (raw.handle() == nullptr) {
        state.SkipWithError("the served bootloader did not open");
        return;
    }
    std::uint8_t status[kStatusLength];
    for (auto _ : state) {
        if (libusb_control_transfer(raw.handle(), kClassInterfaceIn, kDfuGetStatus, 0, 0, status, kStatusLength,
                                    kTimeoutMs) != static_cast<int>(kStatusLength)) {
            state.SkipWithError("GETSTATUS failed");
            return;
        }
    }
}
BENCHMARK(BM_GetStatusRawLibusb)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_GetStatusThroughDriver(benchmark::State& state) {
    const client::Handle& handle = driverPath().handle;
    if (!handle.valid()) {
        state.SkipWithError("the driver interface of the served bootloader did not open");
        return;
    }
    ControlRequestRecord request{};
    request.IsClassRequest = 1;
    request.Recipient = 1;  // the DFU interface
    request.Request = kDfuGetStatus;
    request.TimeoutMs = kTimeoutMs;
    for (auto _ : state) {
        const client::BytesReply reply = client::ControlRequestIn(handle, request, kStatusLength);
        if (reply.status != STATUS_SUCCESS || reply.bytes.size() != kStatusLength) {
            state.SkipWithError("GETSTATUS through the driver failed");
            return;
        }
    }
}
BENCHMARK(BM_GetStatusThroughDriver)->UseRealTime()->Unit(benchmark::kMicrosecond);

// One bootloader, so that no other device's traffic shares serve's thread with the one measured.
constexpr const char* kScenario = R"({"devices": [{"name": "unit", "location": [3], "preset": 49}]})";

// Both sides wait on serve's thread, so what else the machine runs in the meantime weighs on each
// run: the two are measured in repetitions taken in a shuffled order, so that neither runs only
// while the machine is busier, and compared by their medians. Flags given on the command line
// come after these and win.
constexpr const char* kInterleaved[] = {"--benchmark_repetitions=10", "--benchmark_enable_random_interleaving=true"};

// The served devices are seen only under `dfuhost serve`: run again there, and give back its
// exit code.
int runServed(int argc, char** argv) {
    std::string folder = (std::filesystem::temp_directory_path() / "libusb-path-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::filesystem::path scenario = std::filesystem::path(folder) / "bus.json";
    std::ofstream(scenario) << kScenario;
    setenv(kServedMark, "1", 1);
    const auto quoted = [](const std::string& word) { return "'" + word + "'"; };
    std::string line = quoted(DFUHOST_PATH) + " serve --sim " + quoted(scenario.string()) + " -- " +
                       quoted(std::filesystem::read_symlink("/proc/self/exe").string());
    for (const char* flag : kInterleaved) line += " " + quoted(flag);
    for (int i = 1; i < argc; ++i) line += " " + quoted(argv[i]);
    const int status = std::system(line.c_str());
    std::filesystem::remove_all(folder);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv(kServedMark) == nullptr) return runServed(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
