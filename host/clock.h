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
// exact waits. Several threads may sleep at once; each advances the shared time, except a
// thread inside a Lane.
class VirtualClock final : public Clock {
public:
    std::uint64_t nowMicros() const override;
    void sleepMicros(std::uint64_t micros) override;
    bool isVirtual() const override { return true; }
    void advanceMicros(std::uint64_t micros) { now_.fetch_add(micros); }

    // Time of one thread's own, for work that runs beside other work of the same kind (each
    // device's arrival on a PnP worker). It starts at the time the work was started (the
    // shared time when the workers were launched, however late this thread runs) and only
    // this thread's waits move it, so concurrent waits overlap as they do on a real clock and
    // each device sees the times it would see alone, whatever the other workers do meanwhile.
    // When the lane ends, the shared time moves up to the lane's if that is later.
    class Lane {
    public:
        Lane(Clock& clock, std::uint64_t startMicros);
        ~Lane();
        Lane(const Lane&) = delete;
        Lane& operator=(const Lane&) = delete;

    private:
        friend class VirtualClock;
        VirtualClock* clock_;  // nullptr: another clock, which has nothing to keep
        Lane* outer_;
        std::uint64_t now_ = 0;
    };

private:
    Lane* laneOfThisThread() const;

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
