#include "control/ioctl_table.h"

#include <array>
#include <atomic>

#include "control/passthrough.h"
#include "control/public/ioctl.h"
#include "dfu/device_memory.h"
#include "dfu/dfu_requests.h"
#include "dfu/dfuse_commands.h"
#include "driver/driver.h"
#include "platform/rtl.h"
#include "platform/trace.h"
#include "usb/configuration.h"
#include "usb/port_services.h"

namespace {

// ---- preconditions ---------------------------------------------------------------------

NTSTATUS IsStmDfu(const IoctlCall& call) {
    return call.fdo->IsStmDfuDevice != 0 ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS HasIrp(const IoctlCall& call) {
    return WdfRequestWdmGetIrp(call.request) != nullptr ? STATUS_SUCCESS
                                                        : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS IsStmDfuWithInterface(const IoctlCall& call) {
    NTSTATUS status = IsStmDfu(call);
    if (NT_SUCCESS(status) && call.fdo->DfuInterfaceDescriptor == nullptr) {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    return status;
}

NTSTATUS HasDeviceCaps(const IoctlCall& call) {
    NTSTATUS status = IsStmDfu(call);
    if (NT_SUCCESS(status) && ReadInterlockedFlag(&call.fdo->DeviceCaps2Valid) == 0) {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    return status;
}

NTSTATUS HasInstanceStringSize(const IoctlCall& call) {
    return call.fdo->InstanceStringSize != 0 ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS HasInstanceString(const IoctlCall& call) {
    return call.fdo->InstanceString != nullptr && call.fdo->InstanceStringSize != 0
               ? STATUS_SUCCESS
               : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS HasSegmentStrings(const IoctlCall& call) {
    return call.fdo->DeviceCaps2.SegmentStringsValid != 0 ? STATUS_SUCCESS
                                                          : STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS AsksForDword(const IoctlCall& call) {
    return static_cast<const ParameterQuery*>(call.input)->Kind == PARAMETER_KIND_DWORD
               ? STATUS_SUCCESS
               : STATUS_INVALID_PARAMETER;
}

NTSTATUS HasVersionLocation(const IoctlCall& call) {
    return ReadNoFence(&call.fdo->DeviceCaps2.VersionLocationValid) != 0
               ? STATUS_SUCCESS
               : STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS IsReadProtected(const IoctlCall& call) {
    return call.fdo->ReadProtectState != 0 ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS OptionByteOutputFits(const IoctlCall& call) {
    return call.outputBufferLength >= 1 && call.outputBufferLength <= OPTION_BYTES_SIZE
               ? STATUS_SUCCESS
               : STATUS_INVALID_PARAMETER;
}

NTSTATUS OptionByteInputFits(const IoctlCall& call) {
    return call.inputBufferLength >= 1 && call.inputBufferLength <= OPTION_BYTES_SIZE
               ? STATUS_SUCCESS
               : STATUS_INVALID_PARAMETER;
}

NTSTATUS HasAppIdRecord(const IoctlCall& call) {
    return ReadNoFence(&call.fdo->AppIdRecordValid) != 0 ? STATUS_SUCCESS
                                                          : STATUS_INVALID_DEVICE_REQUEST;
}

// ---- helpers ---------------------------------------------------------------------------

NTSTATUS ReplyDword(IoctlCall& call, ULONG value) {
    *static_cast<ULONG*>(call.output) = value;
    call.information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// The record may change under a sibling notification or a version override while it is
// copied: both write single fields atomically, so it is read in atomic 8-byte words.
void CopyDeviceCaps(DEVICE_CAPS2* destination, DEVICE_CAPS2* source) {
    static_assert(sizeof(DEVICE_CAPS2) % sizeof(ULONG64) == 0);
    static_assert(alignof(DEVICE_CAPS2) >= alignof(ULONG64));
    auto* from = reinterpret_cast<ULONG64*>(source);
    auto* to = reinterpret_cast<UCHAR*>(destination);
    for (SIZE_T i = 0; i < sizeof(DEVICE_CAPS2) / sizeof(ULONG64); ++i) {
        const ULONG64 word = std::atomic_ref<ULONG64>(from[i]).load(std::memory_order_relaxed);
        RtlCopyMemory(to + i * sizeof(word), &word, sizeof(word));
    }
}

void CopyIdentityString(WCHAR (&destination)[IDENTITY_STRING_CHARS], const WCHAR* source) {
    ULONG i = 0;
    for (; i + 1 < IDENTITY_STRING_CHARS && source[i] != 0; ++i) {
        destination[i] = source[i];
    }
    destination[i] = 0;
}

// ---- bodies ------------------------------------------------------------------------------

NTSTATUS GetInterfaceVersion(IoctlCall& call) {
    auto* reply = static_cast<InterfaceVersionInfo*>(call.output);
    RtlZeroMemory(reply, sizeof(*reply));
    *reply = {5, 9, 5, 9, 1};
    call.information = sizeof(*reply);
    return STATUS_SUCCESS;
}

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

NTSTATUS GetDeviceHandleInfo(IoctlCall& call) {
    auto* reply = static_cast<DeviceHandleInfo*>(call.output);
    RtlZeroMemory(reply, sizeof(*reply));
    reply->DeviceInstance = reinterpret_cast<ULONG_PTR>(call.fdo->DeviceObject);
    reply->InterfaceNumber = call.fdo->DfuInterfaceDescriptor->bInterfaceNumber;
    reply->One = 1;
    call.information = sizeof(*reply);
    return STATUS_SUCCESS;
}

NTSTATUS GetIdentity(IoctlCall& call) {
    PFDO_DATA fdo = call.fdo;
    auto* reply = static_cast<DeviceIdentityInfo*>(call.output);
    RtlZeroMemory(reply, sizeof(*reply));
    reply->One = 1;
    reply->AppVid = ReadNoFence(&fdo->AppVid);
    reply->AppPid = ReadNoFence(&fdo->AppPid);
    reply->AppVariant = fdo->AppVariant;
    reply->Flags = IDENTITY_FLAG_ALWAYS;
    if (fdo->HasDeviceQualifier == 1) {
        reply->Flags |= IDENTITY_FLAG_DEVICE_QUALIFIER;
    }
    if (fdo->IsHighSpeed == 1) {
        reply->Flags |= IDENTITY_FLAG_HIGH_SPEED;
    }
    CopyIdentityString(reply->SerialNumberString, fdo->SerialNumberString);
    CopyIdentityString(reply->ManufacturerString, fdo->ManufacturerString);
    CopyIdentityString(reply->ProductString, fdo->ProductString);
    call.information = sizeof(*reply);
    return STATUS_SUCCESS;
}

NTSTATUS GetInstanceStringSize(IoctlCall& call) {
    return ReplyDword(call, static_cast<ULONG>(call.fdo->InstanceStringSize));
}

NTSTATUS GetInstanceString(IoctlCall& call) {
    NTSTATUS status = RtlStringCbCopyW(static_cast<PWSTR>(call.output),
                                       call.fdo->InstanceStringSize, call.fdo->InstanceString);
    if (NT_SUCCESS(status)) {
        SIZE_T characters = 0;
        RtlStringCchLengthW(call.fdo->InstanceString, call.fdo->InstanceStringSize / sizeof(WCHAR),
                            &characters);
        call.information = (characters + 1) * sizeof(WCHAR);
    }
    return status;
}

NTSTATUS GetDeviceCaps(IoctlCall& call) {
    CopyDeviceCaps(static_cast<DEVICE_CAPS2*>(call.output), &call.fdo->DeviceCaps2);
    call.information = sizeof(DEVICE_CAPS2);
    return STATUS_SUCCESS;
}

NTSTATUS GetSegmentStrings(IoctlCall& call) {
    PFDO_DATA fdo = call.fdo;
    const WCHAR* strings[] = {fdo->SegmentString1, fdo->SegmentString2, fdo->SegmentString3,
                              fdo->SegmentString4};
    auto* slots = static_cast<UCHAR*>(call.output);
    for (ULONG i = 0; i < 4; ++i) {
        NTSTATUS status =
            RtlStringCbCopyW(reinterpret_cast<PWSTR>(slots + i * SEGMENT_STRING_SLOT_BYTES),
                             SEGMENT_STRING_SLOT_BYTES, strings[i]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    call.information = SEGMENT_STRINGS_REPLY_BYTES;
    return STATUS_SUCCESS;
}

NTSTATUS ReadParameter(IoctlCall& call) {
    // The record's kind (1) terminates a name that fills all 128 characters, so the name is
    // never read past the record. The value is written over the record only afterwards.
    ULONG value = 0;
    NTSTATUS status = ReadRegGlobalParameterDword(
        call.device, static_cast<const ParameterQuery*>(call.input)->Name, &value);
    if (NT_SUCCESS(status)) {
        *static_cast<ULONG*>(call.output) = value;
        call.information = sizeof(ULONG);
    }
    return status;
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

NTSTATUS GetBusyWaitLimit(IoctlCall& call) {
    return ReplyDword(call, call.fdo->NumDfuBootIterBusyWaits);
}

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

NTSTATUS GetReadProtectState(IoctlCall& call) {
    return ReplyDword(call, call.fdo->ReadProtectState);
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

NTSTATUS GetOptionByteWritesAllowed(IoctlCall& call) {
    return ReplyDword(call, ReadNoFence(&call.fdo->STMAreOptionByteWritesAllowed));
}

NTSTATUS SetOptionByteWritesAllowed(IoctlCall& call) {
    WriteNoFence(&call.fdo->STMAreOptionByteWritesAllowed, *static_cast<const ULONG*>(call.input));
    return STATUS_SUCCESS;
}

NTSTATUS GetManufacturerSerial(IoctlCall& call) {
    {
        InStackQueuedSpinLockGuard cache(&call.fdo->ManufacturerSerialCacheLock);
        RtlCopyMemory(call.output, &call.fdo->ManufacturerSerialCache.Block,
                      sizeof(ManufacturerSerialBlock));
    }
    call.information = sizeof(ManufacturerSerialBlock);
    return STATUS_SUCCESS;
}

NTSTATUS GetAppIdRecord(IoctlCall& call) {
    RtlCopyMemory(call.output, call.fdo->AppIdRecord, APP_ID_RECORD_SIZE);
    call.information = APP_ID_RECORD_SIZE;
    return STATUS_SUCCESS;
}

NTSTATUS MassErase(IoctlCall& call) { return ST32DfuMassEraseDevice(call.device); }

constexpr SIZE_T N = NO_BUFFER;

constexpr std::array<IoctlEntry, 30> kEntries = {{
    {IOCTL_DFU_GET_INTERFACE_VERSION, N, sizeof(InterfaceVersionInfo), IsStmDfu, false,
     GetInterfaceVersion},
    {IOCTL_DFU_CONTROL_REQUEST_OUT, sizeof(ControlRequestRecord), N, HasIrp, false,
     ControlRequestOut},
    {IOCTL_DFU_CONTROL_REQUEST_IN, sizeof(ControlRequestRecord), N, HasIrp, false,
     ControlRequestIn},
    {IOCTL_DFU_GET_USB_DESCRIPTOR, sizeof(DescriptorRequestRecord), N, nullptr, false,
     GetUsbDescriptor},
    {IOCTL_DFU_BEGIN_DFU, BEGIN_DFU_INPUT_BYTES, N, nullptr, false, BeginDfu},
    {IOCTL_DFU_GET_DEVICE_HANDLE_INFO, N, sizeof(DeviceHandleInfo), IsStmDfuWithInterface, false,
     GetDeviceHandleInfo},
    {IOCTL_DFU_GET_IDENTITY, N, sizeof(DeviceIdentityInfo), IsStmDfu, false, GetIdentity},
    {IOCTL_DFU_GET_INSTANCE_STRING_SIZE, N, sizeof(ULONG), HasInstanceStringSize, true,
     GetInstanceStringSize},
    {IOCTL_DFU_GET_INSTANCE_STRING, N, INSTANCE_STRING_BYTES, HasInstanceString, false,
     GetInstanceString},
    {IOCTL_DFU_GET_DEVICE_CAPS, N, sizeof(DEVICE_CAPS2), HasDeviceCaps, false, GetDeviceCaps},
    {IOCTL_DFU_GET_SEGMENT_STRINGS, N, SEGMENT_STRINGS_REPLY_BYTES, HasSegmentStrings, false,
     GetSegmentStrings},
    {IOCTL_DFU_READ_PARAMETER, sizeof(ParameterQuery), sizeof(ULONG), AsksForDword, true,
     ReadParameter},
    {IOCTL_DFU_CYCLE_PORT, N, N, nullptr, false, CyclePortAlways},
    {IOCTL_DFU_RESET_PORT, N, N, nullptr, false, ResetPortAlways},
    {IOCTL_DFU_DETACH, N, N, nullptr, false, Detach},
    {IOCTL_DFU_LEAVE, N, N, nullptr, false, Leave},
    {IOCTL_DFU_ERASE_EEPROM_SECTION, sizeof(LONG), N, nullptr, false, EraseEepromSection},
    {IOCTL_DFU_SET_IDLE, N, N, nullptr, false, SetIdle},
    {IOCTL_DFU_GET_BUSY_WAIT_LIMIT, N, sizeof(ULONG), nullptr, false, GetBusyWaitLimit},
    {IOCTL_DFU_POLL_DEVICE, N, N, nullptr, false, PollDevice},
    {IOCTL_DFU_SET_FIRMWARE_VERSION, sizeof(ULONG), N, HasVersionLocation, true,
     SetFirmwareVersion},
    {IOCTL_DFU_GET_READ_PROTECT_STATE, N, sizeof(ULONG), nullptr, false, GetReadProtectState},
    {IOCTL_DFU_READ_UNPROTECT, N, N, IsReadProtected, false, ReadUnprotect},
    {IOCTL_DFU_READ_OPTION_BYTES, N, 1, OptionByteOutputFits, false, ReadOptionBytes},
    {IOCTL_DFU_WRITE_OPTION_BYTES, 1, N, OptionByteInputFits, false, WriteOptionBytes},
    {IOCTL_DFU_GET_OPTION_BYTE_WRITES_ALLOWED, N, sizeof(ULONG), nullptr, false,
     GetOptionByteWritesAllowed},
    {IOCTL_DFU_SET_OPTION_BYTE_WRITES_ALLOWED, sizeof(ULONG), N, nullptr, false,
     SetOptionByteWritesAllowed},
    {IOCTL_DFU_GET_MANUFACTURER_SERIAL, N, sizeof(ManufacturerSerialBlock), nullptr, false,
     GetManufacturerSerial},
    {IOCTL_DFU_GET_APP_ID_RECORD, N, APP_ID_RECORD_SIZE, HasAppIdRecord, true, GetAppIdRecord},
    {IOCTL_DFU_MASS_ERASE, N, N, nullptr, false, MassErase},
}};

}  // namespace

std::span<const IoctlEntry> IoctlEntries() { return kEntries; }
