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
    X(NotificationEvent) X(SynchronizationEvent)

#define OSTDFU_COPY_CONSTANT(name) constexpr auto ours_##name = ours::name;
OSTDFU_DDK_CONSTANTS(OSTDFU_COPY_CONSTANT)

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

#define OSTDFU_SAME_SIZE(ourType, ddkType) \
    static_assert(sizeof(ours::ourType) == sizeof(ddkType), #ourType " has another size than the DDK's");
#define OSTDFU_SAME_FIELD(ourType, ddkType, field)                                     \
    static_assert(offsetof(ours::ourType, field) == offsetof(ddkType, field) &&        \
                      sizeof(ours::ourType::field) == sizeof(ddkType::field),          \
                  #ourType "." #field " differs from the DDK");

// ---- chapter-9 descriptors --------------------------------------------------------------------

OSTDFU_SAME_SIZE(USB_COMMON_DESCRIPTOR, USB_COMMON_DESCRIPTOR)
OSTDFU_SAME_FIELD(USB_COMMON_DESCRIPTOR, USB_COMMON_DESCRIPTOR, bLength)
OSTDFU_SAME_FIELD(USB_COMMON_DESCRIPTOR, USB_COMMON_DESCRIPTOR, bDescriptorType)

#define OSTDFU_DEVICE_DESCRIPTOR_FIELDS(X)                                                  \
    X(bLength) X(bDescriptorType) X(bcdUSB) X(bDeviceClass) X(bDeviceSubClass)              \
    X(bDeviceProtocol) X(bMaxPacketSize0) X(idVendor) X(idProduct) X(bcdDevice)             \
    X(iManufacturer) X(iProduct) X(iSerialNumber) X(bNumConfigurations)
#define OSTDFU_DEVICE_DESCRIPTOR_FIELD(field) \
    OSTDFU_SAME_FIELD(USB_DEVICE_DESCRIPTOR, USB_DEVICE_DESCRIPTOR, field)
OSTDFU_SAME_SIZE(USB_DEVICE_DESCRIPTOR, USB_DEVICE_DESCRIPTOR)
OSTDFU_DEVICE_DESCRIPTOR_FIELDS(OSTDFU_DEVICE_DESCRIPTOR_FIELD)

#define OSTDFU_CONFIGURATION_DESCRIPTOR_FIELDS(X)                                           \
    X(bLength) X(bDescriptorType) X(wTotalLength) X(bNumInterfaces) X(bConfigurationValue)  \
    X(iConfiguration) X(bmAttributes) X(MaxPower)
#define OSTDFU_CONFIGURATION_DESCRIPTOR_FIELD(field) \
    OSTDFU_SAME_FIELD(USB_CONFIGURATION_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR, field)
OSTDFU_SAME_SIZE(USB_CONFIGURATION_DESCRIPTOR, USB_CONFIGURATION_DESCRIPTOR)
OSTDFU_CONFIGURATION_DESCRIPTOR_FIELDS(OSTDFU_CONFIGURATION_DESCRIPTOR_FIELD)

#define OSTDFU_INTERFACE_DESCRIPTOR_FIELDS(X)                                               \
    X(bLength) X(bDescriptorType) X(bInterfaceNumber) X(bAlternateSetting) X(bNumEndpoints) \
    X(bInterfaceClass) X(bInterfaceSubClass) X(bInterfaceProtocol) X(iInterface)
#define OSTDFU_INTERFACE_DESCRIPTOR_FIELD(field) \
    OSTDFU_SAME_FIELD(USB_INTERFACE_DESCRIPTOR, USB_INTERFACE_DESCRIPTOR, field)
OSTDFU_SAME_SIZE(USB_INTERFACE_DESCRIPTOR, USB_INTERFACE_DESCRIPTOR)
OSTDFU_INTERFACE_DESCRIPTOR_FIELDS(OSTDFU_INTERFACE_DESCRIPTOR_FIELD)

// ---- URBs ---------------------------------------------------------------------------------

OSTDFU_SAME_SIZE(_URB_HEADER, _URB_HEADER)
OSTDFU_SAME_FIELD(_URB_HEADER, _URB_HEADER, Length)
OSTDFU_SAME_FIELD(_URB_HEADER, _URB_HEADER, Function)
OSTDFU_SAME_FIELD(_URB_HEADER, _URB_HEADER, Status)
OSTDFU_SAME_FIELD(_URB_HEADER, _URB_HEADER, UsbdDeviceHandle)
OSTDFU_SAME_FIELD(_URB_HEADER, _URB_HEADER, UsbdFlags)
OSTDFU_SAME_SIZE(_URB_HCD_AREA, _URB_HCD_AREA)

// The fields every control URB the driver builds shares with the others.
#define OSTDFU_CONTROL_URB_FIELDS(X) \
    X(Hdr) X(Reserved) X(TransferBufferLength) X(TransferBuffer) X(TransferBufferMDL) X(UrbLink) X(hca)

#define OSTDFU_VENDOR_CLASS_FIELD(field)                                     \
    OSTDFU_SAME_FIELD(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST,                  \
                      _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, field)
OSTDFU_SAME_SIZE(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)
OSTDFU_CONTROL_URB_FIELDS(OSTDFU_VENDOR_CLASS_FIELD)
OSTDFU_VENDOR_CLASS_FIELD(TransferFlags)
OSTDFU_VENDOR_CLASS_FIELD(RequestTypeReservedBits)
OSTDFU_VENDOR_CLASS_FIELD(Request)
OSTDFU_VENDOR_CLASS_FIELD(Value)
OSTDFU_VENDOR_CLASS_FIELD(Index)
OSTDFU_VENDOR_CLASS_FIELD(Reserved1)

#define OSTDFU_DESCRIPTOR_URB_FIELD(field) \
    OSTDFU_SAME_FIELD(_URB_CONTROL_DESCRIPTOR_REQUEST, _URB_CONTROL_DESCRIPTOR_REQUEST, field)
OSTDFU_SAME_SIZE(_URB_CONTROL_DESCRIPTOR_REQUEST, _URB_CONTROL_DESCRIPTOR_REQUEST)
OSTDFU_CONTROL_URB_FIELDS(OSTDFU_DESCRIPTOR_URB_FIELD)
OSTDFU_DESCRIPTOR_URB_FIELD(Reserved0)
OSTDFU_DESCRIPTOR_URB_FIELD(Reserved1)
OSTDFU_DESCRIPTOR_URB_FIELD(Index)
OSTDFU_DESCRIPTOR_URB_FIELD(DescriptorType)
OSTDFU_DESCRIPTOR_URB_FIELD(LanguageId)
OSTDFU_DESCRIPTOR_URB_FIELD(Reserved2)

#define OSTDFU_STATUS_URB_FIELD(field) \
    OSTDFU_SAME_FIELD(_URB_CONTROL_GET_STATUS_REQUEST, _URB_CONTROL_GET_STATUS_REQUEST, field)
OSTDFU_SAME_SIZE(_URB_CONTROL_GET_STATUS_REQUEST, _URB_CONTROL_GET_STATUS_REQUEST)
OSTDFU_CONTROL_URB_FIELDS(OSTDFU_STATUS_URB_FIELD)
OSTDFU_STATUS_URB_FIELD(Reserved0)
OSTDFU_STATUS_URB_FIELD(Reserved1)
OSTDFU_STATUS_URB_FIELD(Index)
OSTDFU_STATUS_URB_FIELD(Reserved2)

// Only the members the driver uses exist in platform/'s URB; it must never be larger.
static_assert(sizeof(ours::URB) <= sizeof(URB));

// ---- port, topology and bus interface -------------------------------------------------------

#define OSTDFU_TOPOLOGY_FIELD(field) OSTDFU_SAME_FIELD(USB_TOPOLOGY_ADDRESS, USB_TOPOLOGY_ADDRESS, field)
OSTDFU_SAME_SIZE(USB_TOPOLOGY_ADDRESS, USB_TOPOLOGY_ADDRESS)
OSTDFU_TOPOLOGY_FIELD(PciBusNumber)
OSTDFU_TOPOLOGY_FIELD(PciDeviceNumber)
OSTDFU_TOPOLOGY_FIELD(PciFunctionNumber)
OSTDFU_TOPOLOGY_FIELD(Reserved)
OSTDFU_TOPOLOGY_FIELD(RootHubPortNumber)
OSTDFU_TOPOLOGY_FIELD(HubPortNumber)
OSTDFU_TOPOLOGY_FIELD(Reserved2)

#define OSTDFU_INTERFACE_FIELDS(X) \
    X(Size) X(Version) X(InterfaceReference) X(InterfaceDereference)
#define OSTDFU_INTERFACE_FIELD(field) OSTDFU_SAME_FIELD(INTERFACE, INTERFACE, field)
OSTDFU_SAME_SIZE(INTERFACE, INTERFACE)
OSTDFU_INTERFACE_FIELDS(OSTDFU_INTERFACE_FIELD)
OSTDFU_INTERFACE_FIELD(Context)

#define OSTDFU_BUS_INTERFACE_FIELD(field) \
    OSTDFU_SAME_FIELD(USB_BUS_INTERFACE_USBDI_V1, USB_BUS_INTERFACE_USBDI_V1, field)
OSTDFU_SAME_SIZE(USB_BUS_INTERFACE_USBDI_V1, USB_BUS_INTERFACE_USBDI_V1)
OSTDFU_INTERFACE_FIELDS(OSTDFU_BUS_INTERFACE_FIELD)
OSTDFU_BUS_INTERFACE_FIELD(BusContext)
OSTDFU_BUS_INTERFACE_FIELD(GetUSBDIVersion)
OSTDFU_BUS_INTERFACE_FIELD(QueryBusTime)
OSTDFU_BUS_INTERFACE_FIELD(SubmitIsoOutUrb)
OSTDFU_BUS_INTERFACE_FIELD(QueryBusInformation)
OSTDFU_BUS_INTERFACE_FIELD(IsDeviceHighSpeed)

// ---- the error log ------------------------------------------------------------------------

#define OSTDFU_ERROR_LOG_FIELDS(X)                                                          \
    X(MajorFunctionCode) X(RetryCount) X(DumpDataSize) X(NumberOfStrings) X(StringOffset)   \
    X(EventCategory) X(ErrorCode) X(UniqueErrorValue) X(FinalStatus) X(SequenceNumber)      \
    X(IoControlCode) X(DeviceOffset) X(DumpData)
#define OSTDFU_ERROR_LOG_FIELD(field) OSTDFU_SAME_FIELD(IO_ERROR_LOG_PACKET, IO_ERROR_LOG_PACKET, field)
OSTDFU_SAME_SIZE(IO_ERROR_LOG_PACKET, IO_ERROR_LOG_PACKET)
OSTDFU_ERROR_LOG_FIELDS(OSTDFU_ERROR_LOG_FIELD)

// ---- IRP stack locations: the arguments the bus driver reads ----------------------------------

#define OSTDFU_STACK_FIELDS(X)                                                              \
    X(MajorFunction) X(MinorFunction) X(Flags) X(Control) X(Parameters)                     \
    X(Parameters.DeviceIoControl.OutputBufferLength)                                        \
    X(Parameters.DeviceIoControl.InputBufferLength)                                         \
    X(Parameters.DeviceIoControl.IoControlCode)                                             \
    X(Parameters.DeviceIoControl.Type3InputBuffer)                                          \
    X(Parameters.Others.Argument1) X(Parameters.Others.Argument2)                           \
    X(Parameters.Others.Argument3) X(Parameters.Others.Argument4)                           \
    X(Parameters.QueryInterface.InterfaceType) X(Parameters.QueryInterface.Size)            \
    X(Parameters.QueryInterface.Version) X(Parameters.QueryInterface.Interface)             \
    X(Parameters.QueryInterface.InterfaceSpecificData)                                      \
    X(DeviceObject) X(FileObject) X(CompletionRoutine) X(Context)
#define OSTDFU_STACK_FIELD(field) OSTDFU_SAME_FIELD(IO_STACK_LOCATION, IO_STACK_LOCATION, field)
OSTDFU_STACK_FIELDS(OSTDFU_STACK_FIELD)

OSTDFU_SAME_SIZE(IO_STATUS_BLOCK, IO_STATUS_BLOCK)
OSTDFU_SAME_FIELD(IO_STATUS_BLOCK, IO_STATUS_BLOCK, Status)
OSTDFU_SAME_FIELD(IO_STATUS_BLOCK, IO_STATUS_BLOCK, Information)

// ---- registry, names and the version query ------------------------------------------------

OSTDFU_SAME_SIZE(UNICODE_STRING, UNICODE_STRING)
OSTDFU_SAME_FIELD(UNICODE_STRING, UNICODE_STRING, Length)
OSTDFU_SAME_FIELD(UNICODE_STRING, UNICODE_STRING, MaximumLength)
OSTDFU_SAME_FIELD(UNICODE_STRING, UNICODE_STRING, Buffer)

#define OSTDFU_ATTRIBUTES_FIELDS(X)                                                        \
    X(Length) X(RootDirectory) X(ObjectName) X(Attributes) X(SecurityDescriptor)           \
    X(SecurityQualityOfService)
#define OSTDFU_ATTRIBUTES_FIELD(field) OSTDFU_SAME_FIELD(OBJECT_ATTRIBUTES, OBJECT_ATTRIBUTES, field)
OSTDFU_SAME_SIZE(OBJECT_ATTRIBUTES, OBJECT_ATTRIBUTES)
OSTDFU_ATTRIBUTES_FIELDS(OSTDFU_ATTRIBUTES_FIELD)

OSTDFU_SAME_SIZE(OBJECT_NAME_INFORMATION, OBJECT_NAME_INFORMATION)

#define OSTDFU_PARTIAL_FIELD(field) \
    OSTDFU_SAME_FIELD(KEY_VALUE_PARTIAL_INFORMATION, KEY_VALUE_PARTIAL_INFORMATION, field)
OSTDFU_SAME_SIZE(KEY_VALUE_PARTIAL_INFORMATION, KEY_VALUE_PARTIAL_INFORMATION)
OSTDFU_PARTIAL_FIELD(TitleIndex)
OSTDFU_PARTIAL_FIELD(Type)
OSTDFU_PARTIAL_FIELD(DataLength)
OSTDFU_PARTIAL_FIELD(Data)

#define OSTDFU_VERSION_FIELDS(X)                                                            \
    X(dwOSVersionInfoSize) X(dwMajorVersion) X(dwMinorVersion) X(dwBuildNumber)             \
    X(dwPlatformId) X(szCSDVersion)
#define OSTDFU_VERSION_FIELD(field) OSTDFU_SAME_FIELD(RTL_OSVERSIONINFOW, RTL_OSVERSIONINFOW, field)
OSTDFU_SAME_SIZE(RTL_OSVERSIONINFOW, RTL_OSVERSIONINFOW)
OSTDFU_VERSION_FIELDS(OSTDFU_VERSION_FIELD)

OSTDFU_SAME_SIZE(GUID, GUID)
OSTDFU_SAME_SIZE(LARGE_INTEGER, LARGE_INTEGER)
OSTDFU_SAME_SIZE(WCHAR, WCHAR)
OSTDFU_SAME_SIZE(LONG, LONG)
OSTDFU_SAME_SIZE(ULONG_PTR, ULONG_PTR)
OSTDFU_SAME_SIZE(SIZE_T, SIZE_T)
static_assert(std::is_same_v<ours::WCHAR, WCHAR> && std::is_same_v<ours::LONG, LONG> &&
              std::is_same_v<ours::ULONG, ULONG>, "platform/ spells the basic types differently");
