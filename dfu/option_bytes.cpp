#include "dfu/device_memory.h"
#include "dfu/dfu_requests.h"
#include "dfu/dfuse_commands.h"
#include "dfu/memory_transaction.h"
#include "platform/kernel_helpers.h"
#include "platform/trace.h"
#include "usb/configuration.h"

namespace {

// The bootloader needs this long after the option-byte segment is selected before it answers
// reliably.
constexpr LONGLONG kOptionSegmentSettleMs = 1000;

}  // namespace

NTSTATUS IsST32DeviceReadProtected(WDFDEVICE device, UCHAR testSelector, PUCHAR isProtected) {
    *isProtected = 0;
    PFDO_DATA fdo = FdoGetData(device);
    if (fdo->DfuFunctionalDescriptor == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const UCHAR needed = DFU_ATTRIBUTE_CAN_UPLOAD | DFU_ATTRIBUTE_CAN_DNLOAD;
    if ((fdo->DfuFunctionalDescriptor->bmAttributes & needed) != needed) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SetAlternateSetting(device, fdo->DeviceCaps2.Segment3AltSetting);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LARGE_INTEGER settle;
    settle.QuadPart = RelativeMilliseconds(kOptionSegmentSettleMs);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);

    status = EnsureDfuIDLE(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The address pointer goes out directly, without the command sender's polling: a
    // protected device must be allowed to answer the read that follows with an error.
    const UCHAR setAddress[] = {DFUSE_COMMAND_SET_ADDRESS_POINTER,
                                static_cast<UCHAR>(FLASH_START_ADDRESS),
                                static_cast<UCHAR>(FLASH_START_ADDRESS >> 8),
                                static_cast<UCHAR>(FLASH_START_ADDRESS >> 16),
                                static_cast<UCHAR>(FLASH_START_ADDRESS >> 24)};
    status = DfuDnload(device, setAddress, sizeof(setAddress), 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A DfuSe command runs on the GETSTATUS that follows its DNLOAD. Without it the state check
    // below aborts the command unrun, and the probe reads wherever the pointer was left: an
    // address that cannot be read would make readable flash look protected.
    DfuStatusReply commandReply;
    commandReply.clear();
    status = DfuGetStatus(device, &commandReply, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A device that keeps saying dfuDNBUSY past its work is waited for rather than given up
    // on: the state check cannot bring a busy device back to dfuIDLE, and the pointer is set.
    status = EnsureDfuIDLE(device);
    if (status == STATUS_INVALID_DEVICE_STATE && NT_SUCCESS(DfuWaitWhileBusy(device))) {
        status = EnsureDfuIDLE(device);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR probe[16];
    ULONG received = 0;
    DfuUpload(device, probe, sizeof(probe), DFUSE_FIRST_DATA_BLOCK, &received);

    DfuStatusReply reply;
    reply.clear();
    status = DfuGetStatus(device, &reply, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *isProtected = reply.bState() == dfuERROR ? 1 : 0;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DFU, "test %u: %s", testSelector,
                *isProtected ? "read-protected" : "readable");

    if (!NT_SUCCESS(SetAlternateSetting(device, fdo->DeviceCaps2.Segment1AltSetting))) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "flash segment not selected again");
    }
    EnsureDfuIDLE(device);
    return STATUS_SUCCESS;
}

NTSTATUS ST32DFUReadOptionBytesInDeviceMemorySpace(WDFDEVICE device, PUCHAR buffer,
                                                   ULONG bufferLength, PULONG bytesRead) {
    *bytesRead = 0;
    PFDO_DATA fdo = FdoGetData(device);
    if (bufferLength < OPTION_BYTES_SIZE || fdo->DeviceCaps2.Segment3Base == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!HasDfuDescriptors(fdo)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SetAlternateSetting(device, fdo->DeviceCaps2.Segment3AltSetting);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PointAt(device, fdo->DeviceCaps2.Segment3Base);
    if (NT_SUCCESS(status)) {
        UCHAR image[OPTION_BYTES_SIZE] = {};
        ULONG received = 0;
        status = DfuUpload(device, image, sizeof(image), DFUSE_FIRST_DATA_BLOCK, &received);
        if (NT_SUCCESS(status)) {
            *bytesRead = received < bufferLength ? received : bufferLength;
            RtlCopyMemory(buffer, image, sizeof(image));
        }
    }
    NTSTATUS reselect = SetAlternateSetting(device, fdo->DeviceCaps2.Segment1AltSetting);
    if (NT_SUCCESS(status) && !NT_SUCCESS(reselect)) {
        status = reselect;
    }
    return status;
}

NTSTATUS ST32DFUWriteOptionBytesInDeviceMemorySpace(WDFDEVICE device, const UCHAR* data,
                                                    ULONG length) {
    PFDO_DATA fdo = FdoGetData(device);
    if (ReadNoFence(&fdo->STMAreOptionByteWritesAllowed) == 0 || length > OPTION_BYTES_SIZE ||
        fdo->DeviceCaps2.Segment3Base == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!HasDfuDescriptors(fdo)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SetAlternateSetting(device, fdo->DeviceCaps2.Segment3AltSetting);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PointAt(device, fdo->DeviceCaps2.Segment3Base);
    if (NT_SUCCESS(status)) {
        status = DfuDnload(device, data, length, DFUSE_FIRST_DATA_BLOCK);
        if (!NT_SUCCESS(status)) {
            DfuSetIdle(device);
        } else {
            // The device programs the option bytes and resets; a busy answer is the only sign
            // of success it gives, so nothing more is asked.
            DfuStatusReply reply;
            reply.clear();
            NTSTATUS replyStatus = DfuGetStatus(device, &reply, nullptr);
            const bool busy = NT_SUCCESS(replyStatus) && reply.bStatus() == DFU_STATUS_OK &&
                              reply.bState() == dfuDNBUSY;
            status = busy ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        }
    }
    if (!NT_SUCCESS(SetAlternateSetting(device, fdo->DeviceCaps2.Segment1AltSetting))) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "flash segment not selected again");
    }
    return status;
}
