// What the driver object sets up once for every device: the pool type, the registry paths, and
// reading one value of the driver's Parameters key. DriverEntry writes the globals; every other
// folder only reads them.
#pragma once

#include "platform/pool.h"
#include "platform/wdf.h"

// Pool tag of a Parameters value read on request.
inline constexpr ULONG OSTDFU_TAG_READ_PARAMETER = 0x6C333776;

// Room for a value of the Parameters key: the partial-information header and 8 data bytes.
inline constexpr ULONG OSTDFU_PARAMETER_BUFFER_SIZE = 20;

// Pool type of every non-paged allocation: NonPagedPoolNx from system version 6.2 on.
extern POOL_TYPE NonPagedPoolType;
// The registry path the system passed to DriverEntry, and the path of its Parameters key
// (terminated). Written once by DriverEntry, read-only until the driver's cleanup.
extern UNICODE_STRING RegistryPathCopy;
extern UNICODE_STRING ParametersKeyPath;

// Reads a value of the Parameters key as a ULONG: the first four data bytes, whatever the
// registry type. *value is written only when the query succeeds with at least four bytes.
NTSTATUS ReadRegGlobalParameterDword(WDFDEVICE device, PCWSTR valueName, PULONG value);

// Queries valueName in an open key into buffer (bufferSize bytes, at least the header) and
// stores the first four data bytes in *value when there are at least four. Returns the query's
// status.
NTSTATUS QueryParameterDword(HANDLE key, PCWSTR valueName, PVOID buffer, ULONG bufferSize,
                             PULONG value);
