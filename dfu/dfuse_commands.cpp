#include "dfu/dfu_requests.h"
#include "dfu/dfuse_commands.h"

namespace {

constexpr ULONG kAddressCommandLength = 5;

NTSTATUS SendAddressCommand(WDFDEVICE device, UCHAR code, ULONG address) {
    const UCHAR command[kAddressCommandLength] = {
        code,
        static_cast<UCHAR>(address),
        static_cast<UCHAR>(address >> 8),
        static_cast<UCHAR>(address >> 16),
        static_cast<UCHAR>(address >> 24),
    };
    return ST32DfuSendBootloaderCommand(device, command, kAddressCommandLength);
}

}  // namespace

NTSTATUS ST32DfuSetAddressPointer(WDFDEVICE device, ULONG address) {
    return SendAddressCommand(device, DFUSE_COMMAND_SET_ADDRESS_POINTER, address);
}

NTSTATUS ST32DfuEraseSector(WDFDEVICE device, ULONG address, UCHAR reserved) {
    if (reserved != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return SendAddressCommand(device, DFUSE_COMMAND_ERASE, address);
}

NTSTATUS ST32DfuMassEraseDevice(WDFDEVICE device) {
    const UCHAR command = DFUSE_COMMAND_ERASE;
    return ST32DfuSendBootloaderCommand(device, &command, 1);
}

NTSTATUS ST32DfuReadUnprotect(WDFDEVICE device) {
    const UCHAR command = DFUSE_COMMAND_READ_UNPROTECT;
    return ST32DfuSendBootloaderCommand(device, &command, 1);
}

NTSTATUS ST32DfuGetBootloaderCommandsSupported(WDFDEVICE device, PUCHAR buffer, ULONG length) {
    if (length < 4) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlFillMemory(buffer, length, 0xFF);
    buffer[0] = DFUSE_COMMAND_GET;
    ULONG received = 0;
    return DfuUpload(device, buffer, length, 0, &received);
}
