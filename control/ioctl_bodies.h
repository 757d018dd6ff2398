// The bodies of the control codes, called by the dispatcher's table once the code's buffers are
// retrieved and its precondition holds. Each leaves the information length in the call.
#pragma once

#include "control/ioctl_table.h"

namespace ioctl {

// Replies from what the driver learnt about the device.
NTSTATUS GetInterfaceVersion(IoctlCall& call);
NTSTATUS GetDeviceHandleInfo(IoctlCall& call);
NTSTATUS GetIdentity(IoctlCall& call);
NTSTATUS GetInstanceStringSize(IoctlCall& call);
NTSTATUS GetInstanceString(IoctlCall& call);
NTSTATUS GetDeviceCaps(IoctlCall& call);
NTSTATUS GetSegmentStrings(IoctlCall& call);
NTSTATUS ReadParameter(IoctlCall& call);
NTSTATUS GetBusyWaitLimit(IoctlCall& call);
NTSTATUS GetReadProtectState(IoctlCall& call);
NTSTATUS GetOptionByteWritesAllowed(IoctlCall& call);
NTSTATUS GetManufacturerSerial(IoctlCall& call);
NTSTATUS GetAppIdRecord(IoctlCall& call);

// Operations that talk to the device or change what the driver reports.
NTSTATUS ControlRequestOut(IoctlCall& call);
NTSTATUS ControlRequestIn(IoctlCall& call);
NTSTATUS GetUsbDescriptor(IoctlCall& call);
NTSTATUS BeginDfu(IoctlCall& call);
NTSTATUS CyclePortAlways(IoctlCall& call);
NTSTATUS ResetPortAlways(IoctlCall& call);
NTSTATUS Detach(IoctlCall& call);
NTSTATUS Leave(IoctlCall& call);
NTSTATUS EraseEepromSection(IoctlCall& call);
NTSTATUS SetIdle(IoctlCall& call);
NTSTATUS PollDevice(IoctlCall& call);
NTSTATUS SetFirmwareVersion(IoctlCall& call);
NTSTATUS ReadUnprotect(IoctlCall& call);
NTSTATUS ReadOptionBytes(IoctlCall& call);
NTSTATUS WriteOptionBytes(IoctlCall& call);
NTSTATUS SetOptionByteWritesAllowed(IoctlCall& call);
NTSTATUS MassErase(IoctlCall& call);

}  // namespace ioctl
