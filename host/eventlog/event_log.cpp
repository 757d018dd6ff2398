#include "host/eventlog/event_log.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/fault_plan.h"
#include "host/machine.h"
#include "host/rtl/text.h"

namespace host {

namespace {

std::uint32_t readLe(const std::vector<std::uint8_t>& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = 0; i < width && at + static_cast<std::size_t>(i) < bytes.size(); ++i) {
        value |= static_cast<std::uint32_t>(bytes[at + static_cast<std::size_t>(i)]) << (8 * i);
    }
    return value;
}

int syslogLevel(EventSeverity severity) {
    switch (severity) {
        case EventSeverity::Error:
            return LOG_ERR;
        case EventSeverity::Warning:
            return LOG_WARNING;
        default:
            return LOG_INFO;
    }
}

}  // namespace

EventSeverity severityOf(std::uint32_t eventId) {
    return static_cast<EventSeverity>(eventId >> 30);
}

const char* severityName(EventSeverity severity) {
    switch (severity) {
        case EventSeverity::Success:
            return "success";
        case EventSeverity::Informational:
            return "information";
        case EventSeverity::Warning:
            return "warning";
        case EventSeverity::Error:
            return "error";
    }
    return "?";
}

void MessageTable::add(std::uint32_t eventId, std::u16string text) {
    messages_[eventId] = std::move(text);
}

const std::u16string* MessageTable::find(std::uint32_t eventId) const {
    auto it = messages_.find(eventId);
    return it == messages_.end() ? nullptr : &it->second;
}

std::uint32_t EventLogEntry::eventId() const {
    return readLe(packet, offsetof(IO_ERROR_LOG_PACKET, ErrorCode), 4);
}
std::uint8_t EventLogEntry::majorFunction() const {
    return static_cast<std::uint8_t>(readLe(packet, 0, 1));
}
std::uint16_t EventLogEntry::numberOfStrings() const {
    return static_cast<std::uint16_t>(readLe(packet, offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings), 2));
}
std::uint16_t EventLogEntry::stringOffset() const {
    return static_cast<std::uint16_t>(readLe(packet, offsetof(IO_ERROR_LOG_PACKET, StringOffset), 2));
}
std::uint16_t EventLogEntry::dumpDataSize() const {
    return static_cast<std::uint16_t>(readLe(packet, offsetof(IO_ERROR_LOG_PACKET, DumpDataSize), 2));
}
std::uint32_t EventLogEntry::dumpWord(std::size_t index) const {
    return readLe(packet, offsetof(IO_ERROR_LOG_PACKET, DumpData) + 4 * index, 4);
}

std::vector<std::u16string> EventLogEntry::insertionStrings() const {
    std::vector<std::u16string> strings;
    std::size_t at = stringOffset();
    for (std::uint16_t n = 0; n < numberOfStrings() && at + 1 < packet.size(); ++n) {
        std::u16string s;
        while (at + 1 < packet.size()) {
            const auto c = static_cast<char16_t>(packet[at] | packet[at + 1] << 8);
            at += 2;
            if (c == 0) break;
            s += c;
        }
        strings.push_back(std::move(s));
    }
    return strings;
}

EventLog::~EventLog() {
    for (auto& [entry, info] : pending_) {
        std::free(entry);
    }
    if (syslog_) {
        closelog();
    }
}

void* EventLog::allocate(std::u16string objectName, bool chargedToDriver, std::size_t size) {
    if (size > ERROR_LOG_MAXIMUM_SIZE || size < sizeof(IO_ERROR_LOG_PACKET)) {
        return nullptr;
    }
    void* entry = std::calloc(1, size);
    std::lock_guard lock(mutex_);
    pending_[entry] = {std::move(objectName), chargedToDriver, size};
    return entry;
}

void EventLog::write(void* entry) {
    EventLogEntry record;
    bool forward = false;
    {
        std::lock_guard lock(mutex_);
        auto it = pending_.find(entry);
        if (it == pending_.end()) {
            std::fprintf(stderr, "event log: write of an entry that was not allocated\n");
            std::abort();
        }
        record.sequence = nextSequence_++;
        record.objectName = std::move(it->second.objectName);
        record.chargedToDriver = it->second.chargedToDriver;
        const auto* bytes = static_cast<const std::uint8_t*>(entry);
        record.packet.assign(bytes, bytes + it->second.size);
        pending_.erase(it);
        std::free(entry);
        entries_.push_back(record);
        forward = syslog_;
    }
    if (forward) {
        const std::string line = render(record);
        ::syslog(syslogLevel(severityOf(record.eventId())), "%s", line.c_str());
    }
}

void EventLog::release(void* entry) {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(entry);
    if (it == pending_.end()) {
        std::fprintf(stderr, "event log: free of an entry that was not allocated\n");
        std::abort();
    }
    pending_.erase(it);
    std::free(entry);
}

std::vector<EventLogEntry> EventLog::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

void EventLog::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::size_t EventLog::pending() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

void EventLog::setMessageTable(MessageTable table) {
    std::lock_guard lock(mutex_);
    table_ = std::move(table);
}

std::string EventLog::render(const EventLogEntry& entry) const {
    const std::vector<std::u16string> strings = entry.insertionStrings();
    const std::u16string* text = table_.find(entry.eventId());
    if (text == nullptr) {
        char head[64];
        std::snprintf(head, sizeof(head), "event 0x%08x from ", entry.eventId());
        std::string out = head + narrow(entry.objectName);
        for (const std::u16string& s : strings) {
            out += " \"" + narrow(s) + "\"";
        }
        return out;
    }
    std::u16string out;
    for (std::size_t i = 0; i < text->size(); ++i) {
        const char16_t c = (*text)[i];
        if (c == u'%' && i + 1 < text->size() && (*text)[i + 1] >= u'1' && (*text)[i + 1] <= u'9') {
            const std::size_t n = static_cast<std::size_t>((*text)[++i] - u'0');
            if (n == 1) {
                out += entry.objectName;
            } else if (n - 2 < strings.size()) {
                out += strings[n - 2];
            }
        } else {
            out += c;
        }
    }
    while (!out.empty() && (out.back() == u'\n' || out.back() == u'\r')) {
        out.pop_back();
    }
    return narrow(out);
}

std::vector<std::string> EventLog::renderAll() const {
    std::vector<std::string> lines;
    for (const EventLogEntry& entry : entries()) {
        lines.push_back(render(entry));
    }
    return lines;
}

void EventLog::forwardToSyslog(const std::string& ident) {
    std::lock_guard lock(mutex_);
    syslogIdent_ = ident;
    openlog(syslogIdent_.c_str(), LOG_PID, LOG_USER);
    syslog_ = true;
}

void EventLog::stopForwarding() {
    std::lock_guard lock(mutex_);
    if (syslog_) {
        closelog();
    }
    syslog_ = false;
}

}  // namespace host

// ---- platform entry points -------------------------------------------------------------------

PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize) {
    host::Machine& machine = host::Machine::current();
    auto name = machine.ioObjects().eventLogName(ioObject);
    if (!name) {
        std::fprintf(stderr, "event log: entry allocated for an object that is neither a device "
                             "nor a driver\n");
        std::abort();
    }
    if (machine.faults().callFails(host::FaultSite::ErrorLogEntry)) {
        return nullptr;
    }
    return machine.eventLog().allocate(*name, machine.ioObjects().isDriver(ioObject), entrySize);
}

void IoWriteErrorLogEntry(PVOID entry) { host::Machine::current().eventLog().write(entry); }

void IoFreeErrorLogEntry(PVOID entry) { host::Machine::current().eventLog().release(entry); }
