// The dispatcher: one lock and one condition for every event and mutex, as in a kernel, so
// waits, signals and time-outs are simple to reason about.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/sync.h"

namespace host {

class Clock;
class WaitLog;

class Dispatcher {
public:
    Dispatcher(Clock& clock, WaitLog& waits) : clock_(clock), waits_(waits) {}

    // Under the virtual clock a timed wait first gives other threads this much real time to
    // signal; after that the time-out is taken to have passed and virtual time advances by it.
    // Tests of time-outs use lower drivers that never complete on their own, so this grace
    // decides nothing in them.
    static constexpr std::chrono::milliseconds kVirtualWaitGrace{50};

    void initializeEvent(KEVENT* event, EVENT_TYPE type, bool signalled);
    LONG setEvent(KEVENT* event);
    void clearEvent(KEVENT* event);
    LONG readEvent(KEVENT* event);
    void initializeMutex(KMUTEX* mutex);
    LONG releaseMutex(KMUTEX* mutex);

    // timeout100ns: nullopt-like semantics via hasTimeout; negative relative intervals only.
    NTSTATUS wait(DISPATCHER_HEADER* object, const LARGE_INTEGER* timeout);
    NTSTATUS delay(const LARGE_INTEGER* interval);

private:
    bool satisfiable(const DISPATCHER_HEADER* object, std::uintptr_t self) const;
    void satisfy(DISPATCHER_HEADER* object, std::uintptr_t self);

    Clock& clock_;
    WaitLog& waits_;
    std::mutex mutex_;
    std::condition_variable signalled_;
};

// A small number that identifies the calling thread to mutexes (never 0).
std::uintptr_t currentThreadTag();

}  // namespace host
