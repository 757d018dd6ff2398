// Where the driver's software tracing goes: off by default; a tool or test enables flags and a
// level and names stderr or a file.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/trace.h"

namespace host {

class TraceSink {
public:
    ~TraceSink();
    void enable(ULONG flags, ULONG level = TRACE_LEVEL_VERBOSE);
    void disable() { flags_.store(0); }
    // Empty path: stderr.
    bool openFile(const std::string& path);

    bool enabled(ULONG flag, ULONG level) const {
        return (flags_.load(std::memory_order_relaxed) & flag) != 0 &&
               level <= level_.load(std::memory_order_relaxed);
    }
    void write(ULONG flag, ULONG level, const char* function, const char* text);

    // Sessions started by the driver and not yet stopped.
    int sessions() const { return sessions_.load(); }
    void startSession() { sessions_.fetch_add(1); }
    void stopSession() { sessions_.fetch_sub(1); }

private:
    std::atomic<ULONG> flags_{0};
    std::atomic<ULONG> level_{TRACE_LEVEL_VERBOSE};
    std::atomic<int> sessions_{0};
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

}  // namespace host

// The kernel's debug print, as a loaded image calls it for its traces. Its text
// "ostdfu <flag> <function>: <message>" (the Windows face's traces) goes to the trace sink under
// that flag and function; any other text under the driver flag. Levels: 0 error, 1 warning,
// 2 information, 3 verbose.
NTAPI ULONG DbgPrintEx(ULONG componentId, ULONG level, const char* format, ...);
