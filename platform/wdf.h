// The driver framework's objects as the driver uses them: driver, device and device
// initialisation, queues, requests, file objects, memory, I/O targets, USB target device and
// interfaces.
//
// Everything here has the framework's own shape and, for the framework's version 1.15, its
// layout: every configuration structure with all its members in order, and its INIT function
// doing what the framework's does. A loaded Windows image fills these structures inline and the
// machine reads them, so the two must agree (the cross-compiled layout check holds them against
// the framework's headers).
//
// The framework's functions take the driver's globals first. Each one the driver calls is
// declared twice by WDF_FUNCTION: imp_<Name>, the machine's entry point, which is also what the
// framework's function table hands a loaded image; and <Name>, what the driver writes, which
// passes this driver's globals as the framework's headers do.
#pragma once

#include "platform/pool.h"
#include "platform/usb.h"
#include "platform/wdm.h"

using WDFOBJECT = void*;
struct WDFDRIVER__;
struct WDFDEVICE__;
struct WDFQUEUE__;
struct WDFREQUEST__;
struct WDFFILEOBJECT__;
struct WDFMEMORY__;
struct WDFIOTARGET__;
struct WDFUSBDEVICE__;
struct WDFUSBINTERFACE__;
struct WDFCMRESLIST__;
struct WDFDEVICE_INIT;
using WDFDRIVER = WDFDRIVER__*;
using WDFDEVICE = WDFDEVICE__*;
using WDFQUEUE = WDFQUEUE__*;
using WDFREQUEST = WDFREQUEST__*;
using WDFFILEOBJECT = WDFFILEOBJECT__*;
using WDFMEMORY = WDFMEMORY__*;
using WDFIOTARGET = WDFIOTARGET__*;
using WDFUSBDEVICE = WDFUSBDEVICE__*;
using WDFUSBINTERFACE = WDFUSBINTERFACE__*;
using WDFCMRESLIST = WDFCMRESLIST__*;
using PWDFDEVICE_INIT = WDFDEVICE_INIT*;

inline constexpr std::nullptr_t WDF_NO_HANDLE = nullptr;
inline constexpr std::nullptr_t WDF_NO_OBJECT_ATTRIBUTES = nullptr;
inline constexpr std::nullptr_t WDF_NO_SEND_OPTIONS = nullptr;

enum WDF_TRI_STATE : LONG { WdfFalse = 0, WdfTrue = 1, WdfUseDefault = 2 };

// ---- the driver's globals and the framework's function table -------------------------------

struct WDF_DRIVER_GLOBALS {
    WDFDRIVER Driver;  // set by WdfDriverCreate
    ULONG DriverFlags;
    ULONG DriverTag;
    CHAR DriverName[32];
    // TRUE: the entry stub puts its unload routine in front of the framework's.
    BOOLEAN DisplaceDriverUnload;
};
using PWDF_DRIVER_GLOBALS = WDF_DRIVER_GLOBALS*;
static_assert(sizeof(WDF_DRIVER_GLOBALS) == 56);

// This driver's globals. The framework's bind sets them before DriverEntry runs: the machine's
// for a driver compiled here, the image's entry stub through the framework loader for an image.
extern PWDF_DRIVER_GLOBALS WdfDriverGlobals;

// Entries of the framework's function table (its wdffuncenum.h) that the machine provides.
enum WDFFUNCENUM : ULONG {
    WdfDeviceWdmGetDeviceObjectTableIndex = 31,
    WdfDeviceWdmGetAttachedDeviceTableIndex = 32,
    WdfDeviceWdmGetPhysicalDeviceTableIndex = 33,
    WdfDeviceGetIoTargetTableIndex = 42,
    WdfDeviceInitSetPnpPowerEventCallbacksTableIndex = 55,
    WdfDeviceInitSetPowerPageableTableIndex = 64,
    WdfDeviceInitSetFileObjectConfigTableIndex = 71,
    WdfDeviceCreateTableIndex = 75,
    WdfDeviceSetPnpCapabilitiesTableIndex = 83,
    WdfDriverCreateTableIndex = 116,
    WdfDriverWdmGetDriverObjectTableIndex = 118,
    WdfFdoInitWdmGetPhysicalDeviceTableIndex = 124,
    WdfFileObjectGetDeviceTableIndex = 139,
    WdfIoQueueCreateTableIndex = 152,
    WdfIoQueueGetDeviceTableIndex = 157,
    WdfIoTargetSendInternalIoctlOthersSynchronouslyTableIndex = 190,
    WdfMemoryCreateTableIndex = 192,
    WdfMemoryGetBufferTableIndex = 194,
    WdfObjectGetTypedContextWorkerTableIndex = 202,
    WdfObjectDeleteTableIndex = 208,
    WdfRequestCompleteTableIndex = 263,
    WdfRequestCompleteWithInformationTableIndex = 265,
    WdfRequestRetrieveInputBufferTableIndex = 269,
    WdfRequestRetrieveOutputBufferTableIndex = 270,
    WdfRequestGetFileObjectTableIndex = 277,
    WdfRequestForwardToIoQueueTableIndex = 281,
    WdfRequestWdmGetIrpTableIndex = 285,
    WdfUsbTargetDeviceCreateTableIndex = 322,
    WdfUsbTargetDeviceGetDeviceDescriptorTableIndex = 324,
    WdfUsbTargetDeviceRetrieveConfigDescriptorTableIndex = 325,
    WdfUsbTargetDeviceGetNumInterfacesTableIndex = 329,
    WdfUsbTargetDeviceSelectConfigTableIndex = 330,
    WdfUsbInterfaceGetInterfaceNumberTableIndex = 357,
    WdfUsbInterfaceGetNumEndpointsTableIndex = 358,
    WdfUsbInterfaceSelectSettingTableIndex = 360,
    WdfUsbTargetDeviceGetInterfaceTableIndex = 362,
    WdfUsbInterfaceGetNumConfiguredPipesTableIndex = 364,
    WdfFunctionTableNumEntries = 444,
};
using WDFFUNC = void (*)();

#define OSTDFU_WDF_UNPAREN(...) __VA_ARGS__
#define WDF_FUNCTION(result, name, parameters, arguments)                                      \
    NTAPI result imp_##name(PWDF_DRIVER_GLOBALS driverGlobals, OSTDFU_WDF_UNPAREN parameters); \
    inline result name parameters {                                                            \
        return imp_##name(WdfDriverGlobals, OSTDFU_WDF_UNPAREN arguments);                     \
    }

// ---- object attributes and typed contexts -------------------------------------------------

enum WDF_EXECUTION_LEVEL : LONG {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
};

enum WDF_SYNCHRONIZATION_SCOPE : LONG {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
};

typedef void NTAPI EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef void NTAPI EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

struct WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCHAR ContextName;
    SIZE_T ContextSize;
    // The record that stands for the type: the record itself, unless the type is shared.
    const WDF_OBJECT_CONTEXT_TYPE_INFO* UniqueType;
    PVOID EvtDriverGetUniqueContextType;
};
using PCWDF_OBJECT_CONTEXT_TYPE_INFO = const WDF_OBJECT_CONTEXT_TYPE_INFO*;

struct WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    SIZE_T ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
};
using PWDF_OBJECT_ATTRIBUTES = WDF_OBJECT_ATTRIBUTES*;

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES attributes) {
    *attributes = {};
    attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

// The context is allocated zero-filled with its object and lives as long as the object.
WDF_FUNCTION(PVOID, WdfObjectGetTypedContextWorker,
             (WDFOBJECT handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo), (handle, typeInfo))

#define WDF_GET_CONTEXT_TYPE_INFO(type) (&_WDF_##type##_TYPE_INFO)

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(type, accessor)                                        \
    inline constexpr WDF_OBJECT_CONTEXT_TYPE_INFO _WDF_##type##_TYPE_INFO = {                     \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), const_cast<PCHAR>(#type), sizeof(type),             \
        &_WDF_##type##_TYPE_INFO, nullptr};                                                       \
    inline type* accessor(WDFOBJECT handle) {                                                     \
        return static_cast<type*>(                                                                \
            WdfObjectGetTypedContextWorker(handle, WDF_GET_CONTEXT_TYPE_INFO(type)->UniqueType)); \
    }

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(attributes, type)                    \
    do {                                                                             \
        WDF_OBJECT_ATTRIBUTES_INIT(attributes);                                      \
        (attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(type)->UniqueType; \
    } while (0)

WDF_FUNCTION(void, WdfObjectDelete, (WDFOBJECT object), (object))

// ---- driver --------------------------------------------------------------------------------

typedef NTSTATUS NTAPI EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef void NTAPI EVT_WDF_DRIVER_UNLOAD(WDFDRIVER driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

struct WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
};
using PWDF_DRIVER_CONFIG = WDF_DRIVER_CONFIG*;

inline void WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG config, PFN_WDF_DRIVER_DEVICE_ADD add) {
    *config = {};
    config->Size = sizeof(WDF_DRIVER_CONFIG);
    config->EvtDriverDeviceAdd = add;
}

// Creates the framework driver and sets the driver object's unload routine to the
// framework's, which deletes the framework driver.
WDF_FUNCTION(NTSTATUS, WdfDriverCreate,
             (PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath,
              PWDF_OBJECT_ATTRIBUTES driverAttributes, PWDF_DRIVER_CONFIG config,
              WDFDRIVER* driver),
             (driverObject, registryPath, driverAttributes, config, driver))
inline WDFDRIVER WdfGetDriver() {
    return WdfDriverGlobals->Driver;
}
WDF_FUNCTION(PDRIVER_OBJECT, WdfDriverWdmGetDriverObject, (WDFDRIVER driver), (driver))

// ---- device initialisation and PnP/power callbacks -----------------------------------------

enum WDF_POWER_DEVICE_STATE : LONG {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
};

typedef NTSTATUS NTAPI EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE device,
                                               WDF_POWER_DEVICE_STATE previousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE device, WDF_POWER_DEVICE_STATE targetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE device, WDFCMRESLIST resourcesRaw,
                                                       WDFCMRESLIST resourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE device,
                                                       WDFCMRESLIST resourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef NTSTATUS NTAPI EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef void NTAPI EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;

// The callbacks the driver does not register keep their slots, untyped.
struct WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PVOID EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PVOID EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PVOID EvtDeviceSelfManagedIoCleanup;
    PVOID EvtDeviceSelfManagedIoFlush;
    PVOID EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PVOID EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PVOID EvtDeviceQueryRemove;
    PVOID EvtDeviceQueryStop;
    PVOID EvtDeviceUsageNotification;
    PVOID EvtDeviceRelationsQuery;
    PVOID EvtDeviceUsageNotificationEx;
};
using PWDF_PNPPOWER_EVENT_CALLBACKS = WDF_PNPPOWER_EVENT_CALLBACKS*;

inline void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
    *callbacks = {};
    callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

typedef void NTAPI EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE device, WDFREQUEST request,
                                              WDFFILEOBJECT fileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef void NTAPI EVT_WDF_FILE_CLOSE(WDFFILEOBJECT fileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef void NTAPI EVT_WDF_FILE_CLEANUP(WDFFILEOBJECT fileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

enum WDF_FILEOBJECT_CLASS : LONG {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
};

struct WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
};
using PWDF_FILEOBJECT_CONFIG = WDF_FILEOBJECT_CONFIG*;

inline void WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG config,
                                       PFN_WDF_DEVICE_FILE_CREATE create, PFN_WDF_FILE_CLOSE close,
                                       PFN_WDF_FILE_CLEANUP cleanup) {
    config->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    config->EvtDeviceFileCreate = create;
    config->EvtFileClose = close;
    config->EvtFileCleanup = cleanup;
    config->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    config->AutoForwardCleanupClose = WdfUseDefault;
}

WDF_FUNCTION(void, WdfDeviceInitSetPowerPageable, (PWDFDEVICE_INIT deviceInit), (deviceInit))
WDF_FUNCTION(PDEVICE_OBJECT, WdfFdoInitWdmGetPhysicalDevice, (PWDFDEVICE_INIT deviceInit),
             (deviceInit))
WDF_FUNCTION(void, WdfDeviceInitSetPnpPowerEventCallbacks,
             (PWDFDEVICE_INIT deviceInit, PWDF_PNPPOWER_EVENT_CALLBACKS callbacks),
             (deviceInit, callbacks))
WDF_FUNCTION(void, WdfDeviceInitSetFileObjectConfig,
             (PWDFDEVICE_INIT deviceInit, PWDF_FILEOBJECT_CONFIG fileObjectConfig,
              PWDF_OBJECT_ATTRIBUTES fileObjectAttributes),
             (deviceInit, fileObjectConfig, fileObjectAttributes))

// ---- device --------------------------------------------------------------------------------

// On success *deviceInit is consumed (set to null) and the device exists.
WDF_FUNCTION(NTSTATUS, WdfDeviceCreate,
             (PWDFDEVICE_INIT * deviceInit, PWDF_OBJECT_ATTRIBUTES deviceAttributes,
              WDFDEVICE* device),
             (deviceInit, deviceAttributes, device))

struct WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
};
using PWDF_DEVICE_PNP_CAPABILITIES = WDF_DEVICE_PNP_CAPABILITIES*;

inline void WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES caps) {
    *caps = {};
    caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    caps->LockSupported = caps->EjectSupported = caps->Removable = caps->DockDevice = WdfUseDefault;
    caps->UniqueID = caps->SilentInstall = caps->SurpriseRemovalOK = WdfUseDefault;
    caps->HardwareDisabled = caps->NoDisplayInUI = WdfUseDefault;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;
}

WDF_FUNCTION(void, WdfDeviceSetPnpCapabilities,
             (WDFDEVICE device, PWDF_DEVICE_PNP_CAPABILITIES caps), (device, caps))
WDF_FUNCTION(PDEVICE_OBJECT, WdfDeviceWdmGetDeviceObject, (WDFDEVICE device), (device))
WDF_FUNCTION(PDEVICE_OBJECT, WdfDeviceWdmGetAttachedDevice, (WDFDEVICE device), (device))
WDF_FUNCTION(PDEVICE_OBJECT, WdfDeviceWdmGetPhysicalDevice, (WDFDEVICE device), (device))
// The device's default I/O target: the next-lower driver. Null when the device has none.
WDF_FUNCTION(WDFIOTARGET, WdfDeviceGetIoTarget, (WDFDEVICE device), (device))

// ---- queues and requests -------------------------------------------------------------------

enum WDF_IO_QUEUE_DISPATCH_TYPE : LONG {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
};

typedef void NTAPI EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE queue, WDFREQUEST request,
                                                      SIZE_T outputBufferLength,
                                                      SIZE_T inputBufferLength,
                                                      ULONG ioControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;

struct WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PVOID EvtIoDefault;  // the callbacks the driver does not register, as untyped slots
    PVOID EvtIoRead;
    PVOID EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PVOID EvtIoInternalDeviceControl;
    PVOID EvtIoStop;
    PVOID EvtIoResume;
    PVOID EvtIoCanceledOnQueue;
    union {
        struct {
            ULONG NumberOfPresentedRequests;  // 0 or -1: no limit
        } Parallel;
    } Settings;
    WDFDRIVER Driver;
};
using PWDF_IO_QUEUE_CONFIG = WDF_IO_QUEUE_CONFIG*;

inline void WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG config,
                                     WDF_IO_QUEUE_DISPATCH_TYPE dispatchType) {
    *config = {};
    config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    config->PowerManaged = WdfUseDefault;
    config->DispatchType = dispatchType;
    if (dispatchType == WdfIoQueueDispatchParallel) {
        config->Settings.Parallel.NumberOfPresentedRequests = 0xFFFFFFFF;
    }
}
inline void WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG config,
                                                   WDF_IO_QUEUE_DISPATCH_TYPE dispatchType) {
    WDF_IO_QUEUE_CONFIG_INIT(config, dispatchType);
    config->DefaultQueue = TRUE;
}

WDF_FUNCTION(NTSTATUS, WdfIoQueueCreate,
             (WDFDEVICE device, PWDF_IO_QUEUE_CONFIG config, PWDF_OBJECT_ATTRIBUTES queueAttributes,
              WDFQUEUE* queue),
             (device, config, queueAttributes, queue))
WDF_FUNCTION(WDFDEVICE, WdfIoQueueGetDevice, (WDFQUEUE queue), (queue))

// STATUS_BUFFER_TOO_SMALL when the buffer is shorter than the minimum.
WDF_FUNCTION(NTSTATUS, WdfRequestRetrieveInputBuffer,
             (WDFREQUEST request, SIZE_T minimumRequiredSize, PVOID* buffer, SIZE_T* length),
             (request, minimumRequiredSize, buffer, length))
WDF_FUNCTION(NTSTATUS, WdfRequestRetrieveOutputBuffer,
             (WDFREQUEST request, SIZE_T minimumRequiredSize, PVOID* buffer, SIZE_T* length),
             (request, minimumRequiredSize, buffer, length))
WDF_FUNCTION(void, WdfRequestComplete, (WDFREQUEST request, NTSTATUS status), (request, status))
WDF_FUNCTION(void, WdfRequestCompleteWithInformation,
             (WDFREQUEST request, NTSTATUS status, ULONG_PTR information),
             (request, status, information))
WDF_FUNCTION(NTSTATUS, WdfRequestForwardToIoQueue, (WDFREQUEST request, WDFQUEUE destinationQueue),
             (request, destinationQueue))
WDF_FUNCTION(PIRP, WdfRequestWdmGetIrp, (WDFREQUEST request), (request))
WDF_FUNCTION(WDFFILEOBJECT, WdfRequestGetFileObject, (WDFREQUEST request), (request))
WDF_FUNCTION(WDFDEVICE, WdfFileObjectGetDevice, (WDFFILEOBJECT fileObject), (fileObject))

// ---- memory and I/O targets ----------------------------------------------------------------

WDF_FUNCTION(NTSTATUS, WdfMemoryCreate,
             (PWDF_OBJECT_ATTRIBUTES attributes, POOL_TYPE poolType, ULONG poolTag,
              SIZE_T bufferSize, WDFMEMORY* memory, PVOID* buffer),
             (attributes, poolType, poolTag, bufferSize, memory, buffer))
WDF_FUNCTION(PVOID, WdfMemoryGetBuffer, (WDFMEMORY memory, SIZE_T* bufferSize),
             (memory, bufferSize))

enum WDF_MEMORY_DESCRIPTOR_TYPE : LONG {
    WdfMemoryDescriptorTypeInvalid = 0,
    WdfMemoryDescriptorTypeBuffer,
    WdfMemoryDescriptorTypeMdl,
    WdfMemoryDescriptorTypeHandle,
};

struct WDF_MEMORY_DESCRIPTOR {
    WDF_MEMORY_DESCRIPTOR_TYPE Type;
    union {
        struct {
            PVOID Buffer;
            ULONG Length;
        } BufferType;
        struct {
            PMDL Mdl;
            ULONG BufferLength;
        } MdlType;
        struct {
            WDFMEMORY Memory;
            PVOID Offsets;
        } HandleType;
    } u;
};
using PWDF_MEMORY_DESCRIPTOR = WDF_MEMORY_DESCRIPTOR*;

inline void WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR descriptor, PVOID buffer,
                                              ULONG length) {
    *descriptor = {};
    descriptor->Type = WdfMemoryDescriptorTypeBuffer;
    descriptor->u.BufferType.Buffer = buffer;
    descriptor->u.BufferType.Length = length;
}

enum : ULONG { WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001 };

struct WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;  // relative (negative) in 100 ns when the timeout flag is set
};
using PWDF_REQUEST_SEND_OPTIONS = WDF_REQUEST_SEND_OPTIONS*;

inline void WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS options, ULONG flags) {
    *options = {};
    options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    options->Flags = flags;
}
inline void WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS options,
                                                 LONGLONG timeout) {
    options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    options->Timeout = timeout;
}
inline LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONG64 milliseconds) {
    return -static_cast<LONGLONG>(milliseconds) * 10000;
}

// Sends an internal I/O control whose arguments are memory descriptors and waits for it.
// A send time-out cancels the request and gives STATUS_IO_TIMEOUT.
WDF_FUNCTION(NTSTATUS, WdfIoTargetSendInternalIoctlOthersSynchronously,
             (WDFIOTARGET ioTarget, WDFREQUEST request, ULONG ioctlCode,
              PWDF_MEMORY_DESCRIPTOR otherArg1, PWDF_MEMORY_DESCRIPTOR otherArg2,
              PWDF_MEMORY_DESCRIPTOR otherArg4, PWDF_REQUEST_SEND_OPTIONS requestOptions,
              ULONG_PTR* bytesReturned),
             (ioTarget, request, ioctlCode, otherArg1, otherArg2, otherArg4, requestOptions,
              bytesReturned))

// ---- USB target device and interfaces ------------------------------------------------------

WDF_FUNCTION(NTSTATUS, WdfUsbTargetDeviceCreate,
             (WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes, WDFUSBDEVICE* usbDevice),
             (device, attributes, usbDevice))
WDF_FUNCTION(void, WdfUsbTargetDeviceGetDeviceDescriptor,
             (WDFUSBDEVICE usbDevice, PUSB_DEVICE_DESCRIPTOR usbDeviceDescriptor),
             (usbDevice, usbDeviceDescriptor))
// With no buffer, or one too small: STATUS_BUFFER_TOO_SMALL and the needed length.
WDF_FUNCTION(NTSTATUS, WdfUsbTargetDeviceRetrieveConfigDescriptor,
             (WDFUSBDEVICE usbDevice, PVOID configDescriptor, USHORT* configDescriptorLength),
             (usbDevice, configDescriptor, configDescriptorLength))
WDF_FUNCTION(UCHAR, WdfUsbTargetDeviceGetNumInterfaces, (WDFUSBDEVICE usbDevice), (usbDevice))
WDF_FUNCTION(WDFUSBINTERFACE, WdfUsbTargetDeviceGetInterface,
             (WDFUSBDEVICE usbDevice, UCHAR interfaceIndex), (usbDevice, interfaceIndex))

enum WdfUsbTargetDeviceSelectConfigType : LONG {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
    WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
};

struct WDF_USB_INTERFACE_SETTING_PAIR {
    WDFUSBINTERFACE UsbInterface;
    UCHAR SettingIndex;
};
using PWDF_USB_INTERFACE_SETTING_PAIR = WDF_USB_INTERFACE_SETTING_PAIR*;

struct WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct {
            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
            PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors;
            ULONG NumInterfaceDescriptors;
        } Descriptor;
        struct {
            PURB Urb;
        } Urb;
        struct {
            UCHAR NumberConfiguredPipes;
            WDFUSBINTERFACE ConfiguredUsbInterface;
        } SingleInterface;
        struct {
            UCHAR NumberInterfaces;
            PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
            UCHAR NumberOfConfiguredInterfaces;
        } MultiInterface;
    } Types;
};
using PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS = WDF_USB_DEVICE_SELECT_CONFIG_PARAMS*;

inline void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params) {
    *params = {};
    params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}
inline void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params, UCHAR numberInterfaces,
    PWDF_USB_INTERFACE_SETTING_PAIR settingPairs) {
    *params = {};
    params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    if (settingPairs != nullptr && numberInterfaces != 0) {
        params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs;
        params->Types.MultiInterface.NumberInterfaces = numberInterfaces;
        params->Types.MultiInterface.Pairs = settingPairs;
    } else {
        params->Type = WdfUsbTargetDeviceSelectConfigTypeMultiInterface;
    }
}

WDF_FUNCTION(NTSTATUS, WdfUsbTargetDeviceSelectConfig,
             (WDFUSBDEVICE usbDevice, PWDF_OBJECT_ATTRIBUTES pipeAttributes,
              PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params),
             (usbDevice, pipeAttributes, params))

enum WdfUsbTargetDeviceSelectSettingType : LONG {
    WdfUsbInterfaceSelectSettingTypeDescriptor = 0x10,
    WdfUsbInterfaceSelectSettingTypeSetting = 0x11,
    WdfUsbInterfaceSelectSettingTypeUrb = 0x12,
};

struct WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectSettingType Type;
    union {
        struct {
            PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
        } Descriptor;
        struct {
            UCHAR SettingIndex;
        } Interface;
        struct {
            PURB Urb;
        } Urb;
    } Types;
};
using PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS = WDF_USB_INTERFACE_SELECT_SETTING_PARAMS*;

inline void WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(
    PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS params, UCHAR settingIndex) {
    *params = {};
    params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    params->Type = WdfUsbInterfaceSelectSettingTypeSetting;
    params->Types.Interface.SettingIndex = settingIndex;
}

// Sends SET_INTERFACE to the device; a setting the interface does not have, or a device that
// refuses, fails with the bus status.
WDF_FUNCTION(NTSTATUS, WdfUsbInterfaceSelectSetting,
             (WDFUSBINTERFACE usbInterface, PWDF_OBJECT_ATTRIBUTES pipesAttributes,
              PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS params),
             (usbInterface, pipesAttributes, params))
WDF_FUNCTION(UCHAR, WdfUsbInterfaceGetNumConfiguredPipes, (WDFUSBINTERFACE usbInterface),
             (usbInterface))
WDF_FUNCTION(UCHAR, WdfUsbInterfaceGetNumEndpoints,
             (WDFUSBINTERFACE usbInterface, UCHAR settingIndex), (usbInterface, settingIndex))
WDF_FUNCTION(UCHAR, WdfUsbInterfaceGetInterfaceNumber, (WDFUSBINTERFACE usbInterface),
             (usbInterface))

#undef WDF_FUNCTION
#undef OSTDFU_WDF_UNPAREN
