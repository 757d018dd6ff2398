#include "context/product_data.h"
#include "dfu/device_memory.h"
#include "dfu/dfu_requests.h"
#include "dfu/dfuse_commands.h"
#include "dfu/memory_transaction.h"
#include "platform/kernel_helpers.h"
#include "platform/trace.h"
#include "usb/configuration.h"

namespace {

constexpr ULONG kIdentityRecordSize = 8;
constexpr USHORT kUnwrittenProductId = 0xFFFF;
constexpr ULONG kIdentityReadSizes[] = {APP_ID_RECORD_SIZE, APP_ID_RECORD_SIZE - 8};
constexpr ULONG kVersionTrailerSize = 8;
constexpr ULONG kVersionBlockTag = PoolTag("verb");

USHORT LittleEndianWord(const UCHAR* bytes) {
    return static_cast<USHORT>(bytes[0] | bytes[1] << 8);
}

// The record in force is the last written one. Only records the device actually sent count:
// the cleared tail of a short answer is not a record.
bool FindLastWrittenRecord(const UCHAR* area, ULONG recordsRead, PUSHORT productId,
                           PUSHORT vendorId, PUSHORT variant) {
    for (ULONG index = recordsRead; index-- > 0;) {
        const UCHAR* record = area + index * kIdentityRecordSize;
        if (LittleEndianWord(record) != kUnwrittenProductId) {
            *productId = LittleEndianWord(record);
            *vendorId = LittleEndianWord(record + 2);
            *variant = LittleEndianWord(record + 4);
            return true;
        }
    }
    return false;
}

}  // namespace

NTSTATUS ST32DFUReadAppPIDVIDInDeviceMemorySpace(WDFDEVICE device, PUSHORT productId,
                                                 PUSHORT vendorId, PUSHORT variant) {
    *productId = *vendorId = *variant = 0;
    PFDO_DATA fdo = FdoGetData(device);
    if (fdo->DeviceCaps2.ReadAppIdFromMemory == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!HasDfuDescriptors(fdo) || fdo->DeviceCaps2.Segment2Base == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    bool identitySegmentSelected = false;
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    for (ULONG readSize : kIdentityReadSizes) {
        UCHAR area[APP_ID_RECORD_SIZE] = {};
        NTSTATUS status = STATUS_SUCCESS;
        if (!identitySegmentSelected) {
            status = SetAlternateSetting(device, fdo->DeviceCaps2.Segment2AltSetting);
            identitySegmentSelected = NT_SUCCESS(status);
        }
        if (NT_SUCCESS(status)) {
            status = DfuSetIdle(device);
            if (!NT_SUCCESS(status)) {
                result = status;
                break;
            }
            status = ST32DfuSetAddressPointer(device, fdo->DeviceCaps2.Segment2Base);
        }
        if (NT_SUCCESS(status)) {
            status = DfuSetIdle(device);
            if (!NT_SUCCESS(status)) {
                result = status;
                break;
            }
            RtlZeroMemory(area, sizeof(area));
            ULONG received = 0;
            status = DfuUpload(device, area, readSize, DFUSE_FIRST_DATA_BLOCK, &received);
            if (NT_SUCCESS(status)) {
                const ULONG recordsRead = (received < readSize ? received : readSize) /
                                          kIdentityRecordSize;
                if (!FindLastWrittenRecord(area, recordsRead, productId, vendorId, variant)) {
                    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DFU, "no identity written");
                }
                WriteNoFence(&fdo->AppIdRecordValid, 1u);
                RtlCopyMemory(fdo->AppIdRecord, area, sizeof(area));
                result = status;
                break;
            }
        }
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "identity read of %u bytes failed: 0x%x",
                    readSize, static_cast<unsigned>(status));
        DfuSetIdle(device);
        result = status;
    }
    if (identitySegmentSelected &&
        !NT_SUCCESS(SetAlternateSetting(device, fdo->DeviceCaps2.Segment1AltSetting))) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "flash segment not selected again");
    }
    return result;
}

NTSTATUS ST32DFUReadUpperVersionInDeviceMemorySpace(WDFDEVICE device, ULONG address,
                                                    USHORT blockOffset, ULONG size,
                                                    PUSHORT version, PUSHORT secondary) {
    PFDO_DATA fdo = FdoGetData(device);
    if (!HasDfuDescriptors(fdo)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (fdo->DeviceCaps2.VersionLocationValid == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG transferSize = DfuTransferSize(fdo);
    if (transferSize == 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const ULONG n = size == 0 ? transferSize : size;
    if (n > transferSize) {
        return STATUS_NOT_IMPLEMENTED;
    }
    // Every layout reads within the block's last 8 bytes; a shorter block would put them
    // before its start.
    if (n < kVersionTrailerSize || blockOffset > 0xFFFF - DFUSE_FIRST_DATA_BLOCK) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = SetAlternateSetting(device, fdo->DeviceCaps2.Segment1AltSetting);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = PointAt(device, address);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PoolBuffer block(PagedPool, n, kVersionBlockTag);
    if (!block) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UCHAR* b = block.get();
    RtlZeroMemory(b, n);
    ULONG received = 0;
    status = DfuUpload(device, b, n, static_cast<USHORT>(blockOffset + DFUSE_FIRST_DATA_BLOCK),
                       &received);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The layouts read the block's last bytes: a short block would give the cleared tail as
    // the version.
    if (received != n) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "version block short: %u of %u bytes",
                    received, n);
        return STATUS_UNSUCCESSFUL;
    }
    USHORT low = 0;
    USHORT high = 0;
    switch (VersionLayoutFor(fdo->AppVid, fdo->AppPid)) {
        case VersionLayout::BigEndianLastWord:
            low = static_cast<USHORT>(b[n - 2] << 8 | b[n - 1]);
            break;
        case VersionLayout::LittleEndianAt4:
            low = LittleEndianWord(b + n - 4);
            break;
        case VersionLayout::LittleEndianAt8:
            low = LittleEndianWord(b + n - 8);
            high = LittleEndianWord(b + n - 4);
            break;
    }
    *version = low;
    if (secondary != nullptr) {
        *secondary = high;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DFU, "version 0x%04x secondary 0x%04x", low, high);
    return status;
}
