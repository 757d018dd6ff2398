// The subcommands of dfuhost. Each returns the process's exit code: 0 success, 1 the operation
// returned a failure status, 2 bad usage (thrown as UsageError or scenario::ScenarioError and
// turned into the code by main).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/flash_plan.h"
#include "tools/commands/session.h"
#include "tools/system/firmware_jobs.h"

namespace dfuhost {

int listCommand(const GlobalOptions& options);
int infoCommand(const GlobalOptions& options, const std::string& device);
int eventsCommand(const GlobalOptions& options, bool raw);
int runCommand(const GlobalOptions& options, const std::string& scenarioFile);

// One operation of the control interface on one device, with its arguments as typed.
struct OperationRequest {
    std::string operation;  // the subcommand's name: "mass-erase", "option-bytes write", ...
    std::string device;
    std::vector<std::string> arguments;      // positional, after the device
    std::optional<std::string> timeout;      // detach --timeout
    std::optional<std::string> delay;        // poll --delay
    std::optional<std::string> length;       // option-bytes read --length, descriptor --length
    std::optional<std::string> stringIndex;  // descriptor --string
    bool allow = false;                      // option-bytes write --allow
};
int operationCommand(const GlobalOptions& options, const OperationRequest& request);

struct IoctlRequest {
    std::string device;
    std::string code;
    std::string input;
    std::string outputLength;
    std::string outputData;
    std::string interfaceKind = "driver";
};
int ioctlCommand(const GlobalOptions& options, const IoctlRequest& request);

// flash, read and verify, with their arguments as typed: the devices, then the file last.
struct FirmwareRequest {
    std::vector<std::string> arguments;
    bool all = false;  // every bootloader on the bus instead of named devices
    std::optional<std::string> address;
    std::string length;  // read
    bool noVerify = false;
    bool leave = false;
    client::PlanOptions plan;
};
int flashCommand(const GlobalOptions& options, const FirmwareRequest& request);
// The flash job the request describes; UsageError for an --address that does not parse.
FlashJob flashJobOf(const FirmwareRequest& request);

// watch: every bootloader that arrives on the machine's USB, identified and, with a file,
// flashed, until interrupted or `count` units were handled.
struct WatchRequest {
    std::string file;          // the image to flash; empty: identify only
    FirmwareRequest firmware;  // address, noVerify, leave, plan
    std::optional<std::string> count;
};
int watchCommand(const GlobalOptions& options, const WatchRequest& request);
int readCommand(const GlobalOptions& options, const FirmwareRequest& request);
int verifyCommand(const GlobalOptions& options, const FirmwareRequest& request);

}  // namespace dfuhost
