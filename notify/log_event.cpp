// Writes the driver's life events to the system event log. Logging never fails its caller:
// an entry that cannot be allocated or filled is dropped after a trace line.
#include "notify/OstDfuEvents.h"
#include "notify/event_log.h"
#include "platform/errorlog.h"
#include "platform/rtl.h"
#include "platform/trace.h"

// The message compiler's IDs (NTSTATUS-typed where the system's compiler writes them) are
// the IDs the driver logs.
static_assert(static_cast<ULONG>(OSTDFU_MSG_INFORMATION) == OSTDFU_EVENT_INFORMATION);
static_assert(static_cast<ULONG>(OSTDFU_MSG_ERROR) == OSTDFU_EVENT_ERROR);
static_assert(static_cast<ULONG>(OSTDFU_MSG_WARNING) == OSTDFU_EVENT_WARNING);

namespace {

// The packet header is followed by one dump word; the insertion string starts where the
// header ends, over the dump word's padding, and the entry keeps four bytes beyond it.
constexpr ULONG kStringOffset = sizeof(IO_ERROR_LOG_PACKET);
constexpr ULONG kEntrySizeWithoutString = sizeof(IO_ERROR_LOG_PACKET) + sizeof(ULONG);
constexpr ULONG kDumpWord = 0xDBDBDBDB;
// Longest insertion string that fits the largest entry: (240 - 52) / 2 - 1.
constexpr SIZE_T kMaxInsertionChars =
    (ERROR_LOG_MAXIMUM_SIZE - kEntrySizeWithoutString) / sizeof(WCHAR) - 1;
// Callers format their texts into buffers of this many characters.
constexpr SIZE_T kEventTextChars = 255;

static_assert(kStringOffset == 48);
static_assert(kEntrySizeWithoutString == 52);
static_assert(kMaxInsertionChars == 93);

void WriteEntry(PVOID ioObject, ULONG eventId, PWSTR insertionString, UCHAR majorFunctionCode) {
    SIZE_T chars = 0;
    ULONG size = kEntrySizeWithoutString;
    if (insertionString != nullptr) {
        // A text without its terminator inside the caller's buffer would be read past it.
        if (!NT_SUCCESS(RtlStringCchLengthW(insertionString, kEventTextChars, &chars))) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFY, "event 0x%x dropped: text not terminated",
                        eventId);
            return;
        }
        if (chars > kMaxInsertionChars) {
            insertionString[kMaxInsertionChars] = 0;
            chars = kMaxInsertionChars;
        }
        size += static_cast<ULONG>((chars + 1) * sizeof(WCHAR));
    }

    auto* entry = static_cast<IO_ERROR_LOG_PACKET*>(
        IoAllocateErrorLogEntry(ioObject, static_cast<UCHAR>(size)));
    if (entry == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFY, "no error-log entry of %u bytes for 0x%x",
                    size, eventId);
        return;
    }
    RtlZeroMemory(entry, sizeof(IO_ERROR_LOG_PACKET));
    entry->MajorFunctionCode = majorFunctionCode;
    entry->DumpDataSize = sizeof(ULONG);
    entry->DumpData[0] = kDumpWord;
    entry->ErrorCode = static_cast<NTSTATUS>(eventId);
    if (insertionString != nullptr) {
        entry->NumberOfStrings = 1;
        entry->StringOffset = kStringOffset;
        auto* text = reinterpret_cast<PWSTR>(reinterpret_cast<PUCHAR>(entry) + kStringOffset);
        if (!NT_SUCCESS(RtlStringCchCopyW(text, chars + 1, insertionString))) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFY, "event 0x%x dropped: copy failed", eventId);
            IoFreeErrorLogEntry(entry);
            return;
        }
    }
    IoWriteErrorLogEntry(entry);
}

}  // namespace

void LogEvent(PDEVICE_OBJECT deviceObject, ULONG eventId, PWSTR insertionString,
              UCHAR majorFunctionCode) {
    WriteEntry(deviceObject, eventId, insertionString, majorFunctionCode);
}

void LogEventDriver(PDRIVER_OBJECT driverObject, ULONG eventId, PWSTR insertionString,
                    UCHAR majorFunctionCode) {
    WriteEntry(driverObject, eventId, insertionString, majorFunctionCode);
}
