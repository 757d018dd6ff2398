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

// The system's callbacks into a driver, declared by role: a driver declares each of its
// routines with its role's type (DRIVER_DISPATCH MyDispatch;), which gives it the system's
// calling convention.
typedef NTSTATUS NTAPI DRIVER_INITIALIZE(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef void NTAPI DRIVER_UNLOAD(PDRIVER_OBJECT driverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS NTAPI DRIVER_DISPATCH(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS NTAPI IO_COMPLETION_ROUTINE(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

// The I/O manager's objects have their Windows x64 layout: a loaded driver image reads and
// writes their members inline. Members the system keeps for itself and the machine does not
// use are reserved bytes of their size.
struct DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};
static_assert(sizeof(DRIVER_OBJECT) == 336 && offsetof(DRIVER_OBJECT, DriverName) == 56 &&
              offsetof(DRIVER_OBJECT, DriverUnload) == 104 &&
              offsetof(DRIVER_OBJECT, MajorFunction) == 112);

struct DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;  // the device stacked on top of this one
    PIRP CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CCHAR StackSize;       // stack locations an IRP sent here needs
    UCHAR Reserved1[203];  // device queue, DPC and the rest up to the lock
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
};
static_assert(sizeof(DEVICE_OBJECT) == 328 && offsetof(DEVICE_OBJECT, DeviceExtension) == 64 &&
              offsetof(DEVICE_OBJECT, StackSize) == 76 &&
              offsetof(DEVICE_OBJECT, DeviceLock) == 280);

inline constexpr CSHORT MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
inline constexpr CSHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;

struct MDL {
    PMDL Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};
static_assert(sizeof(MDL) == 48 && offsetof(MDL, MappedSystemVa) == 24 &&
              offsetof(MDL, ByteCount) == 40);
inline ULONG MmGetMdlByteCount(PMDL mdl) { return mdl->ByteCount; }
// The machine's descriptions are of memory that is always mapped, so this never has to map.
inline PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG /*priority*/) {
    return (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0
               ? mdl->MappedSystemVa
               : nullptr;
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
typedef void NTAPI INTERFACE_REFERENCE(PVOID context);
typedef INTERFACE_REFERENCE* PINTERFACE_REFERENCE;
typedef void NTAPI INTERFACE_DEREFERENCE(PVOID context);
typedef INTERFACE_DEREFERENCE* PINTERFACE_DEREFERENCE;
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
static_assert(sizeof(IO_STACK_LOCATION) == 72 && offsetof(IO_STACK_LOCATION, Parameters) == 8 &&
              offsetof(IO_STACK_LOCATION, CompletionRoutine) == 56);
static_assert(offsetof(decltype(IO_STACK_LOCATION::Parameters), DeviceIoControl.IoControlCode) ==
              offsetof(decltype(IO_STACK_LOCATION::Parameters), Others.Argument3));

// The stack locations follow the IRP in its block; CurrentStackLocation points into them.
struct IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;  // StackCount + 1 when nothing was sent yet
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    UCHAR Overlay[16];
    PVOID CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PVOID AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            FILE_OBJECT* OriginalFileObject;
        } Overlay;
        UCHAR Apc[88];
    } Tail;
};
static_assert(sizeof(IRP) == 208 && offsetof(IRP, IoStatus) == 48 &&
              offsetof(IRP, StackCount) == 66 && offsetof(IRP, UserBuffer) == 112 &&
              offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 184);

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) {
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline void IoSetNextIrpStackLocation(PIRP irp) {
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
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
NTAPI PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN chargeQuota);
NTAPI void IoFreeIrp(PIRP irp);
NTAPI PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                         PVOID inputBuffer, ULONG inputBufferLength,
                                         PVOID outputBuffer, ULONG outputBufferLength,
                                         BOOLEAN internalDeviceIoControl, PKEVENT event,
                                         PIO_STATUS_BLOCK ioStatusBlock);
NTAPI NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return IofCallDriver(deviceObject, irp);
}
NTAPI BOOLEAN IoCancelIrp(PIRP irp);
NTAPI void IoCompleteRequest(PIRP irp, CHAR priorityBoost);
inline constexpr CHAR IO_NO_INCREMENT = 0;

// Device properties of a physical device object.
enum DEVICE_REGISTRY_PROPERTY : ULONG {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
};
// STATUS_BUFFER_TOO_SMALL with *resultLength set when the buffer is too small.
NTAPI NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT physicalDeviceObject,
                                   DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                                   PVOID propertyBuffer, PULONG resultLength);

inline constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
NTAPI NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT physicalDeviceObject, ULONG devInstKeyType,
                                       ACCESS_MASK desiredAccess, HANDLE* devInstRegKey);

// Device interfaces. The symbolic link's buffer is allocated for the caller, who frees it with
// RtlFreeUnicodeString.
NTAPI NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject,
                                         const GUID* interfaceClassGuid,
                                         PUNICODE_STRING referenceString,
                                         PUNICODE_STRING symbolicLinkName);
NTAPI NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable);
