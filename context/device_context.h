// The per-device context: one instance per device, allocated zero-filled with the framework
// device and freed with it. Device add initialises it; the other callbacks fill it in.
#pragma once

#include "platform/callback.h"
#include "platform/wdf.h"
#include "updater_interface/device_caps.h"
#include "updater_interface/manufacturer_serial.h"

// Read through dfu/dfu_protocol.h by those who parse it; the context only holds the pointer.
struct DFU_FUNCTIONAL_DESCRIPTOR;

inline constexpr ULONG FDO_STRING_CHARS = 128;
inline constexpr ULONG APP_ID_RECORD_SIZE = 40;
inline constexpr ULONG OPTION_BYTES_SIZE = 16;

// Product-type code of an STM32 in DFU mode recognised by its hardware ID at add.
inline constexpr ULONG PRODUCT_TYPE_STM_DFU = 24;

struct ManufacturerSerialCacheRecord {
    BOOLEAN Valid;
    ManufacturerSerialBlock Block;
};

struct FDO_DATA {
    ULONG ProductType;
    DEVICE_CAPS2 DeviceCaps2;
    LONG DeviceCaps2Valid;  // interlocked
    ULONG IsStmDfuDevice;
    ULONG NumDfuBootIterBusyWaits;
    PWSTR InstanceString;
    SIZE_T InstanceStringSize;
    WCHAR ProductString[FDO_STRING_CHARS];
    WCHAR ManufacturerString[FDO_STRING_CHARS];
    WCHAR SerialNumberString[FDO_STRING_CHARS];
    WCHAR SegmentString1[FDO_STRING_CHARS];
    WCHAR SegmentString2[FDO_STRING_CHARS];
    WCHAR SegmentString3[FDO_STRING_CHARS];
    WCHAR SegmentString4[FDO_STRING_CHARS];
    UCHAR OptionBytes[OPTION_BYTES_SIZE];
    ULONG OptionBytesValid;
    ULONG AppIdRecordValid;
    UCHAR AppIdRecord[APP_ID_RECORD_SIZE];
    ULONG OptionByteProductCode;
    UCHAR GetCommandReply[4];
    BOOLEAN SupportsGet;
    BOOLEAN SupportsSetAddress;
    BOOLEAN SupportsErase;
    BOOLEAN SupportsReadUnprotect;
    ULONG ReadProtectState;
    ULONG ReadUnProtectIfReadProtected;
    ULONG TestReadProtectWithFlashAlso;
    ULONG STMBootloaderCommandNoPollWait;
    ULONG STMAreOptionByteWritesAllowed;  // also written by an I/O control: relaxed atomics
    ULONG mapFromOtpPID;
    ULONG mapToOtpPID;
    ULONG MapFromOtpVID;
    ULONG MapToOtpVID;
    LONG CompanionInterfaceWanted;
    LONG CompanionInterfaceEnabled;  // interlocked
    GUID CompanionInterfaceGuid;
    UNICODE_STRING CompanionInterfaceLink;
    LONG ProductInterfaceWanted;
    LONG ProductInterfaceEnabled;  // interlocked
    GUID ProductInterfaceGuid;
    UNICODE_STRING ProductInterfaceLink;
    GUID DriverInterfaceGuid;
    UNICODE_STRING DriverInterfaceLink;
    LONG DriverInterfaceEnabled;  // interlocked
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT DeviceObject;
    // What the updater is told identifies this device: numbered at add, so that no address
    // of kernel memory leaves the driver.
    ULONG DeviceInstanceNumber;
    PDEVICE_OBJECT AttachedDeviceObject;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    WDFUSBDEVICE UsbDevice;
    BOOLEAN HasDeviceQualifier;
    BOOLEAN IsHighSpeed;
    WDFUSBINTERFACE UsbInterface;
    UCHAR NumberConfiguredPipes;
    WDFIOTARGET DefaultIoTarget;
    UCHAR CurrentAlternateSetting;
    USHORT AppVid;
    USHORT AppPid;
    USHORT AppVariant;
    PUSB_INTERFACE_DESCRIPTOR DfuInterfaceDescriptor;
    DFU_FUNCTIONAL_DESCRIPTOR* DfuFunctionalDescriptor;
    WDFFILEOBJECT DfuSessionOwner;  // guarded by SessionLock
    PCALLBACK_OBJECT CallbackObject;
    PVOID CallbackRegistration;
    USB_TOPOLOGY_ADDRESS TopologyAddress;
    USB_BUS_INTERFACE_USBDI_V1 BusInterface;
    LONG BusInterfaceReferenced;  // interlocked
    KMUTEX SessionLock;
    KMUTEX DeviceMemoryLock;
    ULONG NumberOfInterfaces;
    LONG DeviceActive;  // interlocked
    ULONG64 DescriptorSerial;
    ULONG64 ManufacturerSerial;
    KSPIN_LOCK ManufacturerSerialCacheLock;
    ManufacturerSerialCacheRecord ManufacturerSerialCache;  // guarded by the spin lock
    WDFQUEUE SequentialQueue;
    WDFQUEUE DefaultQueue;
    LONG PrepareHardwareDone;  // interlocked
    PUNICODE_STRING RegistryPath;
    PUNICODE_STRING ParametersPath;
};
// The context is read from outside the driver (the machine's reports, through the context's
// type name), whether the driver was compiled here or is a loaded Windows image: both builds lay
// it out alike because every system type in it has the system's size, and this holds them to it.
static_assert(sizeof(FDO_DATA) == 6264);
using PFDO_DATA = FDO_DATA*;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FDO_DATA, FdoGetData)

// Per handle. A request of a handle may still run when its cleanup has been and gone; the
// mark lets such a request see that its handle can no longer own anything.
struct FILE_CONTEXT {
    BOOLEAN CleanedUp;  // guarded by the device's SessionLock
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILE_CONTEXT, FileGetData)

// Reads a cross-thread flag the way every reader does: a compare-exchange of 0 against 0.
inline LONG ReadInterlockedFlag(LONG* flag) { return InterlockedCompareExchange(flag, 0, 0); }
