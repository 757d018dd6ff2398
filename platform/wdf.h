// The driver framework's objects as the driver uses them: driver, device and device
// initialisation, queues, requests, file objects, memory, I/O targets, USB target device and
// interfaces. Names and semantics are the framework's; unused members are left out.
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

// ---- object attributes and typed contexts -------------------------------------------------

using PFN_WDF_OBJECT_CONTEXT_CLEANUP = void (*)(WDFOBJECT object);
using PFN_WDF_OBJECT_CONTEXT_DESTROY = void (*)(WDFOBJECT object);

struct WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    const char* ContextName;
    SIZE_T ContextSize;
};

struct WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    SIZE_T ContextSizeOverride;
    const WDF_OBJECT_CONTEXT_TYPE_INFO* ContextTypeInfo;
};
using PWDF_OBJECT_ATTRIBUTES = WDF_OBJECT_ATTRIBUTES*;

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES attributes) {
    *attributes = {};
    attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

// The context is allocated zero-filled with its object and lives as long as the object.
PVOID WdfObjectGetTypedContextWorker(WDFOBJECT handle,
                                     const WDF_OBJECT_CONTEXT_TYPE_INFO* typeInfo);

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(type, accessor)                                  \
    inline constexpr WDF_OBJECT_CONTEXT_TYPE_INFO WDF_##type##_TYPE_INFO = {               \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #type, sizeof(type)};                         \
    inline type* accessor(WDFOBJECT handle) {                                               \
        return static_cast<type*>(WdfObjectGetTypedContextWorker(handle,                    \
                                                                 &WDF_##type##_TYPE_INFO)); \
    }

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(attributes, type) \
    do {                                                          \
        WDF_OBJECT_ATTRIBUTES_INIT(attributes);                   \
        (attributes)->ContextTypeInfo = &WDF_##type##_TYPE_INFO;  \
    } while (0)

void WdfObjectDelete(WDFOBJECT object);

// ---- driver --------------------------------------------------------------------------------

using PFN_WDF_DRIVER_DEVICE_ADD = NTSTATUS (*)(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit);
using PFN_WDF_DRIVER_UNLOAD = void (*)(WDFDRIVER driver);

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

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath,
                         PWDF_OBJECT_ATTRIBUTES driverAttributes, PWDF_DRIVER_CONFIG config,
                         WDFDRIVER* driver);
WDFDRIVER WdfGetDriver();
PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER driver);

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

using PFN_WDF_DEVICE_D0_ENTRY = NTSTATUS (*)(WDFDEVICE device,
                                             WDF_POWER_DEVICE_STATE previousState);
using PFN_WDF_DEVICE_D0_EXIT = NTSTATUS (*)(WDFDEVICE device, WDF_POWER_DEVICE_STATE targetState);
using PFN_WDF_DEVICE_PREPARE_HARDWARE = NTSTATUS (*)(WDFDEVICE device, WDFCMRESLIST resourcesRaw,
                                                     WDFCMRESLIST resourcesTranslated);
using PFN_WDF_DEVICE_RELEASE_HARDWARE = NTSTATUS (*)(WDFDEVICE device,
                                                     WDFCMRESLIST resourcesTranslated);
using PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND = NTSTATUS (*)(WDFDEVICE device);
using PFN_WDF_DEVICE_SURPRISE_REMOVAL = void (*)(WDFDEVICE device);

struct WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
};
using PWDF_PNPPOWER_EVENT_CALLBACKS = WDF_PNPPOWER_EVENT_CALLBACKS*;

inline void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
    *callbacks = {};
    callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

using PFN_WDF_DEVICE_FILE_CREATE = void (*)(WDFDEVICE device, WDFREQUEST request,
                                            WDFFILEOBJECT fileObject);
using PFN_WDF_FILE_CLOSE = void (*)(WDFFILEOBJECT fileObject);
using PFN_WDF_FILE_CLEANUP = void (*)(WDFFILEOBJECT fileObject);

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
    *config = {};
    config->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    config->EvtDeviceFileCreate = create;
    config->EvtFileClose = close;
    config->EvtFileCleanup = cleanup;
    config->AutoForwardCleanupClose = WdfUseDefault;
    config->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
}

void WdfDeviceInitSetPowerPageable(PWDFDEVICE_INIT deviceInit);
PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT deviceInit);
void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT deviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS callbacks);
void WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT deviceInit,
                                      PWDF_FILEOBJECT_CONFIG fileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES fileObjectAttributes);

// ---- device --------------------------------------------------------------------------------

// On success *deviceInit is consumed (set to null) and the device exists.
NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* deviceInit, PWDF_OBJECT_ATTRIBUTES deviceAttributes,
                         WDFDEVICE* device);

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

void WdfDeviceSetPnpCapabilities(WDFDEVICE device, PWDF_DEVICE_PNP_CAPABILITIES caps);
PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE device);
PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE device);
PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE device);
// The device's default I/O target: the next-lower driver. Null when the device has none.
WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE device);

// ---- queues and requests -------------------------------------------------------------------

enum WDF_IO_QUEUE_DISPATCH_TYPE : LONG {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
};

using PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL = void (*)(WDFQUEUE queue, WDFREQUEST request,
                                                    SIZE_T outputBufferLength,
                                                    SIZE_T inputBufferLength,
                                                    ULONG ioControlCode);

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

NTSTATUS WdfIoQueueCreate(WDFDEVICE device, PWDF_IO_QUEUE_CONFIG config,
                          PWDF_OBJECT_ATTRIBUTES queueAttributes, WDFQUEUE* queue);
WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE queue);

// STATUS_BUFFER_TOO_SMALL when the buffer is shorter than the minimum.
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST request, SIZE_T minimumRequiredSize,
                                       PVOID* buffer, SIZE_T* length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST request, SIZE_T minimumRequiredSize,
                                        PVOID* buffer, SIZE_T* length);
void WdfRequestComplete(WDFREQUEST request, NTSTATUS status);
void WdfRequestCompleteWithInformation(WDFREQUEST request, NTSTATUS status,
                                       ULONG_PTR information);
NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST request, WDFQUEUE destinationQueue);
PIRP WdfRequestWdmGetIrp(WDFREQUEST request);
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST request);
WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT fileObject);

// ---- memory and I/O targets ----------------------------------------------------------------

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES attributes, POOL_TYPE poolType, ULONG poolTag,
                         SIZE_T bufferSize, WDFMEMORY* memory, PVOID* buffer);
PVOID WdfMemoryGetBuffer(WDFMEMORY memory, SIZE_T* bufferSize);

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
NTSTATUS WdfIoTargetSendInternalIoctlOthersSynchronously(
    WDFIOTARGET ioTarget, WDFREQUEST request, ULONG ioctlCode, PWDF_MEMORY_DESCRIPTOR otherArg1,
    PWDF_MEMORY_DESCRIPTOR otherArg2, PWDF_MEMORY_DESCRIPTOR otherArg4,
    PWDF_REQUEST_SEND_OPTIONS requestOptions, ULONG_PTR* bytesReturned);

// ---- USB target device and interfaces ------------------------------------------------------

NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes,
                                  WDFUSBDEVICE* usbDevice);
void WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE usbDevice,
                                           PUSB_DEVICE_DESCRIPTOR usbDeviceDescriptor);
// With no buffer, or one too small: STATUS_BUFFER_TOO_SMALL and the needed length.
NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE usbDevice,
                                                    PVOID configDescriptor,
                                                    USHORT* configDescriptorLength);
UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE usbDevice);
WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE usbDevice, UCHAR interfaceIndex);

enum WdfUsbTargetDeviceSelectConfigType : LONG {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
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
    params->Type = settingPairs == nullptr ? WdfUsbTargetDeviceSelectConfigTypeMultiInterface
                                           : WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs;
    params->Types.MultiInterface.NumberInterfaces = numberInterfaces;
    params->Types.MultiInterface.Pairs = settingPairs;
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE usbDevice,
                                        PWDF_OBJECT_ATTRIBUTES pipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params);

enum WdfUsbInterfaceSelectSettingType : LONG {
    WdfUsbInterfaceSelectSettingTypeDescriptor = 16,
    WdfUsbInterfaceSelectSettingTypeSetting = 17,
    WdfUsbInterfaceSelectSettingTypeUrb = 18,
};

struct WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
    ULONG Size;
    WdfUsbInterfaceSelectSettingType Type;
    union {
        struct {
            UCHAR SettingIndex;
        } Interface;
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
NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE usbInterface,
                                      PWDF_OBJECT_ATTRIBUTES pipesAttributes,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS params);
UCHAR WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE usbInterface);
UCHAR WdfUsbInterfaceGetNumEndpoints(WDFUSBINTERFACE usbInterface, UCHAR settingIndex);
UCHAR WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE usbInterface);
