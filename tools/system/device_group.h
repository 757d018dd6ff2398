// Firmware work on several devices of the bus at once, as a production line runs it on a hub
// full of units: each device's job on a thread of its own, through a handle of its own. A device
// that fails or is refused fails alone; the others carry on.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tools/system/driver_on_bus.h"
#include "tools/system/firmware_jobs.h"

namespace dfuhost {

struct DeviceResult {
    std::string device;
    JobOutcome outcome;
    bool onBus = false;  // still in the bootloader, its driver started, once every job ended
};

// Where each device's job reports, by the device's place in the list; called from its thread.
struct GroupReport {
    std::function<void(std::size_t, const client::ProgressUpdate&)> progress;
    std::function<void(std::size_t, const std::string&)> warn;
    std::function<void(std::size_t, const JobOutcome&)> finished;
};

using DeviceJob = std::function<JobOutcome(const DeviceSlot&, const JobContext&)>;

// Runs the job on every device side by side and returns when all have ended, with the bus
// settled (whatever left or came back meanwhile has been taken in). The bus is only touched
// under one lock: opening a handle may first take in another device's departure or return.
std::vector<DeviceResult> runOnEach(DriverOnBus& bus, const std::vector<DeviceSlot*>& devices, const DeviceJob& job,
                                    const GroupReport& report);

// The exit code of the whole: 1 when any device failed, since it may be half written and a rerun
// finishes it; otherwise 2 when any was refused (it was not touched); otherwise 0.
int groupExitCode(const std::vector<DeviceResult>& results);

// The field of a file name that stands for each device's name, so that every device of a group
// has a file of its own.
inline constexpr const char* kDeviceField = "{device}";

// The pattern with every {device} replaced by the device's name, in which anything but letters,
// digits, '.', '-' and '_' becomes '_', so that no device name leads the file elsewhere.
std::string deviceFileName(const std::string& pattern, const std::string& device);

}  // namespace dfuhost
