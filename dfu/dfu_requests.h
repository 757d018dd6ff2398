// The seven DFU 1.1 class requests, each one control transfer on the DFU interface, and the
// two ways back to dfuIDLE.
#pragma once

#include "dfu/dfu_protocol.h"
#include "platform/wdf.h"

// Every DFU request is allowed this long on the wire.
inline constexpr ULONG DFU_REQUEST_TIMEOUT_MS = 500;

NTSTATUS DfuDetach(WDFDEVICE device, USHORT detachTimeoutMs);
NTSTATUS DfuDnload(WDFDEVICE device, const void* data, ULONG length, USHORT blockNumber);
NTSTATUS DfuUpload(WDFDEVICE device, void* buffer, ULONG length, USHORT blockNumber,
                   PULONG bytesReceived);
// The poll time-out is decoded from the reply whether or not the transfer succeeded; callers
// clear the reply first, so a failed request reads as status 0, state appIDLE.
NTSTATUS DfuGetStatus(WDFDEVICE device, DfuStatusReply* reply, PULONG pollTimeoutMs);
NTSTATUS DfuClrStatus(WDFDEVICE device);
NTSTATUS DfuGetState(WDFDEVICE device, PUCHAR state);
NTSTATUS DfuAbort(WDFDEVICE device);

// The most clear-status rounds DfuSetIdle spends, whatever NumDfuBootIterBusyWaits says. The
// rounds go back to back and one of them clears any error a bootloader reports: a count in the
// thousands is a slip (0xFFFFFFFF for "as many as it takes"), and taken at its word it would
// hold the request, and a removal waiting for it, for days.
inline constexpr ULONG DFU_SET_IDLE_MAX_ROUNDS = 1000;

// ABORT, then clear-status rounds until dfuIDLE, at most NumDfuBootIterBusyWaits of them (and
// at most DFU_SET_IDLE_MAX_ROUNDS); a device that leaves the bus ends them at once.
// STATUS_UNSUCCESSFUL for every failure.
NTSTATUS DfuSetIdle(WDFDEVICE device);
// One step chosen by the current state, confirmed by GETSTATE; never waits for a busy device.
NTSTATUS EnsureDfuIDLE(WDFDEVICE device);

const char* DfuStateName(UCHAR state);
const char* DfuStatusName(UCHAR status);
