// flash, read and verify: one firmware job on each device the command names (or on every
// bootloader of the bus), side by side, with a progress bar per phase on a terminal for one
// device and a line per device for several, and the results as lines or as JSON.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "tools/commands/commands.h"
#include "tools/system/device_group.h"
#include "tools/system/phase_bar.h"
#include "tools/system/progress.h"
#include "tools/system/progress_board.h"

namespace dfuhost {

namespace {

// The devices a command works on, in the order named, and the file (or file pattern).
struct Targets {
    std::vector<DeviceSlot*> devices;
    std::string file;
    bool several = false;  // results as a list: more than one device was named, or --all
};

// The usage the parser cannot see, before the bus is brought up.
void checkShape(const FirmwareRequest& r) {
    const std::size_t named = r.arguments.size() - 1;
    if (r.all && named > 0) {
        throw UsageError("--all and the device " + r.arguments.front() + " both given: give one or the other");
    }
    if (!r.all && named == 0) {
        throw UsageError("name the device before the file " + r.arguments.back() + ", or give --all");
    }
}

Targets targetsOf(Session& session, const FirmwareRequest& r) {
    Targets targets;
    targets.file = r.arguments.back();
    if (r.all) {
        for (DeviceSlot& slot : session.system().devices()) {
            if (slot.started()) targets.devices.push_back(&slot);
        }
        if (targets.devices.empty()) throw UsageError("--all: no bootloader on the bus");
        targets.several = true;
        return targets;
    }
    for (auto name = r.arguments.begin(); name + 1 != r.arguments.end(); ++name) {
        DeviceSlot* slot = &session.device(*name);
        // Two jobs on one device would interleave their erases and writes.
        if (std::find(targets.devices.begin(), targets.devices.end(), slot) != targets.devices.end()) {
            throw UsageError(slot->name() + " is named twice");
        }
        targets.devices.push_back(slot);
    }
    targets.several = targets.devices.size() > 1;
    return targets;
}

Json resultOf(const char* command, const DeviceResult& r) {
    Json result = r.outcome.details;
    result["device"] = r.device;
    result["command"] = command;
    result["ok"] = r.outcome.exitCode == kExitSuccess;
    result["message"] = r.outcome.message;
    result["on_bus"] = r.onBus;
    return result;
}

void printResults(const GlobalOptions& options, const std::string& driver, const char* command,
                  const Targets& targets, const std::vector<DeviceResult>& results) {
    if (options.json) {
        if (!targets.several) return printJson(resultOf(command, results.front()), driver);
        Json all = Json::array();
        for (const DeviceResult& r : results) all.push_back(resultOf(command, r));
        return printJson(all, driver);
    }
    for (const DeviceResult& r : results) {
        if (r.outcome.exitCode == kExitSuccess) {
            std::printf("%s %s: %s\n", command, r.device.c_str(), r.outcome.message.c_str());
        } else {
            std::fprintf(stderr, "dfuhost: %s %s: %s\n", command, r.device.c_str(), r.outcome.message.c_str());
        }
    }
}

// Runs the job on every target at once; the handles the jobs open are closed before the devices
// are taken down, and whatever left or came back meanwhile has arrived before each open.
int runJobs(const GlobalOptions& options, const FirmwareRequest& request, const char* command,
            const std::function<JobOutcome(const std::string& file, const JobContext&)>& job) {
    checkShape(request);
    Session session(options);
    const Targets targets = targetsOf(session, request);
    std::vector<std::string> names;
    for (const DeviceSlot* device : targets.devices) names.push_back(device->name());
    const auto warning = [&](std::size_t row, const std::string& text) {
        return "dfuhost: " + names[row] + ": warning: " + text;
    };

    std::vector<DeviceResult> results;
    {
        // One device keeps a line per phase; several share a board of one line per device.
        std::optional<PhaseBar> bar;
        std::optional<ProgressBoard> board;
        GroupReport report;
        if (targets.several) {
            // A board taller than the terminal could not be redrawn in place: plain lines then.
            const bool fits = names.size() < Progress::terminalRows();
            const BoardMode mode = options.json                 ? BoardMode::Off
                                   : session.progress() && fits ? BoardMode::Terminal
                                                                : BoardMode::Lines;
            board.emplace(mode, names);
            report.progress = [&](std::size_t row, const client::ProgressUpdate& u) { board->update(row, u); };
            report.warn = [&](std::size_t row, const std::string& text) { board->note(warning(row, text)); };
            report.finished = [&](std::size_t row, const JobOutcome& o) { board->finish(row, o.exitCode == kExitSuccess); };
        } else {
            bar.emplace(session.progress() && !options.json, names.front());
            report.progress = [&](std::size_t, const client::ProgressUpdate& u) { bar->update(u); };
            report.warn = [&](std::size_t row, const std::string& text) {
                std::fprintf(stderr, "%s\n", warning(row, text).c_str());
            };
        }
        results = runOnEach(
            session.system(), targets.devices,
            [&](const DeviceSlot& device, const JobContext& c) { return job(deviceFileName(targets.file, device.name()), c); },
            report);
    }
    session.finish();
    printResults(options, session.system().driverName(), command, targets, results);
    return groupExitCode(results);
}

std::optional<std::uint32_t> addressOf(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return static_cast<std::uint32_t>(parseNumber(*text, "--address", 0xFFFFFFFF));
}

}  // namespace

FlashJob flashJobOf(const FirmwareRequest& r) {
    FlashJob job;
    job.address = addressOf(r.address);
    job.verify = !r.noVerify;
    job.leave = r.leave;
    job.plan = r.plan;
    return job;
}

int flashCommand(const GlobalOptions& options, const FirmwareRequest& r) {
    const FlashJob job = flashJobOf(r);
    return runJobs(options, r, "flash", [job](const std::string& file, const JobContext& c) {
        FlashJob own = job;
        own.file = file;
        return runFlashJob(own, c);
    });
}

int readCommand(const GlobalOptions& options, const FirmwareRequest& r) {
    ReadJob job;
    job.address = *addressOf(r.address);
    job.length = static_cast<std::uint32_t>(parseNumber(r.length, "--length", 0xFFFFFFFF));
    if ((r.all || r.arguments.size() > 2) && r.arguments.back().find(kDeviceField) == std::string::npos) {
        throw UsageError("read: several devices would write one file; put " + std::string(kDeviceField) +
                         " in its name (out-" + kDeviceField + ".hex)");
    }
    return runJobs(options, r, "read", [job](const std::string& file, const JobContext& c) {
        ReadJob own = job;
        own.file = file;
        return runReadJob(own, c);
    });
}

int verifyCommand(const GlobalOptions& options, const FirmwareRequest& r) {
    VerifyJob job;
    job.address = addressOf(r.address);
    return runJobs(options, r, "verify", [job](const std::string& file, const JobContext& c) {
        VerifyJob own = job;
        own.file = file;
        return runVerifyJob(own, c);
    });
}

}  // namespace dfuhost
