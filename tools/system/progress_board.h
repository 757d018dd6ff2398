// The progress of firmware work on several devices at once: one line per device with its phase,
// a bar, the bytes done of the phase's total and the rate. On a terminal the lines stand one
// under the other and are redrawn in place; elsewhere (a log of a production run) each device's
// line is printed once whenever one of its phases ends, and once more when its work ends.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "client/flash_run.h"

namespace dfuhost {

enum class BoardMode { Off, Terminal, Lines };

class ProgressBoard {
public:
    ProgressBoard(BoardMode mode, std::vector<std::string> devices, std::FILE* out = stderr);
    ProgressBoard(const ProgressBoard&) = delete;
    ProgressBoard& operator=(const ProgressBoard&) = delete;

    // From the device's own thread; `row` is the device's place in the list given at the start.
    void update(std::size_t row, const client::ProgressUpdate& update);
    // The device's work has ended.
    void finish(std::size_t row, bool ok);
    // A line of text for a person (a warning), kept above the board.
    void note(const std::string& text);

private:
    struct Row {
        std::string device;
        bool started = false;
        const char* state = nullptr;  // "done" or "failed" once the work ended
        client::ProgressUpdate last;
        std::chrono::steady_clock::time_point phaseStart;
        // The rate is the one of the latest update, so a device that waits or has ended keeps it.
        std::chrono::steady_clock::time_point lastUpdate;
    };

    std::string text(const Row& row) const;
    void printLine(const Row& row);
    void redraw();

    BoardMode mode_;
    std::FILE* out_;
    std::size_t width_ = 0;  // of the longest device name
    std::mutex mutex_;       // every device reports from its own thread
    std::vector<Row> rows_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDraw_;
};

// One device's line: "strada-base  download [######..] 12.0 KiB / 64.0 KiB 30.1 KiB/s".
std::string boardLine(const std::string& device, std::size_t width, const client::ProgressUpdate& update,
                      double seconds);

}  // namespace dfuhost
