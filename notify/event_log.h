// Life events of the driver in the system event log: one message of the driver's message
// table and one insertion string per entry.
#pragma once

#include "platform/wdm.h"

// Event IDs of the message table (severity in the top two bits, facility 7).
inline constexpr ULONG OSTDFU_EVENT_INFORMATION = 0x40070001;
inline constexpr ULONG OSTDFU_EVENT_ERROR = 0xC0070002;
inline constexpr ULONG OSTDFU_EVENT_WARNING = 0x80070003;

// An insertion string too long for one entry is cut to 93 characters in the caller's buffer.
// A lost entry is never reported back.
void LogEvent(PDEVICE_OBJECT deviceObject, ULONG eventId, PWSTR insertionString,
              UCHAR majorFunctionCode);
void LogEventDriver(PDRIVER_OBJECT driverObject, ULONG eventId, PWSTR insertionString,
                    UCHAR majorFunctionCode);
