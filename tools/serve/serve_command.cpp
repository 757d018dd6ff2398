// dfuhost serve: the models on a umockdev testbed while a command runs, the scenario's cables
// plugged and pulled on the real clock meanwhile, and the command's exit code at the end.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>

#include "host/clock.h"
#include "host/umockdev/testbed.h"
#include "tools/scenario/scenario.h"
#include "tools/serve/child_process.h"
#include "tools/serve/hotplug_script.h"
#include "tools/serve/serve.h"
#include "tools/serve/served_bus.h"
#include "tools/serve/transfer_log.h"
#include "tools/system/demo_bus.h"

namespace dfuhost {

namespace {

constexpr int kExitCannotRun = 127;  // as a shell says of a command it cannot start
constexpr const char* kRestartedMark = "DFUHOST_SERVE_RESTARTED";

// Wakes the serving thread when the command ends or a device leaves or comes back.
class Wakeup {
public:
    void notify() {
        {
            std::lock_guard lock(mutex_);
            raised_ = true;
        }
        condition_.notify_one();
    }
    // Until notified or `deadline`, whichever is first; without one, until notified.
    void waitUntil(std::optional<std::chrono::steady_clock::time_point> deadline) {
        std::unique_lock lock(mutex_);
        if (deadline) {
            condition_.wait_until(lock, *deadline, [&] { return raised_; });
        } else {
            condition_.wait(lock, [&] { return raised_; });
        }
        raised_ = false;
    }

private:
    std::mutex mutex_;  // guards raised_
    std::condition_variable condition_;
    bool raised_ = false;
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The testbed's uevents are built from its /sys, which only a process under the preload library
// sees, so serve runs under it too; the command inherits it from serve.
int restartUnderUmockdev(const std::vector<std::string>& self) {
    if (kSanitized) {
        // A sanitizer's runtime must come first in the process; the preload library cannot.
        std::fprintf(stderr, "dfuhost: serve cannot run in a sanitizer build (umockdev's preload library "
                             "cannot load there)\n");
        return kExitUsage;
    }
    if (std::getenv(kRestartedMark) != nullptr || self.empty()) {
        std::fprintf(stderr, "dfuhost: umockdev's preload library (%s) does not load\n",
                     host::umockdev::preloadLibrary());
        return kExitUsage;
    }
    setenv("LD_PRELOAD", host::umockdev::childPreload(std::getenv("LD_PRELOAD")).c_str(), 1);
    setenv(kRestartedMark, "1", 1);
    std::vector<char*> argv;
    for (const std::string& word : self) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    std::fprintf(stderr, "dfuhost: cannot start again under umockdev: %s\n", std::strerror(errno));
    return kExitUsage;
}

}  // namespace

int serveCommand(const GlobalOptions& options, const ServeRequest& request) {
    if (options.usb) throw UsageError("serve puts the bus's models on the machine's USB; --usb does not apply");
    if (request.command.empty()) throw UsageError("serve needs a command: dfuhost serve -- COMMAND [ARG...]");
    if (!host::umockdev::preloadInstalled()) {
        std::fprintf(stderr, "dfuhost: %s\n", kUmockdevMissing);
        return kExitUsage;
    }
    if (!host::umockdev::underUmockdev()) return restartUnderUmockdev(request.self);
    const scenario::Scenario s = options.sim.empty() ? demoBus() : scenario::loadScenarioFile(options.sim);
    const HotPlugScript script = hotPlugScriptOf(s);
    // The bus is served without a driver; a dfuhost that COMMAND runs takes the one named here.
    if (const std::string driver = options.driver.empty() ? s.driverImage : options.driver; !driver.empty()) {
        setenv(kDriverVariable, std::filesystem::absolute(driver).c_str(), 1);
    }

    host::RealClock clock;
    std::unique_ptr<TransferLog> log;
    if (!request.record.empty()) log = std::make_unique<TransferLog>(request.record, clock);
    Wakeup wakeup;
    ServedBus bus(s, clock, log.get(), [&] { wakeup.notify(); });
    for (const std::string& device : script.pluggedLater) bus.pull(device);
    bus.settle();

    int code = 0;
    {
        std::unique_ptr<ChildProcess> child;
        try {
            child = std::make_unique<ChildProcess>(request.command, [&] { wakeup.notify(); });
        } catch (const ChildError& e) {
            std::fprintf(stderr, "dfuhost: %s\n", e.what());
            return kExitCannotRun;
        }
        const auto start = std::chrono::steady_clock::now();
        std::size_t next = 0;
        while (!child->exitCode()) {
            std::optional<std::chrono::steady_clock::time_point> deadline;
            if (next < script.steps.size()) deadline = start + std::chrono::milliseconds(script.steps[next].atMs);
            wakeup.waitUntil(deadline);
            bus.settle();
            for (; next < script.steps.size() &&
                   std::chrono::steady_clock::now() >= start + std::chrono::milliseconds(script.steps[next].atMs);
                 ++next) {
                const HotPlugStep& step = script.steps[next];
                if (step.kind == HotPlugStep::Kind::Plug) {
                    bus.plug(step.device);
                } else {
                    bus.pull(step.device);
                }
            }
        }
        code = child->wait();
    }
    if (options.json) {
        Json result = Json::object();
        result["exit_code"] = code;
        result["devices"] = bus.snapshot();
        std::cout << result.dump(2) << std::endl;  // no driver answered here: nothing to mark
    }
    return code;
}

}  // namespace dfuhost
