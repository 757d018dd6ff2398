#include "control/ioctl_table.h"

#include <array>

#include "control/ioctl_bodies.h"
#include "platform/sync.h"
#include "updater_interface/ioctl.h"

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

using namespace ioctl;

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
