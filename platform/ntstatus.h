// The status codes the driver and the emulated machine use, with their names, from one list.
#pragma once

#include "platform/types.h"

#define OSTDFU_NTSTATUS_LIST(X)                          \
    X(STATUS_SUCCESS, 0x00000000)                        \
    X(STATUS_WAIT_0, 0x00000000)                         \
    X(STATUS_TIMEOUT, 0x00000102)                        \
    X(STATUS_PENDING, 0x00000103)                        \
    X(STATUS_BUFFER_OVERFLOW, 0x80000005)                \
    X(STATUS_NO_MORE_ENTRIES, 0x8000001A)                \
    X(STATUS_UNSUCCESSFUL, 0xC0000001)                   \
    X(STATUS_NOT_IMPLEMENTED, 0xC0000002)                \
    X(STATUS_INFO_LENGTH_MISMATCH, 0xC0000004)           \
    X(STATUS_INVALID_HANDLE, 0xC0000008)                 \
    X(STATUS_INVALID_PARAMETER, 0xC000000D)              \
    X(STATUS_NO_SUCH_DEVICE, 0xC000000E)                 \
    X(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010)         \
    X(STATUS_ACCESS_DENIED, 0xC0000022)                  \
    X(STATUS_BUFFER_TOO_SMALL, 0xC0000023)               \
    X(STATUS_OBJECT_TYPE_MISMATCH, 0xC0000024)           \
    X(STATUS_OBJECT_NAME_INVALID, 0xC0000033)            \
    X(STATUS_OBJECT_NAME_NOT_FOUND, 0xC0000034)          \
    X(STATUS_OBJECT_NAME_COLLISION, 0xC0000035)          \
    X(STATUS_OBJECT_PATH_NOT_FOUND, 0xC000003A)          \
    X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009A)         \
    X(STATUS_DEVICE_NOT_CONNECTED, 0xC000009D)           \
    X(STATUS_IO_TIMEOUT, 0xC00000B5)                     \
    X(STATUS_NOT_SUPPORTED, 0xC00000BB)                  \
    X(STATUS_CANCELLED, 0xC0000120)                      \
    X(STATUS_DELETE_PENDING, 0xC0000056)                 \
    X(STATUS_INVALID_DEVICE_STATE, 0xC0000184)           \
    X(STATUS_DEVICE_REMOVED, 0xC00002B6)                 \
    X(STATUS_MORE_PROCESSING_REQUIRED, 0xC0000016)       \
    X(STATUS_INTEGER_OVERFLOW, 0xC0000095)

#define OSTDFU_DECLARE_STATUS(name, value) inline constexpr NTSTATUS name = static_cast<NTSTATUS>(value##u);
OSTDFU_NTSTATUS_LIST(OSTDFU_DECLARE_STATUS)
#undef OSTDFU_DECLARE_STATUS

constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }

// Name of a status for traces and tools ("STATUS_IO_TIMEOUT"); nullptr when it has none.
const char* NtStatusName(NTSTATUS status);
