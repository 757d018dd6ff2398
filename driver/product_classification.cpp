#include "context/device_context.h"
#include "dfu/device_memory.h"
#include "driver/product_table.h"
#include "notify/sibling_callback.h"
#include "platform/kernel_helpers.h"
#include "platform/rtl.h"
#include "platform/trace.h"

namespace {

constexpr ULONG kSerialLength = 8;
constexpr ULONG64 kSerialUnknown = ~0ULL;
constexpr UCHAR kForcedPrecedingByte = 128;

constexpr ULONG kAuxSectionAddress = 0x08037800;
constexpr ULONG kAuxSectionSize = 0x8000;
constexpr ULONG kFamily27Dword3316 = 0x1000;
constexpr UCHAR kFamily27Byte3301 = 0x40;

ULONG ProductKeyOf(const ProductRow& row, USHORT variant) {
    return row.key == RowKey::AppPidVariant ? static_cast<ULONG>(variant) << 16 | row.productId
                                            : row.productId;
}

void WriteIdentity(PFDO_DATA fdo, const ProductRow& row) {
    DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    if (row.key == RowKey::OptionByteCode) {
        fdo->AppVid = row.defaultVendorId;
        fdo->AppPid = row.productId;
    } else if (fdo->AppVid == 0x0000 || fdo->AppVid == 0xFFFF) {
        fdo->AppVid = row.defaultVendorId;
    }
    const ULONG productKey = ProductKeyOf(row, fdo->AppVariant);
    caps.ProductKey = productKey;
    WriteNoFence(&fdo->ProductType, row.productCode);
    caps.CapsProductType = row.productCode;
    if (row.ordinal != kNotWritten) {
        caps.ProductOrdinal = static_cast<ULONG>(row.ordinal);
        caps.Dword3340 = 0;
    }
    if (row.byte3355 != kNotWritten) {
        caps.Byte3355 = static_cast<UCHAR>(row.byte3355);
    }
    switch (row.productKey2) {
        case ProductKey2Rule::None:
            break;
        case ProductKey2Rule::Pid:
            caps.ProductKey2 = row.productId;
            break;
        case ProductKey2Rule::PidPlusOne:
            caps.ProductKey2 = row.productId + 1u;
            break;
        case ProductKey2Rule::ProductCode:
            caps.ProductKey2 = row.productCode;
            break;
        case ProductKey2Rule::SameAsProductKey:
            caps.ProductKey2 = productKey;
            break;
    }
}

void ChooseInterfaces(PFDO_DATA fdo, const ProductRow& row) {
    DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    if (row.companionInterface) {
        fdo->CompanionInterfaceWanted = 1;
        fdo->CompanionInterfaceGuid = row.companionGuid;
        caps.ReportedInterfaceGuid = row.companionGuid;
        if (row.productIdText) {
            RtlStringCbPrintfW(caps.ProductIdText, sizeof(caps.ProductIdText), WIDE("PID_%04X"),
                               row.productId);
        }
    }
    fdo->ProductInterfaceWanted = 1;
    fdo->ProductInterfaceGuid = row.productGuid;
    caps.Byte3356 = 1;
    caps.Byte3357 = 1;
}

void WriteGeometry(DEVICE_CAPS2& caps, const ProductRow& row) {
    if (row.readsVersion) {
        caps.VersionLocationValid = 1;
        caps.VersionAddress = row.versionAddress;
        caps.VersionBlockOffset = row.versionBlockOffset;
    }
    if (row.sectionSize != 0) {
        caps.EepromSectionSize = row.sectionSize;
        caps.Dword3116 = 1;
    }
    if (row.applicationSize != 0) {
        caps.ApplicationSize = row.applicationSize;
    }
    if (row.family27) {
        caps.Dword3112 = 0;
        caps.Byte3301 = kFamily27Byte3301;
        caps.Byte3302 = kFamily27Byte3301;
        caps.AuxSectionAddress = kAuxSectionAddress;
        caps.Dword3316 = kFamily27Dword3316;
        caps.AuxSectionSize = kAuxSectionSize;
    }
    if (row.byte3303) {
        caps.Byte3303 = 0xFF;
    }
}

void ReadVersion(WDFDEVICE device, PFDO_DATA fdo, const ProductRow& row) {
    if (!row.readsVersion) {
        return;
    }
    DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    USHORT low = 0;
    USHORT high = 0;
    NTSTATUS status = ST32DFUReadUpperVersionInDeviceMemorySpace(
        device, row.versionAddress, row.versionBlockOffset, row.versionReadLength, &low, &high);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "version unreadable: 0x%x",
                    static_cast<unsigned>(status));
    }
    caps.FirmwareVersion = row.versionHighLow ? static_cast<ULONG>(high) << 16 | low : low;
    caps.VersionWordCount = row.versionWordCount;
    caps.VersionLow = low;
    if (row.storesVersionHigh) {
        caps.VersionHigh = high;
    }
    if (row.versionHasHighWord != kNotWritten) {
        caps.VersionHasHighWord = static_cast<UCHAR>(row.versionHasHighWord);
    }
}

void WriteEeprom(DEVICE_CAPS2& caps, const ProductRow& row) {
    if (!row.eeprom) {
        return;
    }
    caps.EepromPresent = 1;
    caps.SerialFirstKey = row.serialFirstKey;
    caps.SerialLength = kSerialLength;
    if (row.eepromSectionAddress != 0) {
        caps.EepromSectionAddress = row.eepromSectionAddress;
    }
}

void FillSerialCache(PFDO_DATA fdo, ULONG fromRecord, const UCHAR* recordByte) {
    InStackQueuedSpinLockGuard guard(&fdo->ManufacturerSerialCacheLock);
    ManufacturerSerialCacheRecord& cache = fdo->ManufacturerSerialCache;
    cache.Valid = TRUE;
    cache.Block.FromRecord = fromRecord;
    if (recordByte != nullptr) {
        cache.Block.RecordByte = *recordByte;
    }
    cache.Block.Length = kSerialLength;
    cache.Block.Value = fdo->ManufacturerSerial;
}

void ReadManufacturerSerial(WDFDEVICE device, PFDO_DATA fdo, const ProductRow& row) {
    if (row.serial == SerialSource::Untouched) {
        return;
    }
    DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    WriteNoFence(&fdo->ManufacturerSerial, kSerialUnknown);
    caps.Serial = kSerialUnknown;
    NTSTATUS status = STATUS_SUCCESS;
    switch (row.serial) {
        case SerialSource::Untouched:
        case SerialSource::AllOnesOnly:
            return;
        case SerialSource::AllOnesCached: {
            const UCHAR noByte = 0;
            FillSerialCache(fdo, row.cachedFromRecord, &noByte);
            return;
        }
        case SerialSource::PlainRead: {
            ULONG64 serial = kSerialUnknown;
            status = ST32DFUReadManuSerialNumberInDeviceMemorySpace(
                device, caps.EepromSectionAddress, 0, &serial, 0, nullptr);
            WriteNoFence(&fdo->ManufacturerSerial, serial);
            caps.Serial = serial;
            FillSerialCache(fdo, 0, nullptr);
            break;
        }
        case SerialSource::ReadWithPrecedingByte: {
            ULONG64 serial = kSerialUnknown;
            UCHAR preceding = row.precedingBytePreset;
            status = ST32DFUReadManuSerialNumberInDeviceMemorySpace(
                device, caps.EepromSectionAddress, caps.SerialFirstKey, &serial, 1, &preceding);
            if (row.precedingByteForced) {
                preceding = kForcedPrecedingByte;
            }
            WriteNoFence(&fdo->ManufacturerSerial, serial);
            caps.Serial = serial;
            FillSerialCache(fdo, 1, &preceding);
            break;
        }
    }
    TraceEvents(NT_SUCCESS(status) ? TRACE_LEVEL_INFORMATION : TRACE_LEVEL_WARNING, TRACE_DRIVER,
                "manufacturer serial 0x%016llx: 0x%x",
                static_cast<unsigned long long>(fdo->ManufacturerSerial),
                static_cast<unsigned>(status));
}

NTSTATUS CreateSiblingCallback(WDFDEVICE device, PFDO_DATA fdo) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, SIBLING_CALLBACK_OBJECT_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr,
                               nullptr);
    PCALLBACK_OBJECT callbackObject = nullptr;
    NTSTATUS status = ExCreateCallback(&callbackObject, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "callback object: 0x%x",
                    static_cast<unsigned>(status));
        return status;
    }
    fdo->CallbackObject = callbackObject;
    fdo->CallbackRegistration =
        ExRegisterCallback(callbackObject, StmDfu32ClassDriverCallbackRoutine, device);
    if (fdo->CallbackRegistration == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "callback not registered");
        return STATUS_INVALID_DEVICE_STATE;
    }
    return STATUS_SUCCESS;
}

void CopyNames(PFDO_DATA fdo, const ProductRow& row) {
    if (!NT_SUCCESS(RtlStringCbCopyW(fdo->ProductString, sizeof(fdo->ProductString), row.name))) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "product name cut");
    }
    if (!NT_SUCCESS(RtlStringCbCopyW(fdo->ManufacturerString, sizeof(fdo->ManufacturerString),
                                     ManufacturerName(row.manufacturer)))) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DRIVER, "manufacturer name cut");
    }
}

}  // namespace

NTSTATUS ApplyProductRow(WDFDEVICE device, const ProductRow& row) {
    PFDO_DATA fdo = FdoGetData(device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "product code %u", row.productCode);
    WriteIdentity(fdo, row);
    ChooseInterfaces(fdo, row);
    if (!row.identityOnly) {
        WriteGeometry(fdo->DeviceCaps2, row);
        ReadVersion(device, fdo, row);
        WriteEeprom(fdo->DeviceCaps2, row);
        ReadManufacturerSerial(device, fdo, row);
        if (row.callbackObject) {
            NTSTATUS status = CreateSiblingCallback(device, fdo);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }
    CopyNames(fdo, row);
    return STATUS_SUCCESS;
}
