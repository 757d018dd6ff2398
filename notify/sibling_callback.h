// The named callback object shared with sibling class drivers, and the request record they
// notify it with. Each registered device answers a sibling below the same hub with its
// manufacturer serial number.
#pragma once

#include "platform/callback.h"
#include "platform/usb.h"
#include "platform/wdf.h"
#include "updater_interface/device_caps.h"

inline constexpr WCHAR SIBLING_CALLBACK_OBJECT_NAME[] = WIDE("\\Callback\\VqStmDfu32ClassDrvNot");

inline constexpr ULONG64 SIBLING_COMMAND_SERIAL = 0x1001;
inline constexpr ULONG64 SIBLING_COMMAND_SERIAL_ALT = 0x1002;

// Argument2 of a notification. Only the named fields are read or written.
struct SiblingRequestRecord {
    UCHAR Reserved0[8];
    ULONG64 Command;
    ULONG64* SerialOut;
    USHORT SiblingVendorId;
    UCHAR Reserved26[6];
    USHORT SiblingProductId;
    UCHAR Reserved34[14];
    LONG64 Result;  // an NTSTATUS, sign-extended
    UCHAR Reserved56[24];
    USB_TOPOLOGY_ADDRESS SiblingTopology;
};
static_assert(offsetof(SiblingRequestRecord, Command) == 8);
static_assert(offsetof(SiblingRequestRecord, SerialOut) == 16);
static_assert(offsetof(SiblingRequestRecord, SiblingVendorId) == 24);
static_assert(offsetof(SiblingRequestRecord, SiblingProductId) == 32);
static_assert(offsetof(SiblingRequestRecord, Result) == 48);
static_assert(offsetof(SiblingRequestRecord, SiblingTopology) == 80);
static_assert(sizeof(SiblingRequestRecord) == 112);

// context: the framework device; argument2: the request record.
CALLBACK_FUNCTION StmDfu32ClassDriverCallbackRoutine;

// Lays down the capabilities record's defaults; only product code 24 gets all of them.
NTSTATUS nrxutils_GetDeviceCaps2(WDFDEVICE device, const USB_DEVICE_DESCRIPTOR* deviceDescriptor,
                                 PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT attachedDeviceObject,
                                 ULONG productCode, PCWSTR instanceString, DEVICE_CAPS2* caps);
