#include "tools/system/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "host/interface/clock.h"

namespace dfuhost {

namespace {
constexpr auto kGrace = std::chrono::milliseconds(400);
constexpr auto kInterval = std::chrono::milliseconds(250);
}  // namespace

bool Progress::wanted() { return isatty(STDOUT_FILENO) != 0 && isatty(STDERR_FILENO) != 0; }

unsigned Progress::terminalRows() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_row;
}

Progress::Progress(bool enabled, std::string what, const host::Clock* clock)
    : what_(std::move(what)), clock_(clock) {
    if (enabled) {
        thread_ = std::thread([this] { run(); });
    }
}

Progress::~Progress() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Progress::run() {
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t clockStart = clock_ != nullptr ? clock_->nowMicros() : 0;
    std::unique_lock lock(mutex_);
    if (wake_.wait_for(lock, kGrace, [this] { return done_; })) return;
    static const char kSpinner[] = "|/-\\";
    unsigned tick = 0;
    bool shown = false;
    while (!done_) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (clock_ != nullptr && clock_->isVirtual()) {
            const double machine = static_cast<double>(clock_->nowMicros() - clockStart) / 1e6;
            std::fprintf(stderr, "\r%c %s ... %.1f s (machine time %.1f s)  ", kSpinner[tick % 4],
                         what_.c_str(), seconds, machine);
        } else {
            std::fprintf(stderr, "\r%c %s ... %.1f s  ", kSpinner[tick % 4], what_.c_str(), seconds);
        }
        std::fflush(stderr);
        shown = true;
        ++tick;
        wake_.wait_for(lock, kInterval, [this] { return done_; });
    }
    if (shown) {
        // Clear the line for whatever is printed next.
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
}

}  // namespace dfuhost
