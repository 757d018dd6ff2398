// The system error log: the driver allocates an entry for a device or driver object, fills the
// packet and hands it over. The packet layout is the platform's published x64 record.
#pragma once

#include "platform/ntstatus.h"

inline constexpr ULONG ERROR_LOG_MAXIMUM_SIZE = 240;

struct IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;
    USHORT NumberOfStrings;
    USHORT StringOffset;
    USHORT EventCategory;
    NTSTATUS ErrorCode;
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
};
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48);
static_assert(offsetof(IO_ERROR_LOG_PACKET, MajorFunctionCode) == 0);
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpDataSize) == 2);
static_assert(offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings) == 4);
static_assert(offsetof(IO_ERROR_LOG_PACKET, StringOffset) == 6);
static_assert(offsetof(IO_ERROR_LOG_PACKET, ErrorCode) == 12);
static_assert(offsetof(IO_ERROR_LOG_PACKET, DeviceOffset) == 32);
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpData) == 40);

// ioObject is a DEVICE_OBJECT* or DRIVER_OBJECT*. Returns zeroed storage of entrySize bytes, or
// nullptr when the size exceeds ERROR_LOG_MAXIMUM_SIZE or no entry is available.
NTAPI PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize);
// The log owns the entry from here on.
NTAPI void IoWriteErrorLogEntry(PVOID entry);
NTAPI void IoFreeErrorLogEntry(PVOID entry);
