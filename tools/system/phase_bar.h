// The progress of one device's firmware work on a terminal: per phase one line with a bar, the
// bytes done of the phase's total and the rate, redrawn in place and kept when the phase ends.
// Each device's job has its own bar and nothing is shared between bars.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "client/flash_run.h"

namespace dfuhost {

class PhaseBar {
public:
    // Draws nothing unless enabled (a person watches a terminal, and no JSON is asked for).
    PhaseBar(bool enabled, std::string device, std::FILE* out = stderr);
    ~PhaseBar();
    PhaseBar(const PhaseBar&) = delete;
    PhaseBar& operator=(const PhaseBar&) = delete;

    void update(const client::ProgressUpdate& update);

private:
    void draw(const client::ProgressUpdate& update, bool final);

    bool enabled_;
    std::string device_;
    std::FILE* out_;
    std::mutex mutex_;  // a job may report from its own thread
    bool drawn_ = false;
    client::Phase phase_ = client::Phase::Erase;
    client::ProgressUpdate last_;
    std::chrono::steady_clock::time_point phaseStart_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// "1.5 KiB", "256 KiB", "3.2 MiB".
std::string byteText(double bytes);
// A phase's progress after `seconds` of it: "download [######..] 12.0 KiB / 64.0 KiB 30.1 KiB/s".
std::string phaseText(const client::ProgressUpdate& update, double seconds);

}  // namespace dfuhost
