#include "driver/identity_probe.h"

#include "context/device_context.h"
#include "dfu/device_memory.h"
#include "dfu/dfu_requests.h"
#include "dfu/dfuse_commands.h"
#include "driver/device_add.h"
#include "driver/product_table.h"
#include "driver/segments.h"
#include "notify/event_log.h"
#include "platform/rtl.h"
#include "platform/sync.h"
#include "platform/trace.h"

namespace {

// A bootloader whose flash has this layout keeps its product code in a layout of its own.
constexpr WCHAR kOptionByteFallbackLayout[] = WIDE("@Internal Flash  /0x08000000/128*0002Kg");
constexpr ULONG kOptionByteFallbackCode = 3;

void ReadSupportedCommands(WDFDEVICE device, PFDO_DATA fdo) {
    NTSTATUS status = ST32DfuGetBootloaderCommandsSupported(device, fdo->GetCommandReply,
                                                            sizeof(fdo->GetCommandReply));
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "get commands: 0x%x",
                    static_cast<unsigned>(status));
        DfuSetIdle(device);
        return;
    }
    const UCHAR* reply = fdo->GetCommandReply;
    fdo->SupportsGet = reply[0] == DFUSE_COMMAND_GET;
    fdo->SupportsSetAddress = reply[1] == DFUSE_COMMAND_SET_ADDRESS_POINTER;
    fdo->SupportsErase = reply[2] == DFUSE_COMMAND_ERASE;
    fdo->SupportsReadUnprotect = reply[3] == DFUSE_COMMAND_READ_UNPROTECT;
}

// Returns false when segment 1 has no base: the device cannot be identified.
bool ReadSegmentBases(WDFDEVICE device, PFDO_DATA fdo) {
    DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    caps.Segment1Base = GetSegmentBaseAddress(device, 1);
    if (caps.Segment1Base == 0) {
        return false;
    }
    caps.Segment2Base = GetSegmentBaseAddress(device, 2);
    if (caps.Segment2Base == 0) {
        caps.ReadAppIdFromMemory = 0;
    }
    caps.Segment3Base = GetSegmentBaseAddress(device, 3);
    if (caps.Segment3Base == 0) {
        fdo->OptionBytesValid = 0;
    }
    caps.Segment4Base = GetSegmentBaseAddress(device, 4);
    if (caps.Segment4Base == 0) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "no fourth segment");
    }
    return true;
}

void LogReadProtected(PFDO_DATA fdo) {
    LogFormattedEvent(fdo->DeviceObject, OSTDFU_EVENT_ERROR, WIDE("READPROTECTED: pcode:%u"),
                      ReadNoFence(&fdo->ProductType));
}

void TestReadProtection(WDFDEVICE device, PFDO_DATA fdo) {
    fdo->ReadProtectState = 0;
    UCHAR isProtected = 0;
    if (fdo->TestReadProtectWithFlashAlso != 0 &&
        NT_SUCCESS(IsST32DeviceReadProtected(device, 0, &isProtected)) && isProtected != 0) {
        fdo->ReadProtectState |= 1;
    }
    isProtected = 0;
    NTSTATUS status = IsST32DeviceReadProtected(device, 1, &isProtected);
    if (NT_SUCCESS(status) && isProtected != 0) {
        fdo->ReadProtectState |= 1;
    }
    if (NT_SUCCESS(status) && isProtected == 1 && fdo->ReadUnProtectIfReadProtected != 0) {
        LogReadProtected(fdo);
        status = ST32DfuReadUnprotect(device);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "read unprotect: 0x%x",
                    static_cast<unsigned>(status));
        status = IsST32DeviceReadProtected(device, 1, &isProtected);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "after unprotect: 0x%x, %u",
                    static_cast<unsigned>(status), isProtected);
    }
}

void ReadOptionBytes(WDFDEVICE device, PFDO_DATA fdo) {
    if (fdo->DeviceCaps2.Segment3Base == 0) {
        return;
    }
    ULONG bytesRead = 0;
    NTSTATUS status = ST32DFUReadOptionBytesInDeviceMemorySpace(
        device, fdo->OptionBytes, sizeof(fdo->OptionBytes), &bytesRead);
    fdo->OptionBytesValid = NT_SUCCESS(status) ? 1 : 0;
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "option bytes: 0x%x",
                    static_cast<unsigned>(status));
    }
}

// Products that keep their identity in the option bytes; nullptr when the bytes name none.
const ProductRow* RowFromOptionBytes(PFDO_DATA fdo) {
    DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    caps.IdentityFromOptionBytes = 1;
    fdo->OptionByteProductCode = fdo->OptionBytes[4] | fdo->OptionBytes[6];
    const ProductRow* row = FindRowByOptionByteCode(fdo->OptionByteProductCode);
    if (row == nullptr && caps.Segment2Base == 0 && caps.Segment3Base != 0 &&
        NT_SUCCESS(parseSubString(fdo->SegmentString1, kOptionByteFallbackLayout))) {
        fdo->OptionByteProductCode = kOptionByteFallbackCode;
        row = FindRowByOptionByteCode(kOptionByteFallbackCode);
    }
    if (row == nullptr) {
        caps.IdentityFromOptionBytes = 0;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "option-byte code 0x%x names no product",
                    fdo->OptionByteProductCode);
    }
    return row;
}

void ReadApplicationIdentity(WDFDEVICE device, PFDO_DATA fdo) {
    USHORT productId = 0;
    USHORT vendorId = 0;
    USHORT variant = 0;
    NTSTATUS status =
        ST32DFUReadAppPIDVIDInDeviceMemorySpace(device, &productId, &vendorId, &variant);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "identity record: 0x%x",
                    static_cast<unsigned>(status));
    }
    if (static_cast<ULONG>(productId) == fdo->mapFromOtpPID) {
        productId = static_cast<USHORT>(fdo->mapToOtpPID);
    }
    if (static_cast<ULONG>(vendorId) == fdo->MapFromOtpVID) {
        vendorId = static_cast<USHORT>(fdo->MapToOtpVID);
    }
    WriteNoFence(&fdo->AppPid, productId);
    WriteNoFence(&fdo->AppVid, vendorId);
    fdo->AppVariant = variant;
}

void KeepDescriptorIdentity(PFDO_DATA fdo) {
    WriteNoFence(&fdo->AppVid, fdo->DeviceDescriptor.idVendor);
    WriteNoFence(&fdo->AppPid, fdo->DeviceDescriptor.idProduct);
}

}  // namespace

NTSTATUS RunIdentityProbe(WDFDEVICE device, ProbeEnd* end) {
    PFDO_DATA fdo = FdoGetData(device);
    DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    *end = ProbeEnd::Identified;

    DfuSetIdle(device);
    ReadSupportedCommands(device, fdo);
    if (!ReadSegmentBases(device, fdo)) {
        *end = ProbeEnd::NoFirstSegment;
        return STATUS_SUCCESS;
    }
    TestReadProtection(device, fdo);
    DfuSetIdle(device);
    ReadOptionBytes(device, fdo);

    NTSTATUS status = STATUS_SUCCESS;
    if (caps.ReadAppIdFromMemory == 0 && caps.Segment3Base != 0 && fdo->OptionBytesValid == 1) {
        if (const ProductRow* row = RowFromOptionBytes(fdo)) {
            status = ApplyProductRow(device, *row);
        }
    }
    if (caps.IdentityFromOptionBytes == 0 && caps.ReadAppIdFromMemory == 1) {
        ReadApplicationIdentity(device, fdo);
        const USHORT productId = ReadNoFence(&fdo->AppPid);
        if (const ProductRow* row = FindRowByProductId(productId, fdo->AppVariant)) {
            status = ApplyProductRow(device, *row);
        } else if (IsVariantProductId(productId)) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "unknown variant 0x%04x",
                        fdo->AppVariant);
        } else {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "unknown product 0x%04x",
                        productId);
            KeepDescriptorIdentity(fdo);
        }
    } else if (caps.IdentityFromOptionBytes == 0 && caps.ReadAppIdFromMemory == 0) {
        KeepDescriptorIdentity(fdo);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "identity %04x:%04x, 0x%x",
                ReadNoFence(&fdo->AppVid), ReadNoFence(&fdo->AppPid),
                static_cast<unsigned>(status));
    return status;
}
