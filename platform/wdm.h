// The I/O manager's objects: driver and device objects, IRPs with their stack locations and
// completion routines, memory descriptor lists, device properties and device interfaces.
#pragma once

#include "platform/ntstatus.h"
#include "platform/sync.h"

struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct IRP;
struct MDL;
struct FILE_OBJECT;

using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PIRP = IRP*;
using PMDL = MDL*;

enum : UCHAR {
    IRP_MJ_CREATE = 0x00,
    IRP_MJ_CLOSE = 0x02,
    IRP_MJ_DEVICE_CONTROL = 0x0E,
    IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F,
    IRP_MJ_CLEANUP = 0x12,
    IRP_MJ_POWER = 0x16,
    IRP_MJ_PNP = 0x1B,
    IRP_MJ_MAXIMUM_FUNCTION = 0x1B,
};
enum : UCHAR { IRP_MN_QUERY_INTERFACE = 0x08 };

using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT deviceObject, PIRP irp);
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

struct DRIVER_OBJECT {
    UNICODE_STRING DriverName;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    PVOID HostContext;  // the machine's own bookkeeping
};

struct DEVICE_OBJECT {
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT AttachedDevice;  // the device stacked on top of this one
    CHAR StackSize;                 // stack locations an IRP sent here needs
    ULONG Flags;
    PVOID DeviceExtension;
    PVOID HostContext;
};

struct MDL {
    PMDL Next;
    PVOID MappedSystemVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};
inline ULONG MmGetMdlByteCount(PMDL mdl) { return mdl->ByteCount; }
inline PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG /*priority*/) {
    return mdl->MappedSystemVa;
}
inline constexpr ULONG NormalPagePriority = 16;

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

// Interface returned by IRP_MN_QUERY_INTERFACE.
using PINTERFACE_REFERENCE = void (*)(PVOID context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID context);
struct INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
};
using PINTERFACE = INTERFACE*;

// SL_* control bits of a stack location.
enum : UCHAR {
    SL_PENDING_RETURNED = 0x01,
    SL_INVOKE_ON_CANCEL = 0x20,
    SL_INVOKE_ON_SUCCESS = 0x40,
    SL_INVOKE_ON_ERROR = 0x80,
};

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    // The argument positions overlap as they do on x64: the I/O-control code shares the slot
    // of Argument3, which is why internal USB requests never use Argument3.
    union {
        struct {
            alignas(8) ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    FILE_OBJECT* FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8);
static_assert(offsetof(decltype(IO_STACK_LOCATION::Parameters), DeviceIoControl.IoControlCode) ==
              offsetof(decltype(IO_STACK_LOCATION::Parameters), Others.Argument3));

struct IRP {
    PMDL MdlAddress;
    union {
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;  // StackCount + 1 when nothing was sent yet
    BOOLEAN Cancel;
    PVOID UserBuffer;
    PIO_STACK_LOCATION CurrentStackLocation;
    PVOID HostContext;  // the machine's own bookkeeping (event, status block, ownership)
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
    return irp->CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
    return irp->CurrentStackLocation - 1;
}
inline void IoSetNextIrpStackLocation(PIRP irp) {
    irp->CurrentLocation--;
    irp->CurrentStackLocation--;
}
inline void IoMarkIrpPending(PIRP irp) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}
inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError,
                                   BOOLEAN invokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (invokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (invokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (invokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

// IRPs. An IRP from IoAllocateIrp belongs to its sender, who frees it; one from
// IoBuildDeviceIoControlRequest belongs to the I/O manager, which frees it on completion after
// setting the status block and signalling the event.
PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(PIRP irp);
PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength,
                                   PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event,
                                   PIO_STATUS_BLOCK ioStatusBlock);
NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return IofCallDriver(deviceObject, irp);
}
BOOLEAN IoCancelIrp(PIRP irp);
void IoCompleteRequest(PIRP irp, CHAR priorityBoost);
inline constexpr CHAR IO_NO_INCREMENT = 0;

// Device properties of a physical device object.
enum DEVICE_REGISTRY_PROPERTY : ULONG {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
};
// STATUS_BUFFER_TOO_SMALL with *resultLength set when the buffer is too small.
NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT physicalDeviceObject,
                             DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                             PVOID propertyBuffer, PULONG resultLength);

inline constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT physicalDeviceObject, ULONG devInstKeyType,
                                 ACCESS_MASK desiredAccess, HANDLE* devInstRegKey);

// Device interfaces. The symbolic link's buffer is allocated for the caller, who frees it with
// RtlFreeUnicodeString.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject,
                                   const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString,
                                   PUNICODE_STRING symbolicLinkName);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable);
