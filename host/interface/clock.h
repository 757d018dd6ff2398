// Time as the emulated machine keeps it. Every wait of the driver, every time-out and every
// busy time of the bootloader model goes through one clock: the real one sleeps, the virtual
// one advances at once and records each wait.
#pragma once

#include <cstdint>

namespace host {

class Clock {
public:
    virtual ~Clock() = default;
    // Microseconds since the machine started.
    virtual std::uint64_t nowMicros() const = 0;
    // A delay of the calling thread.
    virtual void sleepMicros(std::uint64_t micros) = 0;
    virtual bool isVirtual() const = 0;
};

}  // namespace host
