#include "host/clock.h"

#include <thread>

namespace host {

std::uint64_t RealClock::nowMicros() const {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - start_)
                                          .count());
}

void RealClock::sleepMicros(std::uint64_t micros) {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

void WaitLog::record(Kind kind, std::uint64_t micros) {
    std::lock_guard lock(mutex_);
    entries_.push_back({kind, micros});
}

std::vector<WaitLog::Entry> WaitLog::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::uint64_t> WaitLog::delaysMs() const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint64_t> result;
    for (const Entry& e : entries_) {
        if (e.kind == Kind::Delay) {
            result.push_back(e.micros / 1000);
        }
    }
    return result;
}

void WaitLog::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace host
