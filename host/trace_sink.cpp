#include "host/trace_sink.h"

#include <cstdarg>

#include "host/machine.h"
#include "host/rtl/format.h"

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

namespace {

constexpr ULONG kAllTraceFlags = TRACE_DRIVER | TRACE_USB | TRACE_DFU | TRACE_CONTROL | TRACE_NOTIFY;

ULONG TraceLevelOfDebugPrint(ULONG level) {
    switch (level) {
        case 0: return TRACE_LEVEL_ERROR;
        case 1: return TRACE_LEVEL_WARNING;
        case 2: return TRACE_LEVEL_INFORMATION;
        default: return TRACE_LEVEL_VERBOSE;
    }
}

ULONG TraceFlagNamed(std::string_view name) {
    for (ULONG flag = 1; (flag & kAllTraceFlags) != 0; flag <<= 1) {
        if (name == TraceFlagName(flag)) {
            return flag;
        }
    }
    return TRACE_DRIVER;
}

}  // namespace

ULONG DbgPrintEx(ULONG, ULONG level, const char* format, ...) {
    const ULONG traceLevel = TraceLevelOfDebugPrint(level);
    if (format == nullptr || !TraceIsEnabled(kAllTraceFlags, traceLevel)) {
        return 0;
    }
    __builtin_ms_va_list list;
    __builtin_ms_va_start(list, format);
    host::WindowsArguments arguments(list);
    std::u16string wideFormat;
    for (const char* p = format; *p != 0; ++p) {
        wideFormat += static_cast<char16_t>(static_cast<unsigned char>(*p));
    }
    const std::optional<std::u16string> formatted =
        host::formatText(wideFormat, arguments, host::PlainString::Narrow);
    __builtin_ms_va_end(list);
    std::string text;
    for (char16_t c : formatted.value_or(wideFormat)) {
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    // "ostdfu <flag> <function>: <message>"
    ULONG flag = TRACE_DRIVER;
    std::string function = "DbgPrintEx";
    if (text.rfind("ostdfu ", 0) == 0) {
        const std::size_t flagEnd = text.find(' ', 7);
        const std::size_t functionEnd = text.find(": ", flagEnd == std::string::npos ? 7 : flagEnd);
        if (flagEnd != std::string::npos && functionEnd != std::string::npos) {
            flag = TraceFlagNamed(std::string_view(text).substr(7, flagEnd - 7));
            function = text.substr(flagEnd + 1, functionEnd - flagEnd - 1);
            text.erase(0, functionEnd + 2);
        }
    }
    if (TraceIsEnabled(flag, traceLevel)) {
        host::Machine::current().trace().write(flag, traceLevel, function.c_str(), text.c_str());
    }
    return 0;
}
