// Holds platform/'s published numbers against the DDK headers that mingw-w64 ships, an
// independent copy of the Windows kernel and USB headers: every record that crosses from the
// driver to the system (URBs, descriptors, the topology address, the bus interface, error-log
// packets, registry and version replies, stack-location arguments) and every code the driver
// sends or tests. Compile-only, for the Windows x64 ABI; a difference stops the compile and
// names what moved.
//
// platform/ is read first, inside a namespace, because the DDK defines most of its constants as
// macros: once the DDK is in, a name like IRP_MJ_CREATE is its value. Each constant is therefore
// copied under an "ours_" name before the DDK is included and compared by name afterwards.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <thread>
#include <type_traits>

namespace ours {
#include "platform/all.h"
}  // namespace ours

#define OSTDFU_DDK_CONSTANTS(X)                                                             \
    X(IRP_MJ_CREATE) X(IRP_MJ_CLOSE) X(IRP_MJ_DEVICE_CONTROL) X(IRP_MJ_INTERNAL_DEVICE_CONTROL) \
    X(IRP_MJ_CLEANUP) X(IRP_MJ_POWER) X(IRP_MJ_PNP) X(IRP_MJ_MAXIMUM_FUNCTION)              \
    X(IRP_MN_QUERY_INTERFACE)                                                               \
    X(SL_PENDING_RETURNED) X(SL_INVOKE_ON_CANCEL) X(SL_INVOKE_ON_SUCCESS) X(SL_INVOKE_ON_ERROR) \
    X(IO_NO_INCREMENT)                                                                      \
    X(IOCTL_INTERNAL_USB_SUBMIT_URB) X(IOCTL_INTERNAL_USB_RESET_PORT)                       \
    X(IOCTL_INTERNAL_USB_CYCLE_PORT) X(IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS)             \
    X(URB_FUNCTION_SELECT_CONFIGURATION) X(URB_FUNCTION_SELECT_INTERFACE)                   \
    X(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) X(URB_FUNCTION_GET_STATUS_FROM_DEVICE)       \
    X(URB_FUNCTION_VENDOR_DEVICE) X(URB_FUNCTION_VENDOR_INTERFACE)                          \
    X(URB_FUNCTION_VENDOR_ENDPOINT) X(URB_FUNCTION_VENDOR_OTHER)                            \
    X(URB_FUNCTION_CLASS_DEVICE) X(URB_FUNCTION_CLASS_INTERFACE)                            \
    X(URB_FUNCTION_CLASS_ENDPOINT) X(URB_FUNCTION_CLASS_OTHER)                              \
    X(USBD_TRANSFER_DIRECTION_OUT) X(USBD_TRANSFER_DIRECTION_IN) X(USBD_SHORT_TRANSFER_OK)  \
    X(USBD_STATUS_SUCCESS) X(USBD_STATUS_STALL_PID) X(USBD_STATUS_DEV_NOT_RESPONDING)       \
    X(USBD_STATUS_CANCELED) X(USBD_STATUS_TIMEOUT) X(USBD_STATUS_DEVICE_GONE)               \
    X(USB_DEVICE_DESCRIPTOR_TYPE) X(USB_CONFIGURATION_DESCRIPTOR_TYPE)                      \
    X(USB_STRING_DESCRIPTOR_TYPE) X(USB_INTERFACE_DESCRIPTOR_TYPE)                          \
    X(USB_ENDPOINT_DESCRIPTOR_TYPE) X(USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE)                 \
    X(USB_BUSIF_USBDI_VERSION_1)                                                            \
    X(ERROR_LOG_MAXIMUM_SIZE)                                                               \
    X(OBJ_CASE_INSENSITIVE) X(OBJ_PERMANENT) X(OBJ_KERNEL_HANDLE)                           \
    X(KEY_QUERY_VALUE) X(KEY_READ) X(KEY_ALL_ACCESS)                                        \
    X(REG_NONE) X(REG_SZ) X(REG_EXPAND_SZ) X(REG_BINARY) X(REG_DWORD) X(REG_MULTI_SZ)       \
    X(REG_QWORD)                                                                            \
    X(KeyValueBasicInformation) X(KeyValueFullInformation) X(KeyValuePartialInformation)    \
    X(NonPagedPool) X(PagedPool) X(NonPagedPoolNx)                                          \
    X(DevicePropertyDeviceDescription) X(DevicePropertyHardwareID) X(PLUGPLAY_REGKEY_DEVICE) \
    X(NormalPagePriority) X(KernelMode) X(UserMode) X(Executive)                            \
    X(NotificationEvent) X(SynchronizationEvent)                                          \
    X(MDL_MAPPED_TO_SYSTEM_VA) X(MDL_SOURCE_IS_NONPAGED_POOL)

#define OSTDFU_COPY_CONSTANT(name) constexpr auto ours_##name = ours::name;
OSTDFU_DDK_CONSTANTS(OSTDFU_COPY_CONSTANT)

// platform/ spells the calling convention for the machine; the DDK spells its own.
#undef NTAPI

// mingw-w64's wdm.h redefines two interlocked intrinsics that its intrin.h already provides
// when compiled as C++; these tell intrin.h to leave them to wdm.h.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <wdm.h>
#include <ntddk.h>
#include <ntstatus.h>
#include <usb.h>
#include <usbioctl.h>
// The bus interface's GUID is read as a constant, so it can be compared at compile time.
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    constexpr ours::GUID ddk_##name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};
#include <usbbusif.h>
#include <usbdlib.h>

static_assert(ours::IsEqualGUID(ours::USB_BUS_INTERFACE_USBDI_GUID, ddk_USB_BUS_INTERFACE_USBDI_GUID),
              "USB_BUS_INTERFACE_USBDI_GUID differs from the DDK");

#define OSTDFU_SAME_CONSTANT(name)                                                          \
    static_assert(static_cast<std::uint64_t>(ours_##name) == static_cast<std::uint64_t>(name), \
                  #name " differs from the DDK");
OSTDFU_DDK_CONSTANTS(OSTDFU_SAME_CONSTANT)

// The status list carries its values; each name now expands to the DDK's definition.
#define OSTDFU_SAME_STATUS(name, value)                                          \
    static_assert(static_cast<std::uint32_t>(name) == static_cast<std::uint32_t>(value##u), \
                  #name " differs from the DDK");
OSTDFU_NTSTATUS_LIST(OSTDFU_SAME_STATUS)

#include "tests/windows/cross/same_layout.h"

// ---- chapter-9 descriptors --------------------------------------------------------------------

#define OSTDFU_COMMON_DESCRIPTOR(X, T) X(T, bLength) X(T, bDescriptorType)
#define OSTDFU_DEVICE_DESCRIPTOR(X, T)                                                     \
    OSTDFU_COMMON_DESCRIPTOR(X, T) X(T, bcdUSB) X(T, bDeviceClass) X(T, bDeviceSubClass)   \
    X(T, bDeviceProtocol) X(T, bMaxPacketSize0) X(T, idVendor) X(T, idProduct)             \
    X(T, bcdDevice) X(T, iManufacturer) X(T, iProduct) X(T, iSerialNumber)                 \
    X(T, bNumConfigurations)
#define OSTDFU_CONFIGURATION_DESCRIPTOR(X, T)                                              \
    OSTDFU_COMMON_DESCRIPTOR(X, T) X(T, wTotalLength) X(T, bNumInterfaces)                 \
    X(T, bConfigurationValue) X(T, iConfiguration) X(T, bmAttributes) X(T, MaxPower)
#define OSTDFU_INTERFACE_DESCRIPTOR(X, T)                                                  \
    OSTDFU_COMMON_DESCRIPTOR(X, T) X(T, bInterfaceNumber) X(T, bAlternateSetting)          \
    X(T, bNumEndpoints) X(T, bInterfaceClass) X(T, bInterfaceSubClass)                     \
    X(T, bInterfaceProtocol) X(T, iInterface)
OSTDFU_SAME_RECORD(USB_COMMON_DESCRIPTOR, OSTDFU_COMMON_DESCRIPTOR)
OSTDFU_SAME_RECORD(USB_DEVICE_DESCRIPTOR, OSTDFU_DEVICE_DESCRIPTOR)
OSTDFU_SAME_RECORD(USB_CONFIGURATION_DESCRIPTOR, OSTDFU_CONFIGURATION_DESCRIPTOR)
OSTDFU_SAME_RECORD(USB_INTERFACE_DESCRIPTOR, OSTDFU_INTERFACE_DESCRIPTOR)

// ---- URBs ---------------------------------------------------------------------------------

#define OSTDFU_URB_HEADER(X, T) \
    X(T, Length) X(T, Function) X(T, Status) X(T, UsbdDeviceHandle) X(T, UsbdFlags)
// The fields every control URB the driver builds shares with the others.
#define OSTDFU_CONTROL_URB(X, T)                                                           \
    X(T, Hdr) X(T, Reserved) X(T, TransferBufferLength) X(T, TransferBuffer)               \
    X(T, TransferBufferMDL) X(T, UrbLink) X(T, hca)
#define OSTDFU_VENDOR_CLASS_URB(X, T)                                                      \
    OSTDFU_CONTROL_URB(X, T) X(T, TransferFlags) X(T, RequestTypeReservedBits)             \
    X(T, Request) X(T, Value) X(T, Index) X(T, Reserved1)
#define OSTDFU_DESCRIPTOR_URB(X, T)                                                        \
    OSTDFU_CONTROL_URB(X, T) X(T, Reserved0) X(T, Reserved1) X(T, Index)                   \
    X(T, DescriptorType) X(T, LanguageId) X(T, Reserved2)
#define OSTDFU_STATUS_URB(X, T) \
    OSTDFU_CONTROL_URB(X, T) X(T, Reserved0) X(T, Reserved1) X(T, Index) X(T, Reserved2)
OSTDFU_SAME_RECORD(_URB_HEADER, OSTDFU_URB_HEADER)
OSTDFU_SAME_SIZE(_URB_HCD_AREA)
OSTDFU_SAME_RECORD(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, OSTDFU_VENDOR_CLASS_URB)
OSTDFU_SAME_RECORD(_URB_CONTROL_DESCRIPTOR_REQUEST, OSTDFU_DESCRIPTOR_URB)
OSTDFU_SAME_RECORD(_URB_CONTROL_GET_STATUS_REQUEST, OSTDFU_STATUS_URB)

// Only the members the driver uses exist in platform/'s URB; it must never be larger.
static_assert(sizeof(ours::URB) <= sizeof(URB));

// ---- port, topology and bus interface -------------------------------------------------------

#define OSTDFU_TOPOLOGY_ADDRESS(X, T)                                                      \
    X(T, PciBusNumber) X(T, PciDeviceNumber) X(T, PciFunctionNumber) X(T, Reserved)        \
    X(T, RootHubPortNumber) X(T, HubPortNumber) X(T, Reserved2)
#define OSTDFU_INTERFACE(X, T) \
    X(T, Size) X(T, Version) X(T, InterfaceReference) X(T, InterfaceDereference)
#define OSTDFU_QUERY_INTERFACE(X, T) OSTDFU_INTERFACE(X, T) X(T, Context)
#define OSTDFU_BUS_INTERFACE(X, T)                                                         \
    OSTDFU_INTERFACE(X, T) X(T, BusContext) X(T, GetUSBDIVersion) X(T, QueryBusTime)       \
    X(T, SubmitIsoOutUrb) X(T, QueryBusInformation) X(T, IsDeviceHighSpeed)
OSTDFU_SAME_RECORD(USB_TOPOLOGY_ADDRESS, OSTDFU_TOPOLOGY_ADDRESS)
OSTDFU_SAME_RECORD(INTERFACE, OSTDFU_QUERY_INTERFACE)
OSTDFU_SAME_RECORD(USB_BUS_INTERFACE_USBDI_V1, OSTDFU_BUS_INTERFACE)

// ---- the error log ------------------------------------------------------------------------

#define OSTDFU_ERROR_LOG_PACKET(X, T)                                                      \
    X(T, MajorFunctionCode) X(T, RetryCount) X(T, DumpDataSize) X(T, NumberOfStrings)      \
    X(T, StringOffset) X(T, EventCategory) X(T, ErrorCode) X(T, UniqueErrorValue)          \
    X(T, FinalStatus) X(T, SequenceNumber) X(T, IoControlCode) X(T, DeviceOffset)          \
    X(T, DumpData)
OSTDFU_SAME_RECORD(IO_ERROR_LOG_PACKET, OSTDFU_ERROR_LOG_PACKET)

// ---- IRP stack locations: the arguments the bus driver reads ----------------------------------

#define OSTDFU_STACK_LOCATION(X, T)                                                        \
    X(T, MajorFunction) X(T, MinorFunction) X(T, Flags) X(T, Control) X(T, Parameters)     \
    X(T, Parameters.DeviceIoControl.OutputBufferLength)                                    \
    X(T, Parameters.DeviceIoControl.InputBufferLength)                                     \
    X(T, Parameters.DeviceIoControl.IoControlCode)                                         \
    X(T, Parameters.DeviceIoControl.Type3InputBuffer)                                      \
    X(T, Parameters.Others.Argument1) X(T, Parameters.Others.Argument2)                    \
    X(T, Parameters.Others.Argument3) X(T, Parameters.Others.Argument4)                    \
    X(T, Parameters.QueryInterface.InterfaceType) X(T, Parameters.QueryInterface.Size)     \
    X(T, Parameters.QueryInterface.Version) X(T, Parameters.QueryInterface.Interface)      \
    X(T, Parameters.QueryInterface.InterfaceSpecificData)                                  \
    X(T, DeviceObject) X(T, FileObject) X(T, CompletionRoutine) X(T, Context)
#define OSTDFU_STATUS_BLOCK(X, T) X(T, Status) X(T, Information)
OSTDFU_SAME_RECORD(IO_STACK_LOCATION, OSTDFU_STACK_LOCATION)
OSTDFU_SAME_RECORD(IO_STATUS_BLOCK, OSTDFU_STATUS_BLOCK)

// ---- the objects a driver image reads and writes inline ---------------------------------------
// An image compiled against the system's headers touches these members itself (the IRP's
// current stack location, a device's stack size, the driver's unload routine, an MDL's
// mapping), and its device context holds events, mutexes and spin locks by value: each must sit
// where the image looks for it, and each object must have the system's size.

#define OSTDFU_IRP(X, T)                                                                   \
    X(T, Type) X(T, Size) X(T, MdlAddress) X(T, Flags) X(T, AssociatedIrp)                 \
    X(T, AssociatedIrp.SystemBuffer) X(T, ThreadListEntry) X(T, IoStatus)                  \
    X(T, RequestorMode) X(T, PendingReturned) X(T, StackCount) X(T, CurrentLocation)       \
    X(T, Cancel) X(T, CancelIrql) X(T, ApcEnvironment) X(T, AllocationFlags)               \
    X(T, UserIosb) X(T, UserEvent) X(T, Overlay) X(T, CancelRoutine) X(T, UserBuffer)      \
    X(T, Tail) X(T, Tail.Overlay.DriverContext) X(T, Tail.Overlay.Thread)                  \
    X(T, Tail.Overlay.AuxiliaryBuffer) X(T, Tail.Overlay.ListEntry)                        \
    X(T, Tail.Overlay.CurrentStackLocation) X(T, Tail.Overlay.OriginalFileObject)
#define OSTDFU_DRIVER_OBJECT(X, T)                                                         \
    X(T, Type) X(T, Size) X(T, DeviceObject) X(T, Flags) X(T, DriverStart)                 \
    X(T, DriverSize) X(T, DriverSection) X(T, DriverExtension) X(T, DriverName)            \
    X(T, HardwareDatabase) X(T, FastIoDispatch) X(T, DriverInit) X(T, DriverStartIo)       \
    X(T, DriverUnload) X(T, MajorFunction)
#define OSTDFU_DEVICE_OBJECT(X, T)                                                         \
    X(T, Type) X(T, Size) X(T, ReferenceCount) X(T, DriverObject) X(T, NextDevice)         \
    X(T, AttachedDevice) X(T, CurrentIrp) X(T, Timer) X(T, Flags) X(T, Characteristics)    \
    X(T, Vpb) X(T, DeviceExtension) X(T, DeviceType) X(T, StackSize) X(T, DeviceLock)      \
    X(T, SectorSize) X(T, Spare1) X(T, DeviceObjectExtension) X(T, Reserved)
#define OSTDFU_MDL(X, T)                                                                   \
    X(T, Next) X(T, Size) X(T, MdlFlags) X(T, Process) X(T, MappedSystemVa) X(T, StartVa)  \
    X(T, ByteCount) X(T, ByteOffset)
#define OSTDFU_LIST_ENTRY(X, T) X(T, Flink) X(T, Blink)
#define OSTDFU_LOCK_QUEUE_HANDLE(X, T) X(T, LockQueue) X(T, LockQueue.Lock) X(T, OldIrql)
OSTDFU_SAME_RECORD(IRP, OSTDFU_IRP)
OSTDFU_SAME_RECORD(DRIVER_OBJECT, OSTDFU_DRIVER_OBJECT)
OSTDFU_SAME_RECORD(DEVICE_OBJECT, OSTDFU_DEVICE_OBJECT)
OSTDFU_SAME_RECORD(MDL, OSTDFU_MDL)
OSTDFU_SAME_RECORD(LIST_ENTRY, OSTDFU_LIST_ENTRY)
OSTDFU_SAME_RECORD(KLOCK_QUEUE_HANDLE, OSTDFU_LOCK_QUEUE_HANDLE)
OSTDFU_SAME_SIZE(KEVENT)
OSTDFU_SAME_SIZE(KMUTEX)
OSTDFU_SAME_SIZE(KSPIN_LOCK)
OSTDFU_SAME_SIZE(DISPATCHER_HEADER)
static_assert(offsetof(ours::DISPATCHER_HEADER, SignalState) == offsetof(DISPATCHER_HEADER, SignalState));
#define OSTDFU_SAME_ALIGNMENT(type) \
    static_assert(alignof(ours::type) == alignof(type), #type " is aligned otherwise than the DDK's");
OSTDFU_SAME_ALIGNMENT(KEVENT)
OSTDFU_SAME_ALIGNMENT(KMUTEX)
OSTDFU_SAME_ALIGNMENT(KSPIN_LOCK)
OSTDFU_SAME_ALIGNMENT(UNICODE_STRING)

// ---- registry, names and the version query ------------------------------------------------

#define OSTDFU_UNICODE_STRING(X, T) X(T, Length) X(T, MaximumLength) X(T, Buffer)
#define OSTDFU_OBJECT_ATTRIBUTES(X, T)                                                     \
    X(T, Length) X(T, RootDirectory) X(T, ObjectName) X(T, Attributes)                     \
    X(T, SecurityDescriptor) X(T, SecurityQualityOfService)
#define OSTDFU_PARTIAL_INFORMATION(X, T) X(T, TitleIndex) X(T, Type) X(T, DataLength) X(T, Data)
#define OSTDFU_VERSION_INFORMATION(X, T)                                                   \
    X(T, dwOSVersionInfoSize) X(T, dwMajorVersion) X(T, dwMinorVersion) X(T, dwBuildNumber) \
    X(T, dwPlatformId) X(T, szCSDVersion)
OSTDFU_SAME_RECORD(UNICODE_STRING, OSTDFU_UNICODE_STRING)
OSTDFU_SAME_RECORD(OBJECT_ATTRIBUTES, OSTDFU_OBJECT_ATTRIBUTES)
OSTDFU_SAME_SIZE(OBJECT_NAME_INFORMATION)
OSTDFU_SAME_RECORD(KEY_VALUE_PARTIAL_INFORMATION, OSTDFU_PARTIAL_INFORMATION)
OSTDFU_SAME_RECORD(RTL_OSVERSIONINFOW, OSTDFU_VERSION_INFORMATION)

OSTDFU_SAME_SIZE(GUID)
OSTDFU_SAME_SIZE(LARGE_INTEGER)
OSTDFU_SAME_SIZE(WCHAR)
OSTDFU_SAME_SIZE(LONG)
OSTDFU_SAME_SIZE(ULONG_PTR)
OSTDFU_SAME_SIZE(SIZE_T)
static_assert(std::is_same_v<ours::WCHAR, WCHAR> && std::is_same_v<ours::LONG, LONG> &&
              std::is_same_v<ours::ULONG, ULONG>, "platform/ spells the basic types differently");
