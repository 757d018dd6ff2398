// The driver's message table: event ID, language and text of each message, compiled from
// OstDfuEvents.mc. The system renders the driver's event-log entries with it; tools and tests
// hand it to the emulated machine's event log.
#pragma once

#include "platform/types.h"

struct EVENT_MESSAGE_ENTRY {
    ULONG MessageId;
    USHORT LanguageId;  // 1033: English (United States)
    PCWSTR Text;        // with %1, %2 and the closing ".\r\n"
};

const EVENT_MESSAGE_ENTRY* OstDfuMessageTable(ULONG* count);
