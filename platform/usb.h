// The USB host stack's published records: chapter-9 descriptors, URBs, USB statuses, internal
// I/O controls, the topology address and the USBDI bus interface.
#pragma once

#include "platform/wdm.h"

// ---- descriptors (little-endian wire layout) -----------------------------------------------

enum : UCHAR {
    USB_DEVICE_DESCRIPTOR_TYPE = 0x01,
    USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02,
    USB_STRING_DESCRIPTOR_TYPE = 0x03,
    USB_INTERFACE_DESCRIPTOR_TYPE = 0x04,
    USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05,
    USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE = 0x06,
};

#pragma pack(push, 1)
struct USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
};

struct USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
};

struct USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
};

struct USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};
#pragma pack(pop)

using PUSB_COMMON_DESCRIPTOR = USB_COMMON_DESCRIPTOR*;
using PUSB_DEVICE_DESCRIPTOR = USB_DEVICE_DESCRIPTOR*;
using PUSB_CONFIGURATION_DESCRIPTOR = USB_CONFIGURATION_DESCRIPTOR*;
using PUSB_INTERFACE_DESCRIPTOR = USB_INTERFACE_DESCRIPTOR*;

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdDevice) == 12);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber) == 16);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength) == 2);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, iInterface) == 8);

// ---- URBs ----------------------------------------------------------------------------------

using USBD_STATUS = LONG;
inline constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0;
inline constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<LONG>(0xC0000004u);
inline constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = static_cast<LONG>(0xC0000005u);
inline constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<LONG>(0xC0010000u);
inline constexpr USBD_STATUS USBD_STATUS_TIMEOUT = static_cast<LONG>(0xC0006000u);
inline constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = static_cast<LONG>(0xC0007000u);

enum : USHORT {
    URB_FUNCTION_SELECT_CONFIGURATION = 0x0000,
    URB_FUNCTION_SELECT_INTERFACE = 0x0001,
    URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B,
    URB_FUNCTION_GET_STATUS_FROM_DEVICE = 0x0013,
    URB_FUNCTION_VENDOR_DEVICE = 0x0017,
    URB_FUNCTION_VENDOR_INTERFACE = 0x0018,
    URB_FUNCTION_VENDOR_ENDPOINT = 0x0019,
    URB_FUNCTION_CLASS_DEVICE = 0x001A,
    URB_FUNCTION_CLASS_INTERFACE = 0x001B,
    URB_FUNCTION_CLASS_ENDPOINT = 0x001C,
    URB_FUNCTION_CLASS_OTHER = 0x001F,
    URB_FUNCTION_VENDOR_OTHER = 0x0020,
};

enum : ULONG {
    USBD_TRANSFER_DIRECTION_OUT = 0,
    USBD_TRANSFER_DIRECTION_IN = 1,
    USBD_SHORT_TRANSFER_OK = 2,
};

struct URB;

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

// Laid out like the vendor/class request in every field the control gate fills; the transfer
// flags sit in Reserved0.
struct _URB_CONTROL_GET_STATUS_REQUEST {
    _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;
    USHORT Reserved2;
};

struct URB {
    union {
        _URB_HEADER UrbHeader;
        _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
        _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
    };
};
using PURB = URB*;

static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) ==
              offsetof(_URB_CONTROL_GET_STATUS_REQUEST, Reserved0));
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) ==
              offsetof(_URB_CONTROL_GET_STATUS_REQUEST, TransferBufferLength));
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer) ==
              offsetof(_URB_CONTROL_GET_STATUS_REQUEST, TransferBuffer));
static_assert(offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) ==
              offsetof(_URB_CONTROL_GET_STATUS_REQUEST, Index));

// ---- internal I/O controls -----------------------------------------------------------------

inline constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x220003;
inline constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = 0x220007;
inline constexpr ULONG IOCTL_INTERNAL_USB_CYCLE_PORT = 0x22001F;
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS = 0x22043F;

struct USB_TOPOLOGY_ADDRESS {
    ULONG PciBusNumber;
    ULONG PciDeviceNumber;
    ULONG PciFunctionNumber;
    ULONG Reserved;
    USHORT RootHubPortNumber;
    USHORT HubPortNumber[5];
    USHORT Reserved2;
};
using PUSB_TOPOLOGY_ADDRESS = USB_TOPOLOGY_ADDRESS*;
static_assert(sizeof(USB_TOPOLOGY_ADDRESS) == 32);
static_assert(offsetof(USB_TOPOLOGY_ADDRESS, RootHubPortNumber) == 16);
static_assert(offsetof(USB_TOPOLOGY_ADDRESS, HubPortNumber) == 18);

// ---- the USBDI bus interface (version 1) ---------------------------------------------------

// {b1a96a13-3de0-4574-9b01-c08feab318d6}
inline constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6}};
inline constexpr USHORT USB_BUSIF_USBDI_VERSION_1 = 1;

typedef void NTAPI USB_BUSIFFN_GETUSBDI_VERSION(PVOID busContext, ULONG* usbdiVersion,
                                                ULONG* hcdCapabilities);
typedef USB_BUSIFFN_GETUSBDI_VERSION* PUSB_BUSIFFN_GETUSBDI_VERSION;
typedef NTSTATUS NTAPI USB_BUSIFFN_QUERY_BUS_TIME(PVOID busContext, ULONG* currentUsbFrame);
typedef USB_BUSIFFN_QUERY_BUS_TIME* PUSB_BUSIFFN_QUERY_BUS_TIME;
typedef NTSTATUS NTAPI USB_BUSIFFN_SUBMIT_ISO_OUT_URB(PVOID busContext, PURB urb);
typedef USB_BUSIFFN_SUBMIT_ISO_OUT_URB* PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB;
typedef NTSTATUS NTAPI USB_BUSIFFN_QUERY_BUS_INFORMATION(PVOID busContext, ULONG level,
                                                         PVOID busInformationBuffer,
                                                         ULONG* busInformationBufferLength,
                                                         ULONG* busInformationActualLength);
typedef USB_BUSIFFN_QUERY_BUS_INFORMATION* PUSB_BUSIFFN_QUERY_BUS_INFORMATION;
typedef BOOLEAN NTAPI USB_BUSIFFN_IS_DEVICE_HIGH_SPEED(PVOID busContext);
typedef USB_BUSIFFN_IS_DEVICE_HIGH_SPEED* PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED;

struct USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
};
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, InterfaceReference) ==
              offsetof(INTERFACE, InterfaceReference));
