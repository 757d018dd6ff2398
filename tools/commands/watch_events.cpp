#include "tools/commands/watch_events.h"

#include <cstdio>

namespace dfuhost {

namespace {

// The event's word, padded so that text lines line up.
std::string tagged(const char* event, const std::string& rest) {
    char tag[16];
    std::snprintf(tag, sizeof(tag), "%-8s ", event);
    return tag + rest;
}

}  // namespace

void WatchEvents::arrived(const DeviceSummary& summary) {
    if (!json_) return print(tagged("arrived", summaryLine(summary)));
    Json event = summaryJson(summary);
    event["event"] = "arrived";
    print(std::move(event));
}

void WatchEvents::flashed(const std::string& unit, const JobOutcome& outcome) {
    const bool ok = outcome.exitCode == kExitSuccess;
    if (!json_) return print(tagged(ok ? "flashed" : "failed", unit + ": " + outcome.message));
    Json event = outcome.details;
    event["event"] = "flashed";
    event["device"] = unit;
    event["ok"] = ok;
    event["message"] = outcome.message;
    print(std::move(event));
}

void WatchEvents::left(const std::string& unit) {
    if (!json_) return print(tagged("left", unit));
    print(Json{{"event", "left"}, {"device", unit}});
}

void WatchEvents::failed(const std::string& unit, const std::string& message) {
    if (!json_) return print(tagged("failed", unit + ": " + message));
    print(Json{{"event", "failed"}, {"device", unit}, {"ok", false}, {"message", message}});
}

void WatchEvents::warn(const std::string& unit, const std::string& text) {
    std::lock_guard lock(mutex_);
    std::fprintf(stderr, "dfuhost: %s%s%s\n", unit.c_str(), unit.empty() ? "" : ": warning: ", text.c_str());
}

void WatchEvents::print(Json event) {
    event["driver"] = driver_;
    print(event.dump());
}

void WatchEvents::print(const std::string& line) {
    std::lock_guard lock(mutex_);
    std::fprintf(stdout, "%s\n", line.c_str());
    // A station's log is read as it happens (a pipe into another program, a test).
    std::fflush(stdout);
}

}  // namespace dfuhost
