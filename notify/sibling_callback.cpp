#include "notify/sibling_callback.h"

#include "context/device_context.h"
#include "context/product_data.h"
#include "platform/sync.h"
#include "platform/trace.h"
#include "usb/port_services.h"

namespace {

constexpr ULONG kPairedProductType = 34;
constexpr ULONG kPairedVersionAddress = 0x0801F800;

void Answer(SiblingRequestRecord* record, NTSTATUS status) {
    WriteNoFence(&record->Result, static_cast<LONG64>(status));
}

// The bootloader of the paired product identifies under a shared product ID; a sibling of
// that product below the same hub tells which product it really is.
void TakePairedIdentity(PFDO_DATA fdo) {
    DEVICE_CAPS2& caps = fdo->DeviceCaps2;
    WriteNoFence(&fdo->ProductType, kPairedProductType);
    WriteNoFence(&caps.CapsProductType, kPairedProductType);
    WriteNoFence(&caps.ProductKey, static_cast<ULONG>(PairedProductIdA));
    WriteNoFence(&fdo->AppVid, MakerVendorId);
    WriteNoFence(&fdo->AppPid, PairedProductIdA);
    WriteNoFence(&caps.Serial, ReadNoFence(&fdo->ManufacturerSerial));
    WriteNoFence(&caps.VersionLocationValid, static_cast<UCHAR>(1));
    WriteNoFence(&caps.VersionBlockOffset, static_cast<USHORT>(0));
    WriteNoFence(&caps.VersionAddress, kPairedVersionAddress);
}

}  // namespace

void StmDfu32ClassDriverCallbackRoutine(PVOID context, PVOID /*argument1*/, PVOID argument2) {
    auto* record = static_cast<SiblingRequestRecord*>(argument2);
    if (record == nullptr) {
        return;
    }
    auto device = static_cast<WDFDEVICE>(context);
    PFDO_DATA fdo = FdoGetData(device);
    if (ReadInterlockedFlag(&fdo->PrepareHardwareDone) == 0 ||
        ReadInterlockedFlag(&fdo->DeviceActive) == 0) {
        Answer(record, STATUS_INVALID_DEVICE_STATE);
        return;
    }
    // A sibling below another hub belongs to another product: leave its record to the device
    // that shares its hub.
    if (!DoPassedUsbTopologyAddressesReferToSameDevice(device, &fdo->TopologyAddress,
                                                       &record->SiblingTopology)) {
        return;
    }
    if (record->Command != SIBLING_COMMAND_SERIAL && record->Command != SIBLING_COMMAND_SERIAL_ALT) {
        Answer(record, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    if (ReadNoFence(&fdo->AppPid) == SharedBootloaderAppPid &&
        record->SiblingVendorId == MakerVendorId &&
        (record->SiblingProductId == PairedProductIdA ||
         record->SiblingProductId == PairedProductIdB)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_NOTIFY, "paired with product 0x%04x",
                    record->SiblingProductId);
        TakePairedIdentity(fdo);
    }
    if (record->SerialOut != nullptr) {
        *record->SerialOut = ReadNoFence(&fdo->ManufacturerSerial);
    }
    Answer(record, STATUS_SUCCESS);
}
