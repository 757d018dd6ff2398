#include "context/driver_globals.h"
#include "control/ioctl_bodies.h"
#include "platform/kernel_helpers.h"
#include "platform/rtl.h"
#include "platform/sync.h"
#include "updater_interface/ioctl.h"

namespace {

NTSTATUS ReplyDword(IoctlCall& call, ULONG value) {
    *static_cast<ULONG*>(call.output) = value;
    call.information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

// The record may change under a sibling notification or a version override while it is
// copied: both write single fields atomically, so it is read in atomic 8-byte words (plain
// moves; no wider load is atomic short of a locked instruction). Four words a step keep the
// loop's own overhead off the copy.
void CopyDeviceCaps(DEVICE_CAPS2* destination, DEVICE_CAPS2* source) {
    static_assert(sizeof(DEVICE_CAPS2) % sizeof(ULONG64) == 0);
    static_assert(alignof(DEVICE_CAPS2) >= alignof(ULONG64));
    constexpr SIZE_T WORDS = sizeof(DEVICE_CAPS2) / sizeof(ULONG64);
    constexpr SIZE_T STEP = 4;
    auto* from = reinterpret_cast<ULONG64*>(source);
    auto* to = reinterpret_cast<UCHAR*>(destination);
    const auto copyWord = [&](SIZE_T i) {
        const ULONG64 word = ReadNoFence(&from[i]);
        RtlCopyMemory(to + i * sizeof(word), &word, sizeof(word));
    };
    SIZE_T i = 0;
    for (; i + STEP <= WORDS; i += STEP) {
        copyWord(i);
        copyWord(i + 1);
        copyWord(i + 2);
        copyWord(i + 3);
    }
    for (; i < WORDS; ++i) {
        copyWord(i);
    }
}

void CopyIdentityString(WCHAR (&destination)[IDENTITY_STRING_CHARS], const WCHAR* source) {
    ULONG i = 0;
    for (; i + 1 < IDENTITY_STRING_CHARS && source[i] != 0; ++i) {
        destination[i] = source[i];
    }
    destination[i] = 0;
}

}  // namespace

namespace ioctl {

NTSTATUS GetInterfaceVersion(IoctlCall& call) {
    auto* reply = static_cast<InterfaceVersionInfo*>(call.output);
    RtlZeroMemory(reply, sizeof(*reply));
    *reply = {5, 9, 5, 9, 1};
    call.information = sizeof(*reply);
    return STATUS_SUCCESS;
}

NTSTATUS GetDeviceHandleInfo(IoctlCall& call) {
    auto* reply = static_cast<DeviceHandleInfo*>(call.output);
    RtlZeroMemory(reply, sizeof(*reply));
    reply->DeviceInstance = call.fdo->DeviceInstanceNumber;
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
    // All 1024 bytes are reported: what follows each string's terminator must be ours too,
    // not what the system buffer held.
    RtlZeroMemory(slots, SEGMENT_STRINGS_REPLY_BYTES);
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

NTSTATUS GetBusyWaitLimit(IoctlCall& call) {
    return ReplyDword(call, call.fdo->NumDfuBootIterBusyWaits);
}

NTSTATUS GetReadProtectState(IoctlCall& call) {
    return ReplyDword(call, call.fdo->ReadProtectState);
}

NTSTATUS GetOptionByteWritesAllowed(IoctlCall& call) {
    return ReplyDword(call, ReadNoFence(&call.fdo->STMAreOptionByteWritesAllowed));
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

}  // namespace ioctl
