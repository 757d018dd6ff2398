#include "control/ioctl_bodies.h"
#include "control/passthrough.h"
#include "dfu/device_memory.h"
#include "dfu/dfu_requests.h"
#include "dfu/dfuse_commands.h"
#include "platform/kernel_helpers.h"
#include "updater_interface/ioctl.h"
#include "usb/configuration.h"
#include "usb/port_services.h"

namespace ioctl {

NTSTATUS ControlRequestOut(IoctlCall& call) {
    return IoctlClassOrVendorRequest(call.device,
                                     static_cast<const ControlRequestRecord*>(call.input),
                                     WdfRequestWdmGetIrp(call.request), FALSE, nullptr);
}

NTSTATUS ControlRequestIn(IoctlCall& call) {
    SIZE_T transferred = 0;
    NTSTATUS status = IoctlClassOrVendorRequest(
        call.device, static_cast<const ControlRequestRecord*>(call.input),
        WdfRequestWdmGetIrp(call.request), TRUE, &transferred);
    call.information = transferred;
    return status;
}

NTSTATUS GetUsbDescriptor(IoctlCall& call) {
    // Buffered: the reply goes into the buffer the record came in, up to the output length.
    SIZE_T transferred = 0;
    PVOID reply = call.outputBufferLength != 0 ? call.input : nullptr;
    NTSTATUS status = IoctlGetUsbDescriptor(
        call.device, static_cast<const DescriptorRequestRecord*>(call.input), reply,
        static_cast<ULONG>(call.outputBufferLength), &transferred);
    call.information = transferred;
    return status;
}

NTSTATUS BeginDfu(IoctlCall& call) {
    return IoctlBeginDfu(call.device, call.request, static_cast<const UCHAR*>(call.input));
}

NTSTATUS CyclePortAlways(IoctlCall& call) {
    CyclePort(call.device);
    return STATUS_SUCCESS;
}

NTSTATUS ResetPortAlways(IoctlCall& call) {
    ResetPort(call.device);
    return STATUS_SUCCESS;
}

NTSTATUS Detach(IoctlCall& call) {
    USHORT detachTimeout = 0;
    PVOID input = nullptr;
    if (NT_SUCCESS(WdfRequestRetrieveInputBuffer(call.request, sizeof(ULONG), &input, nullptr))) {
        detachTimeout = *static_cast<const USHORT*>(input);
    }
    DfuDetach(call.device, detachTimeout);
    return STATUS_SUCCESS;
}

NTSTATUS Leave(IoctlCall& call) {
    // The device starts its application at the address pointer when a zero-length download
    // ends DFU mode.
    if (NT_SUCCESS(DfuSetIdle(call.device)) &&
        NT_SUCCESS(ST32DfuSetAddressPointer(call.device, call.fdo->DeviceCaps2.Segment1Base))) {
        DfuDnload(call.device, nullptr, 0, 0);
    }
    return STATUS_SUCCESS;
}

NTSTATUS EraseEepromSection(IoctlCall& call) {
    const LONG target = *static_cast<const LONG*>(call.input);
    ST32DFUEraseEEPROMSectionInDeviceMemorySpace(call.device, static_cast<ULONG>(target));
    return STATUS_SUCCESS;
}

NTSTATUS SetIdle(IoctlCall& call) { return DfuSetIdle(call.device); }

// Keeps reading the configuration descriptor until the device goes away or the count runs out.
NTSTATUS PollDevice(IoctlCall& call) {
    PollRequest poll = {0, POLL_DEFAULT_DELAY_MS};
    PVOID input = nullptr;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(call.request, sizeof(PollRequest), &input,
                                                    nullptr);
    if (NT_SUCCESS(status)) {
        poll = *static_cast<const PollRequest*>(input);
    } else {
        status = WdfRequestRetrieveInputBuffer(call.request, sizeof(ULONG), &input, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        poll.IterationCount = *static_cast<const ULONG*>(input);
    }
    if (poll.IterationCount > POLL_MAX_ITERATIONS || poll.DelayMs > POLL_MAX_DELAY_MS ||
        static_cast<ULONG64>(poll.IterationCount) * poll.DelayMs > POLL_MAX_TOTAL_DELAY_MS) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < poll.IterationCount; ++i) {
        PUSB_CONFIGURATION_DESCRIPTOR descriptor = nullptr;
        ULONG length = 0;
        status = GetConfigurationDescriptor(call.device, &descriptor, &length);
        if (descriptor != nullptr) {
            ExFreePoolWithTag(descriptor, CONFIGURATION_DESCRIPTOR_TAG);
        }
        if (!NT_SUCCESS(status) || descriptor == nullptr) {
            return status;
        }
        if (ReadInterlockedFlag(&call.fdo->DeviceActive) == 0) {
            return STATUS_SUCCESS;
        }
        if (poll.DelayMs != 0) {
            LARGE_INTEGER interval;
            interval.QuadPart = RelativeMilliseconds(static_cast<LONGLONG>(poll.DelayMs));
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
        if (ReadInterlockedFlag(&call.fdo->DeviceActive) == 0) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetFirmwareVersion(IoctlCall& call) {
    DEVICE_CAPS2& caps = call.fdo->DeviceCaps2;
    const ULONG version = *static_cast<const ULONG*>(call.input);
    WriteNoFence(&caps.FirmwareVersion, version);
    const ULONG words = ReadNoFence(&caps.VersionWordCount);
    if (words >= 1) {
        WriteNoFence(&caps.VersionLow, version & 0xFFFF);
    }
    if (words >= 2) {
        WriteNoFence(&caps.VersionHigh, version >> 16);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReadUnprotect(IoctlCall& call) {
    KMutexGuard memory(&call.fdo->DeviceMemoryLock);
    ST32DfuReadUnprotect(call.device);
    return STATUS_SUCCESS;
}

NTSTATUS ReadOptionBytes(IoctlCall& call) {
    ULONG bytesRead = 0;
    NTSTATUS status;
    {
        KMutexGuard memory(&call.fdo->DeviceMemoryLock);
        status = ST32DFUReadOptionBytesInDeviceMemorySpace(
            call.device, static_cast<PUCHAR>(call.output), static_cast<ULONG>(call.outputLength),
            &bytesRead);
    }
    call.information = bytesRead;
    return status;
}

NTSTATUS WriteOptionBytes(IoctlCall& call) {
    KMutexGuard memory(&call.fdo->DeviceMemoryLock);
    return ST32DFUWriteOptionBytesInDeviceMemorySpace(
        call.device, static_cast<const UCHAR*>(call.input), static_cast<ULONG>(call.inputLength));
}

NTSTATUS SetOptionByteWritesAllowed(IoctlCall& call) {
    WriteNoFence(&call.fdo->STMAreOptionByteWritesAllowed, *static_cast<const ULONG*>(call.input));
    return STATUS_SUCCESS;
}

NTSTATUS MassErase(IoctlCall& call) { return ST32DfuMassEraseDevice(call.device); }

}  // namespace ioctl
