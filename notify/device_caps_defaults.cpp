#include "context/device_context.h"
#include "notify/sibling_callback.h"
#include "platform/rtl.h"
#include "platform/trace.h"

namespace {

constexpr ULONG64 kCapsFillerQword = 0xDEADDEADDEADDEADULL;

// The defaults of a recognised STM32 bootloader, before a product row refines them.
void WriteStmDfuDefaults(DEVICE_CAPS2* caps) {
    caps->Byte1772 = 1;
    caps->Byte1773 = 1;
    caps->Byte1774 = 1;
    caps->Byte1775 = 0;
    caps->Word1776 = 0;
    caps->Byte1778 = 1;
    caps->Word1784 = 0x0100;
    caps->ErasedByteValue = 0xFF;
    caps->Byte3126 = 1;
    caps->Word3168 = 0x0101;
    caps->Byte3183 = 1;
    caps->ReadAppIdFromMemory = 1;
    caps->Dword3212 = 2;
    caps->Segment1AltSetting = 0;  // internal flash
    caps->Segment2AltSetting = 2;  // one-time-programmable area with the identity records
    caps->Segment3AltSetting = 1;  // option bytes
    caps->Segment4AltSetting = 3;
    caps->Byte3231 = 0;
    caps->SegmentStringsValid = 1;
    caps->Word3296 = 1;
    caps->ProductOrdinal = 0;
    caps->Dword3340 = 0xFFFFFFFF;
    caps->Byte3438 = 1;
}

}  // namespace

NTSTATUS nrxutils_GetDeviceCaps2(WDFDEVICE device, const USB_DEVICE_DESCRIPTOR* deviceDescriptor,
                                 PDEVICE_OBJECT /*deviceObject*/,
                                 PDEVICE_OBJECT /*attachedDeviceObject*/, ULONG productCode,
                                 PCWSTR instanceString, DEVICE_CAPS2* caps) {
    auto* bytes = reinterpret_cast<UCHAR*>(caps);
    RtlZeroMemory(bytes + 8, sizeof(DEVICE_CAPS2) - 8);
    caps->CapsVersion = DEVICE_CAPS2_VERSION;
    caps->CapsProductType = productCode;
    caps->ReportedInterfaceGuid = FdoGetData(device)->DriverInterfaceGuid;
    caps->bcdUSB = deviceDescriptor->bcdUSB;
    caps->idVendor = deviceDescriptor->idVendor;
    caps->idProduct = deviceDescriptor->idProduct;
    caps->bcdDevice = deviceDescriptor->bcdDevice;
    caps->Qword3200 = kCapsFillerQword;

    if (instanceString != nullptr) {
        NTSTATUS status =
            RtlStringCchCopyW(caps->InstanceName, DEVICE_CAPS2_INSTANCE_NAME_CHARS, instanceString);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFY, "instance string does not fit");
            return status;
        }
    }
    if (productCode != PRODUCT_TYPE_STM_DFU) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_NOTIFY, "product code %u has no defaults",
                    productCode);
        return STATUS_INVALID_PARAMETER;
    }
    WriteStmDfuDefaults(caps);
    return STATUS_SUCCESS;
}
