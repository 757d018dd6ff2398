#include "host/clock.h"

#include <thread>

namespace host {

namespace {
thread_local VirtualClock::Lane* tlsLane = nullptr;
}  // namespace

VirtualClock::Lane::Lane(Clock& clock, std::uint64_t startMicros)
    : clock_(dynamic_cast<VirtualClock*>(&clock)), outer_(tlsLane), now_(startMicros) {
    if (clock_ == nullptr) return;
    tlsLane = this;
}

VirtualClock::Lane::~Lane() {
    if (clock_ == nullptr) return;
    tlsLane = outer_;
    std::uint64_t shared = clock_->now_.load();
    while (shared < now_ && !clock_->now_.compare_exchange_weak(shared, now_)) {
    }
}

VirtualClock::Lane* VirtualClock::laneOfThisThread() const {
    for (Lane* lane = tlsLane; lane != nullptr; lane = lane->outer_) {
        if (lane->clock_ == this) return lane;
    }
    return nullptr;
}

std::uint64_t VirtualClock::nowMicros() const {
    const Lane* lane = laneOfThisThread();
    return lane != nullptr ? lane->now_ : now_.load();
}

void VirtualClock::sleepMicros(std::uint64_t micros) {
    if (Lane* lane = laneOfThisThread()) {
        lane->now_ += micros;
    } else {
        now_.fetch_add(micros);
    }
}

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
