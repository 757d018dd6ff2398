#include "tools/system/device_group.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>

#include "client/updater.h"
#include "host/clock.h"

namespace dfuhost {

namespace {

// How often a job that waits for its device to come back looks for it.
constexpr std::uint64_t kReturnLookMicros = 100'000;

}  // namespace

std::vector<DeviceResult> runOnEach(DriverOnBus& bus, const std::vector<DeviceSlot*>& devices, const DeviceJob& job,
                                    const GroupReport& report) {
    std::mutex busLock;
    std::vector<DeviceResult> results(devices.size());
    host::Clock& clock = bus.machine().clock();
    const std::uint64_t start = clock.nowMicros();
    {
        std::vector<std::jthread> threads;
        threads.reserve(devices.size());
        for (std::size_t i = 0; i < devices.size(); ++i) {
            threads.emplace_back([&, i] {
                // Under the virtual clock each device's waits overlap the others' as on a real
                // hub, and the machine's time afterwards is that of the longest job.
                const host::VirtualClock::Lane lane(clock, start);
                DeviceSlot& device = *devices[i];
                unsigned seen = 0;  // the arrival the job's latest handle was opened on
                // Called with busLock held.
                const auto openArrival = [&]() -> client::Handle {
                    seen = device.arrivals;
                    const auto link = bus.interfaceLink(device, InterfaceKind::Driver);
                    if (!link) return {};
                    return client::openLink(*link).handle;
                };
                JobContext context;
                context.open = [&]() -> client::Handle {
                    std::lock_guard lock(busLock);
                    bus.settle();
                    return openArrival();
                };
                // The bus is held only for each look, so that the other jobs go on meanwhile.
                context.openAfterReturn = [&](std::uint64_t limitMicros) -> client::Handle {
                    const std::uint64_t deadline = clock.nowMicros() + limitMicros;
                    for (;;) {
                        {
                            std::lock_guard lock(busLock);
                            if (bus.arrivedSince(device, seen)) return openArrival();
                        }
                        if (clock.nowMicros() >= deadline) return {};
                        clock.sleepMicros(kReturnLookMicros);
                    }
                };
                context.warn = [&](const std::string& text) {
                    if (report.warn) report.warn(i, text);
                };
                context.control.progress = [&](const client::ProgressUpdate& update) {
                    if (report.progress) report.progress(i, update);
                };
                results[i].device = device.name();
                try {
                    results[i].outcome = job(device, context);
                } catch (const std::exception& e) {
                    // One device's trouble ends its own job, not the process and the others'.
                    results[i].outcome = JobOutcome{1, std::string("internal error: ") + e.what(), Json::object()};
                }
                if (report.finished) report.finished(i, results[i].outcome);
            });
        }
    }
    bus.settle();
    for (std::size_t i = 0; i < devices.size(); ++i) results[i].onBus = devices[i]->started();
    return results;
}

std::string deviceFileName(const std::string& pattern, const std::string& device) {
    std::string safe = device;
    for (char& c : safe) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '_';
        if (!plain) c = '_';
    }
    // A name of dots alone would still climb out of the folder.
    if (safe.find_first_not_of('.') == std::string::npos) safe = std::string(safe.size(), '_');
    std::string name = pattern;
    const std::string field = kDeviceField;
    for (std::size_t at = name.find(field); at != std::string::npos; at = name.find(field, at + safe.size())) {
        name.replace(at, field.size(), safe);
    }
    return name;
}

int groupExitCode(const std::vector<DeviceResult>& results) {
    const auto any = [&](int code) {
        return std::any_of(results.begin(), results.end(), [&](const DeviceResult& r) { return r.outcome.exitCode == code; });
    };
    if (any(1)) return 1;
    if (any(2)) return 2;
    return 0;
}

}  // namespace dfuhost
