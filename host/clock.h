// The two clocks and the log of the driver's waits.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "host/interface/clock.h"

namespace host {

// Returns from a delay at once and moves time forward by it, so tests run fast and can assert
// exact waits. Several threads may sleep at once; each advances the shared time.
class VirtualClock final : public Clock {
public:
    std::uint64_t nowMicros() const override { return now_.load(); }
    void sleepMicros(std::uint64_t micros) override { now_.fetch_add(micros); }
    bool isVirtual() const override { return true; }
    void advanceMicros(std::uint64_t micros) { now_.fetch_add(micros); }

private:
    std::atomic<std::uint64_t> now_{0};
};

class RealClock final : public Clock {
public:
    std::uint64_t nowMicros() const override;
    void sleepMicros(std::uint64_t micros) override;
    bool isVirtual() const override { return false; }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Every delay the driver asks for and every timed wait that ran out, in order.
class WaitLog {
public:
    enum class Kind { Delay, Timeout };
    struct Entry {
        Kind kind;
        std::uint64_t micros;
    };
    void record(Kind kind, std::uint64_t micros);
    std::vector<Entry> entries() const;
    // Delays only, in milliseconds (what a test of the DFU pacing compares).
    std::vector<std::uint64_t> delaysMs() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

// Requests and releases of the finer system timer.
class TimerResolution {
public:
    void request() { requests_.fetch_add(1); }
    void release() { releases_.fetch_add(1); }
    unsigned requests() const { return requests_.load(); }
    unsigned releases() const { return releases_.load(); }

private:
    std::atomic<unsigned> requests_{0};
    std::atomic<unsigned> releases_{0};
};

}  // namespace host
