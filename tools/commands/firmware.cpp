// flash, read and verify: one firmware job on one device of the bus, with a progress bar per
// phase on a terminal and the result as a line or as JSON.
#include <cstdio>

#include "tools/commands/commands.h"
#include "tools/system/firmware_jobs.h"
#include "tools/system/phase_bar.h"

namespace dfuhost {

namespace {

// Runs the job against the named device; the handles it opens are closed before the devices
// are taken down, and whatever left or came back meanwhile has arrived before each open.
int runJob(const GlobalOptions& options, const std::string& deviceName, const char* command,
           const std::function<JobOutcome(const JobContext&)>& job) {
    Session session(options);
    DeviceSlot& device = session.device(deviceName);
    JobOutcome outcome;
    {
        PhaseBar bar(session.progress() && !options.json, device.name());
        JobContext context;
        context.open = [&]() -> client::Handle {
            session.system().settle();
            const auto link = session.system().interfaceLink(device, InterfaceKind::Driver);
            if (!link) return {};
            return client::openLink(*link).handle;
        };
        context.warn = [&](const std::string& text) {
            std::fprintf(stderr, "dfuhost: %s: warning: %s\n", device.name().c_str(), text.c_str());
        };
        context.control.progress = [&](const client::ProgressUpdate& update) { bar.update(update); };
        outcome = job(context);
    }
    session.system().settle();
    const bool gone = !device.started();
    session.finish();

    if (options.json) {
        Json result = outcome.details;
        result["device"] = device.name();
        result["command"] = command;
        result["ok"] = outcome.exitCode == kExitSuccess;
        result["message"] = outcome.message;
        result["on_bus"] = !gone;
        printJson(result);
    } else if (outcome.exitCode == kExitSuccess) {
        std::printf("%s %s: %s\n", command, device.name().c_str(), outcome.message.c_str());
    } else {
        std::fprintf(stderr, "dfuhost: %s %s: %s\n", command, device.name().c_str(), outcome.message.c_str());
    }
    return outcome.exitCode;
}

std::optional<std::uint32_t> addressOf(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return static_cast<std::uint32_t>(parseNumber(*text, "--address", 0xFFFFFFFF));
}

}  // namespace

FlashJob flashJobOf(const FirmwareRequest& r) {
    FlashJob job;
    job.file = r.file;
    job.address = addressOf(r.address);
    job.verify = !r.noVerify;
    job.leave = r.leave;
    job.plan = r.plan;
    return job;
}

int flashCommand(const GlobalOptions& options, const FirmwareRequest& r) {
    const FlashJob job = flashJobOf(r);
    return runJob(options, r.device, "flash", [&](const JobContext& c) { return runFlashJob(job, c); });
}

int readCommand(const GlobalOptions& options, const FirmwareRequest& r) {
    ReadJob job;
    job.file = r.file;
    job.address = *addressOf(r.address);
    job.length = static_cast<std::uint32_t>(parseNumber(r.length, "--length", 0xFFFFFFFF));
    return runJob(options, r.device, "read", [&](const JobContext& c) { return runReadJob(job, c); });
}

int verifyCommand(const GlobalOptions& options, const FirmwareRequest& r) {
    VerifyJob job;
    job.file = r.file;
    job.address = addressOf(r.address);
    return runJob(options, r.device, "verify", [&](const JobContext& c) { return runVerifyJob(job, c); });
}

}  // namespace dfuhost
