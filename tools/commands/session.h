// What every command but `run` does around its own work: read the global options, bring the bus
// up (the --sim scenario's devices, the real USB's bootloaders with --usb, or the demo bus), let
// every device arrive, and at the end
// remove the devices and unload the driver.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "client/updater.h"
#include "tools/system/driver_on_bus.h"
#include "tools/system/report.h"

namespace dfuhost {

// Bad usage that the command line parser cannot see (an unknown device, a malformed number):
// exit code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct GlobalOptions {
    std::string sim;
    std::string registry;
    std::string osVersion;
    std::string trace;
    std::string driver;
    bool json = false;
    bool realTime = false;
    // The bus is the machine's real USB (its 0483:DF11 devices); implies realTime.
    bool usb = false;

    // Throws UsageError for a version or trace selection that does not parse.
    SystemOptions systemOptions() const;
};

// The environment variable that gives --driver's default; serve sets it for its command, so a
// dfuhost run under it takes the same driver.
inline constexpr const char* kDriverVariable = "DFUHOST_DRIVER";

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

class Session {
public:
    // Throws scenario::ScenarioError, UsageError.
    explicit Session(const GlobalOptions& options);
    ~Session();

    DriverOnBus& system() { return *system_; }
    const GlobalOptions& options() const { return options_; }
    bool progress() const { return progress_; }

    // The device a command names, by name or by its number in `list`; UsageError otherwise.
    DeviceSlot& device(const std::string& nameOrNumber);
    // A handle on the device's interface of that kind; UsageError when the device publishes none.
    client::Handle open(DeviceSlot& device, InterfaceKind kind = InterfaceKind::Driver);

    // The orderly end: every device removed, the driver unloaded. Handles must be closed first.
    void finish();

private:
    GlobalOptions options_;
    bool progress_ = false;
    std::unique_ptr<DriverOnBus> system_;
};

// "0x1f", "31" -> 31; UsageError naming what for otherwise.
std::uint64_t parseNumber(const std::string& text, const std::string& what, std::uint64_t max);
std::vector<std::uint8_t> parseHexArgument(const std::string& text, const std::string& what);
// Prints a command's --json result, each object marked with the driver that answered: the
// document itself, or each element of a list.
void printJson(Json document, const std::string& driver);

}  // namespace dfuhost
