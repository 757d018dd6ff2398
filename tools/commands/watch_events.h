// What `dfuhost --usb watch` tells of each unit, one line per event on stdout: a unit that
// arrived (identified, as `list` shows it), the result of its flash, a unit that left, a unit
// that could not be brought up. With --json each line is one JSON object whose "event" says
// which, and "driver" which driver answered. Lines come whole from any thread.
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "tools/commands/device_report.h"
#include "tools/system/firmware_jobs.h"

namespace dfuhost {

class WatchEvents {
public:
    WatchEvents(bool json, std::string driver) : json_(json), driver_(std::move(driver)) {}

    void arrived(const DeviceSummary& summary);
    void flashed(const std::string& unit, const JobOutcome& outcome);
    void left(const std::string& unit);
    // The unit is there but could not be brought up (it would not open, or the driver did not
    // start it).
    void failed(const std::string& unit, const std::string& message);
    // On stderr: a unit's warning, or a note about the station itself.
    void warn(const std::string& unit, const std::string& text);

private:
    void print(const std::string& line);
    void print(Json event);

    const bool json_;
    const std::string driver_;
    std::mutex mutex_;  // one line at a time on stdout
};

}  // namespace dfuhost
