// ST's DfuSe bootloader commands: a DNLOAD with block number 0 carrying a command byte and its
// parameters, carried out while the host polls GETSTATUS.
#pragma once

#include "platform/wdf.h"

enum : UCHAR {
    DFUSE_COMMAND_GET = 0x00,
    DFUSE_COMMAND_SET_ADDRESS_POINTER = 0x21,
    DFUSE_COMMAND_ERASE = 0x41,
    DFUSE_COMMAND_READ_UNPROTECT = 0x92,
};

// DNLOAD and UPLOAD block number of the first data block at the address pointer.
inline constexpr USHORT DFUSE_FIRST_DATA_BLOCK = 2;

// Sends one command, paces the polling by the device's poll time-out and retries with
// recovery up to five times. A read-protected device is served by the read-protected sender.
NTSTATUS ST32DfuSendBootloaderCommand(WDFDEVICE device, const UCHAR* command, ULONG length);
// Sends GETSTATUS, waiting the announced poll time-out after each busy answer, until the device
// no longer reports dfuDNBUSY; STATUS_IO_TIMEOUT when it still does after a few polls.
NTSTATUS DfuWaitWhileBusy(WDFDEVICE device);
// No completion polling: clears the device's status until it is idle again.
NTSTATUS ST32DfuSendBootloaderCommandReadProtectedMode(WDFDEVICE device, const UCHAR* command,
                                                       ULONG length);

NTSTATUS ST32DfuSetAddressPointer(WDFDEVICE device, ULONG address);
// reserved must be 0.
NTSTATUS ST32DfuEraseSector(WDFDEVICE device, ULONG address, UCHAR reserved);
NTSTATUS ST32DfuMassEraseDevice(WDFDEVICE device);
NTSTATUS ST32DfuReadUnprotect(WDFDEVICE device);
// Fills the buffer with 0xFF, byte 0 with 0x00, and uploads the supported-command list over it.
NTSTATUS ST32DfuGetBootloaderCommandsSupported(WDFDEVICE device, PUCHAR buffer, ULONG length);
