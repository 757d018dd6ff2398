// Life events of the driver in the system event log: one message of the driver's message
// table and one insertion string per entry.
#pragma once

#include <type_traits>

#include "platform/rtl.h"
#include "platform/wdm.h"

// Event IDs of the message table (severity in the top two bits, facility 7).
inline constexpr ULONG OSTDFU_EVENT_INFORMATION = 0x40070001;
inline constexpr ULONG OSTDFU_EVENT_ERROR = 0xC0070002;
inline constexpr ULONG OSTDFU_EVENT_WARNING = 0x80070003;

// Event texts are formatted into buffers of this many UTF-16 units.
inline constexpr ULONG OSTDFU_EVENT_TEXT_CHARS = 255;

// An insertion string too long for one entry is cut to 93 characters in the caller's buffer.
// A lost entry is never reported back.
void LogEvent(PDEVICE_OBJECT deviceObject, ULONG eventId, PWSTR insertionString,
              UCHAR majorFunctionCode);
void LogEventDriver(PDRIVER_OBJECT driverObject, ULONG eventId, PWSTR insertionString,
                    UCHAR majorFunctionCode);

// Formats the insertion string and logs it on the object (a DEVICE_OBJECT or a DRIVER_OBJECT);
// a text that cannot be formatted suppresses the entry.
template <class IoObject, class... Args>
void LogFormattedEvent(IoObject* ioObject, ULONG eventId, PCWSTR format, Args... arguments) {
    WCHAR text[OSTDFU_EVENT_TEXT_CHARS];
    if (!NT_SUCCESS(RtlStringCbPrintfW(text, sizeof(text), format, arguments...))) {
        return;
    }
    if constexpr (std::is_same_v<IoObject, DRIVER_OBJECT>) {
        LogEventDriver(ioObject, eventId, text, 0);
    } else {
        LogEvent(ioObject, eventId, text, 0);
    }
}
