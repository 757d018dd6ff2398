#include "host/trace_sink.h"

#include <cstdarg>

#include "host/machine.h"

namespace host {

TraceSink::~TraceSink() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void TraceSink::enable(ULONG flags, ULONG level) {
    flags_.store(flags);
    level_.store(level);
}

bool TraceSink::openFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (path.empty()) {
        return true;
    }
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void TraceSink::write(ULONG flag, ULONG level, const char* function, const char* text) {
    static const char* const kLevels[] = {"", "", "ERROR", "WARN", "INFO", "VERBOSE"};
    static const char* kFlags[] = {"driver", "usb", "dfu", "control", "notify"};
    const char* flagName = "?";
    for (int i = 0; i < 5; ++i) {
        if (flag == (1u << i)) {
            flagName = kFlags[i];
        }
    }
    std::lock_guard lock(mutex_);
    std::fprintf(file_ != nullptr ? file_ : stderr, "[%s %s] %s: %s\n", flagName,
                 level < 6 ? kLevels[level] : "?", function, text);
}

}  // namespace host

bool TraceIsEnabled(ULONG flag, ULONG level) {
    return host::Machine::exists() && host::Machine::current().trace().enabled(flag, level);
}

void TraceWrite(ULONG flag, ULONG level, const char* function, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    host::Machine::current().trace().write(flag, level, function, text);
}

void WPP_INIT_TRACING(DRIVER_OBJECT*, const UNICODE_STRING*) {
    host::Machine::current().trace().startSession();
}

void WPP_CLEANUP(DRIVER_OBJECT*) { host::Machine::current().trace().stopSession(); }
