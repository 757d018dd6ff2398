// The control interface shared by the driver and the updater: private I/O-control codes
// (device type 0x8088) and the request and reply records, little-endian, offsets asserted.
#pragma once

#include "updater_interface/public_types.h"

inline constexpr ULONG FILE_DEVICE_OSTDFU = 0x8088;

// Windows headers define these as macros; elsewhere they are declared here, with the same values.
#ifndef CTL_CODE
inline constexpr ULONG METHOD_BUFFERED = 0;
inline constexpr ULONG METHOD_IN_DIRECT = 1;
inline constexpr ULONG METHOD_OUT_DIRECT = 2;
inline constexpr ULONG FILE_ANY_ACCESS = 0;

constexpr ULONG CTL_CODE(ULONG deviceType, ULONG function, ULONG method, ULONG access) {
    return deviceType << 16 | access << 14 | function << 2 | method;
}
#endif

constexpr ULONG IoctlMethod(ULONG code) { return code & 3; }

// Name, function number, method; the order is the table's.
#define OSTDFU_IOCTL_LIST(X)                                               \
    X(IOCTL_DFU_GET_INTERFACE_VERSION, 0x801, METHOD_BUFFERED)             \
    X(IOCTL_DFU_CONTROL_REQUEST_OUT, 0x820, METHOD_IN_DIRECT)              \
    X(IOCTL_DFU_CONTROL_REQUEST_IN, 0x821, METHOD_OUT_DIRECT)              \
    X(IOCTL_DFU_GET_USB_DESCRIPTOR, 0x822, METHOD_BUFFERED)                \
    X(IOCTL_DFU_BEGIN_DFU, 0x823, METHOD_BUFFERED)                         \
    X(IOCTL_DFU_GET_DEVICE_HANDLE_INFO, 0x830, METHOD_BUFFERED)            \
    X(IOCTL_DFU_GET_IDENTITY, 0x831, METHOD_BUFFERED)                      \
    X(IOCTL_DFU_GET_INSTANCE_STRING_SIZE, 0x915, METHOD_BUFFERED)          \
    X(IOCTL_DFU_GET_INSTANCE_STRING, 0x916, METHOD_BUFFERED)               \
    X(IOCTL_DFU_GET_DEVICE_CAPS, 0x919, METHOD_BUFFERED)                   \
    X(IOCTL_DFU_GET_SEGMENT_STRINGS, 0x93C, METHOD_BUFFERED)               \
    X(IOCTL_DFU_READ_PARAMETER, 0x93D, METHOD_BUFFERED)                    \
    X(IOCTL_DFU_CYCLE_PORT, 0x93E, METHOD_BUFFERED)                        \
    X(IOCTL_DFU_RESET_PORT, 0x93F, METHOD_BUFFERED)                        \
    X(IOCTL_DFU_DETACH, 0x940, METHOD_BUFFERED)                            \
    X(IOCTL_DFU_LEAVE, 0x941, METHOD_BUFFERED)                             \
    X(IOCTL_DFU_ERASE_EEPROM_SECTION, 0x945, METHOD_BUFFERED)              \
    X(IOCTL_DFU_SET_IDLE, 0x946, METHOD_BUFFERED)                          \
    X(IOCTL_DFU_GET_BUSY_WAIT_LIMIT, 0x947, METHOD_BUFFERED)               \
    X(IOCTL_DFU_POLL_DEVICE, 0x948, METHOD_BUFFERED)                       \
    X(IOCTL_DFU_SET_FIRMWARE_VERSION, 0x94B, METHOD_BUFFERED)              \
    X(IOCTL_DFU_GET_READ_PROTECT_STATE, 0x94C, METHOD_BUFFERED)            \
    X(IOCTL_DFU_READ_UNPROTECT, 0x94D, METHOD_BUFFERED)                    \
    X(IOCTL_DFU_READ_OPTION_BYTES, 0x94E, METHOD_BUFFERED)                 \
    X(IOCTL_DFU_WRITE_OPTION_BYTES, 0x94F, METHOD_BUFFERED)                \
    X(IOCTL_DFU_GET_OPTION_BYTE_WRITES_ALLOWED, 0x950, METHOD_BUFFERED)    \
    X(IOCTL_DFU_SET_OPTION_BYTE_WRITES_ALLOWED, 0x951, METHOD_BUFFERED)    \
    X(IOCTL_DFU_GET_MANUFACTURER_SERIAL, 0x952, METHOD_BUFFERED)           \
    X(IOCTL_DFU_GET_APP_ID_RECORD, 0x953, METHOD_BUFFERED)                 \
    X(IOCTL_DFU_MASS_ERASE, 0x95A, METHOD_BUFFERED)                        \
    X(IOCTL_DFU_SEQUENTIAL_PING, 0xA02, METHOD_BUFFERED)

#define OSTDFU_DECLARE_IOCTL(name, function, method) \
    inline constexpr ULONG name = CTL_CODE(FILE_DEVICE_OSTDFU, function, method, FILE_ANY_ACCESS);
OSTDFU_IOCTL_LIST(OSTDFU_DECLARE_IOCTL)
#undef OSTDFU_DECLARE_IOCTL

static_assert(IOCTL_DFU_GET_INTERFACE_VERSION == 0x80882004);
static_assert(IOCTL_DFU_CONTROL_REQUEST_OUT == 0x80882081);
static_assert(IOCTL_DFU_CONTROL_REQUEST_IN == 0x80882086);
static_assert(IOCTL_DFU_GET_DEVICE_CAPS == 0x80882464);
static_assert(IOCTL_DFU_MASS_ERASE == 0x80882568);
static_assert(IOCTL_DFU_SEQUENTIAL_PING == 0x80882808);

struct IoctlName {
    ULONG code;
    const char* name;
};
inline constexpr IoctlName IOCTL_NAMES[] = {
#define OSTDFU_IOCTL_NAME(name, function, method) {name, #name},
    OSTDFU_IOCTL_LIST(OSTDFU_IOCTL_NAME)
#undef OSTDFU_IOCTL_NAME
};
static_assert(sizeof(IOCTL_NAMES) / sizeof(IOCTL_NAMES[0]) == 31);

// ---- reply and request records -------------------------------------------------------------

struct InterfaceVersionInfo {
    ULONG Major;
    ULONG Minor;
    ULONG CompatibleMajor;
    ULONG CompatibleMinor;
    ULONG64 Revision;
};
static_assert(sizeof(InterfaceVersionInfo) == 24);

struct DeviceHandleInfo {
    ULONG64 DeviceInstance;  // the same for the life of the device instance
    UCHAR InterfaceNumber;   // of the DFU interface
    UCHAR Reserved9[3];
    ULONG One;
};
static_assert(sizeof(DeviceHandleInfo) == 16);
static_assert(offsetof(DeviceHandleInfo, InterfaceNumber) == 8);
static_assert(offsetof(DeviceHandleInfo, One) == 12);

inline constexpr ULONG IDENTITY_STRING_CHARS = 128;
inline constexpr ULONG IDENTITY_FLAG_DEVICE_QUALIFIER = 0x01;
inline constexpr ULONG IDENTITY_FLAG_HIGH_SPEED = 0x02;
inline constexpr ULONG IDENTITY_FLAG_ALWAYS = 0x10;

struct DeviceIdentityInfo {
    ULONG AppVid;
    ULONG AppPid;
    ULONG AppVariant;
    WCHAR SerialNumberString[IDENTITY_STRING_CHARS];
    WCHAR ManufacturerString[IDENTITY_STRING_CHARS];
    WCHAR ProductString[IDENTITY_STRING_CHARS];
    ULONG Flags;
    ULONG One;
    UCHAR Reserved788[252];
};
static_assert(sizeof(DeviceIdentityInfo) == 1040);
static_assert(offsetof(DeviceIdentityInfo, SerialNumberString) == 12);
static_assert(offsetof(DeviceIdentityInfo, ManufacturerString) == 268);
static_assert(offsetof(DeviceIdentityInfo, ProductString) == 524);
static_assert(offsetof(DeviceIdentityInfo, Flags) == 780);
static_assert(offsetof(DeviceIdentityInfo, One) == 784);

inline constexpr ULONG PARAMETER_NAME_CHARS = 128;
inline constexpr ULONG PARAMETER_KIND_DWORD = 1;

struct ParameterQuery {
    WCHAR Name[PARAMETER_NAME_CHARS];
    ULONG Kind;
};
static_assert(sizeof(ParameterQuery) == 260);
static_assert(offsetof(ParameterQuery, Kind) == 256);

struct PollRequest {
    ULONG IterationCount;
    ULONG DelayMs;  // 2 when the request carries IterationCount alone
};
static_assert(sizeof(PollRequest) == 8);
inline constexpr ULONG POLL_DEFAULT_DELAY_MS = 2;
// Bounds of a poll request; beyond them it is refused. A poll holds its request, and an orderly
// removal waits for the requests in flight: the bounds keep that wait to about a minute.
inline constexpr ULONG POLL_MAX_ITERATIONS = 10000;
inline constexpr ULONG POLL_MAX_DELAY_MS = 1000;
inline constexpr ULONG POLL_MAX_TOTAL_DELAY_MS = 60000;

inline constexpr ULONG SEGMENT_STRING_SLOT_BYTES = 256;
inline constexpr ULONG SEGMENT_STRINGS_REPLY_BYTES = 4 * SEGMENT_STRING_SLOT_BYTES;

struct ControlRequestRecord {
    ULONG IsClassRequest;  // 0: vendor request
    ULONG Reserved;
    ULONG Recipient;       // 0 device, 1 interface, 2 endpoint, 3 other
    UCHAR Request;
    UCHAR Padding13[3];
    USHORT Value;
    USHORT Index;
    ULONG TimeoutMs;       // 0 or above 5000: 5000
};
static_assert(sizeof(ControlRequestRecord) == 24);
static_assert(offsetof(ControlRequestRecord, Recipient) == 8);
static_assert(offsetof(ControlRequestRecord, Request) == 12);
static_assert(offsetof(ControlRequestRecord, Value) == 16);
static_assert(offsetof(ControlRequestRecord, Index) == 18);
static_assert(offsetof(ControlRequestRecord, TimeoutMs) == 20);

enum : ULONG {
    DESCRIPTOR_SELECTOR_DFU_INTERFACE = 0,
    DESCRIPTOR_SELECTOR_DFU_FUNCTIONAL = 1,
    DESCRIPTOR_SELECTOR_CONFIGURATION = 100,
    DESCRIPTOR_SELECTOR_STRING = 110,
    DESCRIPTOR_SELECTOR_DEVICE = 120,
};

struct DescriptorRequestRecord {
    ULONG Selector;
    ULONG Reserved;
    UCHAR StringIndex;  // selector 110 only
    UCHAR Padding9[3];
};
static_assert(sizeof(DescriptorRequestRecord) == 12);
static_assert(offsetof(DescriptorRequestRecord, StringIndex) == 8);

// IOCTL_DFU_BEGIN_DFU: byte 0 of a 4-byte input is the alternate setting to select.
inline constexpr ULONG BEGIN_DFU_INPUT_BYTES = 4;
