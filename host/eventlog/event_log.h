// The system event log: entries allocated for a device or driver object, written by the driver
// as error-log packets and kept byte for byte, in order, with the name of the object they are
// charged to. A message table given from outside turns an entry into its text.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/errorlog.h"

namespace host {

enum class EventSeverity { Success, Informational, Warning, Error };

// The severity an event ID carries in its top two bits.
EventSeverity severityOf(std::uint32_t eventId);
const char* severityName(EventSeverity severity);

// Message texts by event ID. %1 stands for the object's name, %2 onwards for the entry's
// insertion strings; texts end with ".\r\n" as a message compiler leaves them.
class MessageTable {
public:
    void add(std::uint32_t eventId, std::u16string text);
    const std::u16string* find(std::uint32_t eventId) const;
    bool empty() const { return messages_.empty(); }

private:
    std::map<std::uint32_t, std::u16string> messages_;
};

struct EventLogEntry {
    std::uint64_t sequence = 0;
    std::u16string objectName;     // "\Device\USBPDO-3", "\Driver\ostdfu"
    bool chargedToDriver = false;
    std::vector<std::uint8_t> packet;  // the bytes as the driver wrote them

    std::uint32_t eventId() const;
    std::uint8_t majorFunction() const;
    std::uint16_t numberOfStrings() const;
    std::uint16_t stringOffset() const;
    std::uint16_t dumpDataSize() const;
    std::uint32_t dumpWord(std::size_t index) const;
    // The insertion strings, read within the entry: a string without its terminator inside
    // the packet ends at the packet's end.
    std::vector<std::u16string> insertionStrings() const;
};

class EventLog {
public:
    ~EventLog();

    // Storage for an entry of size bytes, zeroed; nullptr above ERROR_LOG_MAXIMUM_SIZE or
    // below the packet header.
    void* allocate(std::u16string objectName, bool chargedToDriver, std::size_t size);
    // Takes the entry into the log. An address not handed out by allocate is a bug: abort.
    void write(void* entry);
    void release(void* entry);

    std::vector<EventLogEntry> entries() const;
    void clear();
    // Entries allocated and neither written nor freed.
    std::size_t pending() const;

    void setMessageTable(MessageTable table);
    const MessageTable& messageTable() const { return table_; }
    // "device \Device\USBPDO-3 icode:PrepHW: Code:0 status:0x0." (UTF-8, without CR LF).
    std::string render(const EventLogEntry& entry) const;
    std::vector<std::string> renderAll() const;

    // Rendered lines also go to syslog under ident, at the level of the event's severity.
    void forwardToSyslog(const std::string& ident);
    void stopForwarding();

private:
    struct Pending {
        std::u16string objectName;
        bool chargedToDriver;
        std::size_t size;
    };

    mutable std::mutex mutex_;
    std::map<void*, Pending> pending_;
    std::vector<EventLogEntry> entries_;
    std::uint64_t nextSequence_ = 1;
    MessageTable table_;
    bool syslog_ = false;
    std::string syslogIdent_;
};

}  // namespace host
