// The firmware work on one device, as dfuhost's commands and scenario actions do it: flash an
// image file, read memory into a file, verify a file against the device. Each job touches only
// its own device and its own arguments, so several can run at once, one thread per device, each
// reporting to its own progress line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "client/flash_plan.h"
#include "client/flash_run.h"
#include "tools/system/report.h"

namespace dfuhost {

struct FlashJob {
    std::filesystem::path file;
    std::optional<std::uint32_t> address;  // for a raw binary
    bool verify = true;
    bool leave = false;
    client::PlanOptions plan;
};

struct ReadJob {
    std::filesystem::path file;  // .bin, .hex or .dfu
    std::uint32_t address = 0;
    std::uint32_t length = 0;
};

struct VerifyJob {
    std::filesystem::path file;
    std::optional<std::uint32_t> address;
};

struct JobOutcome {
    int exitCode = 0;  // 0 done; 1 the device failed or went; 2 refused before anything was sent
    std::string message;
    Json details = Json::object();
};

// What a job needs from around it: a handle on its device's driver interface (invalid when the
// device is not there); where its warnings go; how it reports progress and learns that it should
// stop.
struct JobContext {
    std::function<client::Handle()> open;
    // For a job that makes its device re-enumerate (a read unprotect): waits at most
    // `limitMicros` of the machine's clock for the device to leave and arrive again, and opens
    // it then; invalid when it was not back in time.
    std::function<client::Handle(std::uint64_t limitMicros)> openAfterReturn;
    std::function<void(const std::string&)> warn;
    client::RunControl control;
};

JobOutcome runFlashJob(const FlashJob& job, const JobContext& context);
JobOutcome runReadJob(const ReadJob& job, const JobContext& context);
JobOutcome runVerifyJob(const VerifyJob& job, const JobContext& context);

}  // namespace dfuhost
