#include "context/product_data.h"
#include "dfu/device_memory.h"
#include "dfu/dfu_requests.h"
#include "dfu/dfuse_commands.h"
#include "dfu/memory_transaction.h"
#include "platform/kernel_helpers.h"
#include "platform/trace.h"
#include "usb/configuration.h"

namespace {

constexpr ULONG kSectionCopyTag = PoolTag("ahtd");
constexpr ULONG kSerialBytes = 8;
constexpr ULONG kFormat2RecordSize = 8;
constexpr ULONG kFormat2ValuesPerRecord = 6;
constexpr USHORT kFormat2EndMark = 0xFFFF;

bool SerialSettingsValid(const DEVICE_CAPS2& caps) {
    return caps.EepromPresent != 0 && caps.SerialLength >= 1 && caps.SerialLength <= kSerialBytes;
}

bool UsesFormat1(const FDO_DATA* fdo) {
    return fdo->ProductType == EEPROM_FORMAT1_PRODUCT_VALUE &&
           fdo->DeviceCaps2.FirmwareVersion <= EEPROM_FORMAT1_LAST_VERSION;
}

// Uploads the whole section, one wTransferSize block after the other.
NTSTATUS ReadSection(WDFDEVICE device, ULONG sectionAddress, UCHAR* copy, ULONG sectionSize,
                     ULONG transferSize) {
    NTSTATUS status = SetAlternateSetting(device, FdoGetData(device)->DeviceCaps2.Segment1AltSetting);
    if (NT_SUCCESS(status)) {
        status = PointAt(device, sectionAddress);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG blocks = sectionSize / transferSize;
    for (ULONG block = 0; block < blocks; ++block) {
        ULONG received = 0;
        status = DfuUpload(device, copy + block * transferSize, transferSize,
                           static_cast<USHORT>(block + DFUSE_FIRST_DATA_BLOCK), &received);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // The cleared rest of a short block would be parsed as entries.
        if (received != transferSize) {
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "section block %u short: %u bytes", block,
                        received);
            return STATUS_UNSUCCESSFUL;
        }
    }
    return status;
}

NTSTATUS AssembleFormat1(WDFDEVICE device, const UCHAR* copy, ULONG size, ULONG firstKey,
                         ULONG64* serial, bool wantPrecedingByte, PUCHAR precedingByte) {
    for (ULONG j = 0; j < kSerialBytes; ++j) {
        UCHAR value = 0;
        ST32DFUReadByteFromRawEEPROMDataVersionHelperFormat1Byte(
            device, copy, size, static_cast<UCHAR>(firstKey + j), &value);
        *serial |= static_cast<ULONG64>(value) << (8 * j);
    }
    if (wantPrecedingByte) {
        ST32DFUReadByteFromRawEEPROMDataVersionHelperFormat1Byte(
            device, copy, size, static_cast<UCHAR>(firstKey - 1), precedingByte);
    }
    return STATUS_SUCCESS;
}

NTSTATUS AssembleFormat2(WDFDEVICE device, const UCHAR* copy, ULONG size, ULONG firstKey,
                         ULONG serialLength, ULONG64* serial, bool wantPrecedingByte,
                         PUCHAR precedingByte) {
    NTSTATUS result = STATUS_SUCCESS;
    UCHAR record[kFormat2RecordSize];
    for (ULONG j = 0; j < serialLength; ++j) {
        UCHAR value = 0;
        result = ST32DFUReadOneByteFromRawEEPROMDataVersion2(
            device, copy, size, static_cast<USHORT>(firstKey + j), &value, record);
        *serial |= static_cast<ULONG64>(value) << (8 * j);
    }
    if (wantPrecedingByte) {
        result = ST32DFUReadOneByteFromRawEEPROMDataVersion2(
            device, copy, size, static_cast<USHORT>(firstKey - 1), precedingByte, record);
    }
    return result;
}

}  // namespace

NTSTATUS ST32DFUReadManuSerialNumberInDeviceMemorySpace(WDFDEVICE device, ULONG sectionAddress,
                                                        ULONG firstKeyForTrace, ULONG64* serial,
                                                        UCHAR wantPrecedingByte,
                                                        PUCHAR precedingByte) {
    *serial = 0;
    PFDO_DATA fdo = FdoGetData(device);
    const DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    if (!HasDfuDescriptors(fdo)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!SerialSettingsValid(caps)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG transferSize = DfuTransferSize(fdo);
    const ULONG sectionSize = caps.EepromSectionSize;
    if (transferSize == 0 || sectionSize == 0 || sectionSize % transferSize != 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DFU, "serial at 0x%08x, first key %u",
                sectionAddress, firstKeyForTrace);

    PoolBuffer copy(PagedPool, sectionSize, kSectionCopyTag);
    if (!copy) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(copy.get(), sectionSize);
    NTSTATUS status = ReadSection(device, sectionAddress, copy.get(), sectionSize, transferSize);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const bool wantByte = wantPrecedingByte == 1 && precedingByte != nullptr;
    if (UsesFormat1(fdo)) {
        AssembleFormat1(device, copy.get(), sectionSize, caps.SerialFirstKey, serial, wantByte,
                        precedingByte);
        return status;
    }
    return AssembleFormat2(device, copy.get(), sectionSize, caps.SerialFirstKey,
                           caps.SerialLength, serial, wantByte, precedingByte);
}

NTSTATUS ST32DFUReadByteFromRawEEPROMDataVersionHelperFormat1Byte(WDFDEVICE device,
                                                                  const UCHAR* sectionCopy,
                                                                  ULONG length, UCHAR key,
                                                                  PUCHAR value) {
    const DEVICE_CAPS2& caps = FdoGetData(device)->DeviceCaps2;
    const UCHAR erased = caps.ErasedByteValue;
    *value = erased;
    if (length != caps.EepromSectionSize) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    // An entry is a key byte and a value byte; an odd last byte holds no entry.
    for (ULONG offset = 0; offset + 1 < length; offset += 2) {
        if (sectionCopy[offset] == erased) {
            break;
        }
        if (sectionCopy[offset] == key) {
            *value = sectionCopy[offset + 1];
        }
        result = STATUS_SUCCESS;
    }
    return result;
}

NTSTATUS ST32DFUReadOneByteFromRawEEPROMDataVersion2(WDFDEVICE device, const UCHAR* sectionCopy,
                                                     ULONG length, USHORT index, PUCHAR value,
                                                     UCHAR record[8]) {
    const DEVICE_CAPS2& caps = FdoGetData(device)->DeviceCaps2;
    const UCHAR erased = caps.ErasedByteValue;
    *value = erased;
    RtlFillMemory(record + 2, kFormat2RecordSize - 2, erased);
    if (length != caps.EepromSectionSize) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    // A record is 8 bytes; a partial record at the end of the section is not read.
    for (ULONG offset = 0; offset + kFormat2RecordSize <= length; offset += kFormat2RecordSize) {
        const UCHAR* entry = sectionCopy + offset;
        const ULONG base = static_cast<ULONG>(entry[0]) << 8 | entry[1];
        if (base == kFormat2EndMark) {
            break;
        }
        if (base <= index && index < base + kFormat2ValuesPerRecord) {
            RtlCopyMemory(record, entry, kFormat2RecordSize);
            record[0] = static_cast<UCHAR>(base);
            record[1] = static_cast<UCHAR>(base >> 8);
            *value = entry[2 + (index - base)];
            result = STATUS_SUCCESS;
        }
    }
    return result;
}

NTSTATUS ST32DFUEraseEEPROMSectionInDeviceMemorySpace(WDFDEVICE device, ULONG target) {
    PFDO_DATA fdo = FdoGetData(device);
    const DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    ULONG address = 0;
    ULONG size = 0;
    if (target == 0) {
        address = caps.EepromSectionAddress;
        size = caps.EepromSectionSize;
    } else if (target == 1) {
        address = caps.AuxSectionAddress;
        size = caps.AuxSectionSize;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    if (address == 0 || size == 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!HasDfuDescriptors(fdo)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!SerialSettingsValid(caps)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG transferSize = DfuTransferSize(fdo);
    if (transferSize == 0 || size % transferSize != 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SetAlternateSetting(device, caps.Segment1AltSetting);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!NT_SUCCESS(DfuSetIdle(device))) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "not idle before the erase");
    }
    const ULONG pages = size / transferSize;
    for (ULONG page = 0; page < pages; ++page) {
        const ULONG pageAddress = address + page * transferSize;
        status = DfuSetIdle(device);
        if (!NT_SUCCESS(status)) {
            break;
        }
        ST32DfuSetAddressPointer(device, pageAddress);
        status = ST32DfuEraseSector(device, pageAddress, 0);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_DFU, "erase stopped at 0x%08x", pageAddress);
            break;
        }
    }
    return status;
}
