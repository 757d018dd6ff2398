// Holds platform/wdf.h against the framework's own headers (KMDF 1.15, as the image is built
// with them): every configuration structure a driver fills and the machine reads, with its size
// and each member's offset and size; the driver's globals and the context-type record; and the
// index of every framework function the machine provides in the table an image calls through.
// Compile-only, for the Windows x64 ABI; a difference stops the compile and names what moved.
//
// platform/ is read first, inside a namespace, so that its declarations and the framework's
// stand side by side.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>

namespace ours {
#include "platform/wdf.h"
}  // namespace ours

#undef NTAPI
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdf.h>
#include <wdfusb.h>

#include "tests/windows/cross/same_layout.h"

#define OSTDFU_DRIVER_GLOBALS(X, T) \
    X(T, Driver) X(T, DriverFlags) X(T, DriverTag) X(T, DriverName) X(T, DisplaceDriverUnload)
#define OSTDFU_CONTEXT_TYPE_INFO(X, T)                                              \
    X(T, Size) X(T, ContextName) X(T, ContextSize) X(T, UniqueType)                 \
    X(T, EvtDriverGetUniqueContextType)
#define OSTDFU_OBJECT_ATTRIBUTES(X, T)                                              \
    X(T, Size) X(T, EvtCleanupCallback) X(T, EvtDestroyCallback) X(T, ExecutionLevel) \
    X(T, SynchronizationScope) X(T, ParentObject) X(T, ContextSizeOverride)         \
    X(T, ContextTypeInfo)
#define OSTDFU_DRIVER_CONFIG(X, T)                                                  \
    X(T, Size) X(T, EvtDriverDeviceAdd) X(T, EvtDriverUnload) X(T, DriverInitFlags) \
    X(T, DriverPoolTag)
#define OSTDFU_PNPPOWER_CALLBACKS(X, T)                                             \
    X(T, Size) X(T, EvtDeviceD0Entry) X(T, EvtDeviceD0EntryPostInterruptsEnabled)   \
    X(T, EvtDeviceD0Exit) X(T, EvtDeviceD0ExitPreInterruptsDisabled)                \
    X(T, EvtDevicePrepareHardware) X(T, EvtDeviceReleaseHardware)                   \
    X(T, EvtDeviceSelfManagedIoCleanup) X(T, EvtDeviceSelfManagedIoFlush)           \
    X(T, EvtDeviceSelfManagedIoInit) X(T, EvtDeviceSelfManagedIoSuspend)            \
    X(T, EvtDeviceSelfManagedIoRestart) X(T, EvtDeviceSurpriseRemoval)              \
    X(T, EvtDeviceQueryRemove) X(T, EvtDeviceQueryStop) X(T, EvtDeviceUsageNotification) \
    X(T, EvtDeviceRelationsQuery) X(T, EvtDeviceUsageNotificationEx)
#define OSTDFU_FILEOBJECT_CONFIG(X, T)                                              \
    X(T, Size) X(T, EvtDeviceFileCreate) X(T, EvtFileClose) X(T, EvtFileCleanup)    \
    X(T, AutoForwardCleanupClose) X(T, FileObjectClass)
#define OSTDFU_PNP_CAPABILITIES(X, T)                                               \
    X(T, Size) X(T, LockSupported) X(T, EjectSupported) X(T, Removable)             \
    X(T, DockDevice) X(T, UniqueID) X(T, SilentInstall) X(T, SurpriseRemovalOK)     \
    X(T, HardwareDisabled) X(T, NoDisplayInUI) X(T, Address) X(T, UINumber)
#define OSTDFU_QUEUE_CONFIG(X, T)                                                   \
    X(T, Size) X(T, DispatchType) X(T, PowerManaged) X(T, AllowZeroLengthRequests)  \
    X(T, DefaultQueue) X(T, EvtIoDefault) X(T, EvtIoRead) X(T, EvtIoWrite)          \
    X(T, EvtIoDeviceControl) X(T, EvtIoInternalDeviceControl) X(T, EvtIoStop)       \
    X(T, EvtIoResume) X(T, EvtIoCanceledOnQueue)                                    \
    X(T, Settings.Parallel.NumberOfPresentedRequests) X(T, Driver)
#define OSTDFU_MEMORY_DESCRIPTOR(X, T)                                              \
    X(T, Type) X(T, u.BufferType.Buffer) X(T, u.BufferType.Length) X(T, u.MdlType.Mdl) \
    X(T, u.MdlType.BufferLength) X(T, u.HandleType.Memory) X(T, u.HandleType.Offsets)
#define OSTDFU_SEND_OPTIONS(X, T) X(T, Size) X(T, Flags) X(T, Timeout)
#define OSTDFU_SETTING_PAIR(X, T) X(T, UsbInterface) X(T, SettingIndex)
#define OSTDFU_SELECT_CONFIG(X, T)                                                  \
    X(T, Size) X(T, Type) X(T, Types.Descriptor.ConfigurationDescriptor)            \
    X(T, Types.Descriptor.InterfaceDescriptors) X(T, Types.Descriptor.NumInterfaceDescriptors) \
    X(T, Types.Urb.Urb) X(T, Types.SingleInterface.NumberConfiguredPipes)           \
    X(T, Types.SingleInterface.ConfiguredUsbInterface)                              \
    X(T, Types.MultiInterface.NumberInterfaces) X(T, Types.MultiInterface.Pairs)    \
    X(T, Types.MultiInterface.NumberOfConfiguredInterfaces)
#define OSTDFU_SELECT_SETTING(X, T)                                                 \
    X(T, Size) X(T, Type) X(T, Types.Descriptor.InterfaceDescriptor)                \
    X(T, Types.Interface.SettingIndex) X(T, Types.Urb.Urb)

OSTDFU_SAME_RECORD(WDF_DRIVER_GLOBALS, OSTDFU_DRIVER_GLOBALS)
OSTDFU_SAME_RECORD(WDF_OBJECT_CONTEXT_TYPE_INFO, OSTDFU_CONTEXT_TYPE_INFO)
OSTDFU_SAME_RECORD(WDF_OBJECT_ATTRIBUTES, OSTDFU_OBJECT_ATTRIBUTES)
OSTDFU_SAME_RECORD(WDF_DRIVER_CONFIG, OSTDFU_DRIVER_CONFIG)
OSTDFU_SAME_RECORD(WDF_PNPPOWER_EVENT_CALLBACKS, OSTDFU_PNPPOWER_CALLBACKS)
OSTDFU_SAME_RECORD(WDF_FILEOBJECT_CONFIG, OSTDFU_FILEOBJECT_CONFIG)
OSTDFU_SAME_RECORD(WDF_DEVICE_PNP_CAPABILITIES, OSTDFU_PNP_CAPABILITIES)
OSTDFU_SAME_RECORD(WDF_IO_QUEUE_CONFIG, OSTDFU_QUEUE_CONFIG)
OSTDFU_SAME_RECORD(WDF_MEMORY_DESCRIPTOR, OSTDFU_MEMORY_DESCRIPTOR)
OSTDFU_SAME_RECORD(WDF_REQUEST_SEND_OPTIONS, OSTDFU_SEND_OPTIONS)
OSTDFU_SAME_RECORD(WDF_USB_INTERFACE_SETTING_PAIR, OSTDFU_SETTING_PAIR)
OSTDFU_SAME_RECORD(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, OSTDFU_SELECT_CONFIG)
OSTDFU_SAME_RECORD(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS, OSTDFU_SELECT_SETTING)

// Enumerations whose values cross: the driver stores them in the structures above.
#define OSTDFU_SAME_VALUE(name)                                                                 \
    static_assert(static_cast<long long>(ours::name) == static_cast<long long>(name),           \
                  #name " differs from the framework's");
#define OSTDFU_FRAMEWORK_VALUES(X)                                                              \
    X(WdfFalse) X(WdfTrue) X(WdfUseDefault)                                                     \
    X(WdfExecutionLevelInheritFromParent) X(WdfExecutionLevelPassive)                           \
    X(WdfSynchronizationScopeInheritFromParent) X(WdfSynchronizationScopeNone)                  \
    X(WdfPowerDeviceD0) X(WdfPowerDeviceD3) X(WdfPowerDeviceD3Final)                            \
    X(WdfFileObjectWdfCannotUseFsContexts) X(WdfIoQueueDispatchSequential)                      \
    X(WdfIoQueueDispatchParallel) X(WdfIoQueueDispatchManual)                                   \
    X(WdfMemoryDescriptorTypeBuffer) X(WDF_REQUEST_SEND_OPTION_TIMEOUT)                         \
    X(WdfUsbTargetDeviceSelectConfigTypeSingleInterface)                                        \
    X(WdfUsbTargetDeviceSelectConfigTypeMultiInterface)                                         \
    X(WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs)                                        \
    X(WdfUsbInterfaceSelectSettingTypeSetting) X(WdfFunctionTableNumEntries)                    \
    X(WdfDeviceWdmGetDeviceObjectTableIndex) X(WdfDeviceWdmGetAttachedDeviceTableIndex)         \
    X(WdfDeviceWdmGetPhysicalDeviceTableIndex) X(WdfDeviceGetIoTargetTableIndex)                \
    X(WdfDeviceInitSetPnpPowerEventCallbacksTableIndex) X(WdfDeviceInitSetPowerPageableTableIndex) \
    X(WdfDeviceInitSetFileObjectConfigTableIndex) X(WdfDeviceCreateTableIndex)                  \
    X(WdfDeviceSetPnpCapabilitiesTableIndex) X(WdfDriverCreateTableIndex)                       \
    X(WdfDriverWdmGetDriverObjectTableIndex) X(WdfFdoInitWdmGetPhysicalDeviceTableIndex)        \
    X(WdfFileObjectGetDeviceTableIndex) X(WdfIoQueueCreateTableIndex)                           \
    X(WdfIoQueueGetDeviceTableIndex) X(WdfIoTargetSendInternalIoctlOthersSynchronouslyTableIndex) \
    X(WdfMemoryCreateTableIndex) X(WdfMemoryGetBufferTableIndex)                                \
    X(WdfObjectGetTypedContextWorkerTableIndex) X(WdfObjectDeleteTableIndex)                    \
    X(WdfRequestCompleteTableIndex) X(WdfRequestCompleteWithInformationTableIndex)              \
    X(WdfRequestRetrieveInputBufferTableIndex) X(WdfRequestRetrieveOutputBufferTableIndex)      \
    X(WdfRequestGetFileObjectTableIndex) X(WdfRequestForwardToIoQueueTableIndex)                \
    X(WdfRequestWdmGetIrpTableIndex) X(WdfUsbTargetDeviceCreateTableIndex)                      \
    X(WdfUsbTargetDeviceGetDeviceDescriptorTableIndex)                                          \
    X(WdfUsbTargetDeviceRetrieveConfigDescriptorTableIndex)                                     \
    X(WdfUsbTargetDeviceGetNumInterfacesTableIndex) X(WdfUsbTargetDeviceSelectConfigTableIndex) \
    X(WdfUsbInterfaceGetInterfaceNumberTableIndex) X(WdfUsbInterfaceGetNumEndpointsTableIndex)  \
    X(WdfUsbInterfaceSelectSettingTableIndex) X(WdfUsbTargetDeviceGetInterfaceTableIndex)       \
    X(WdfUsbInterfaceGetNumConfiguredPipesTableIndex)
OSTDFU_FRAMEWORK_VALUES(OSTDFU_SAME_VALUE)
