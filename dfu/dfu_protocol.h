// USB DFU 1.1 as the ST bootloader speaks it: request codes, states, statuses, the GETSTATUS
// reply and the functional descriptor.
#pragma once

#include "platform/types.h"

enum : UCHAR {
    DFU_DETACH = 0,
    DFU_DNLOAD = 1,
    DFU_UPLOAD = 2,
    DFU_GETSTATUS = 3,
    DFU_CLRSTATUS = 4,
    DFU_GETSTATE = 5,
    DFU_ABORT = 6,
};

enum : UCHAR {
    appIDLE = 0,
    appDETACH = 1,
    dfuIDLE = 2,
    dfuDNLOAD_SYNC = 3,
    dfuDNBUSY = 4,
    dfuDNLOAD_IDLE = 5,
    dfuMANIFEST_SYNC = 6,
    dfuMANIFEST = 7,
    dfuMANIFEST_WAIT_RESET = 8,
    dfuUPLOAD_IDLE = 9,
    dfuERROR = 10,
};

enum : UCHAR {
    DFU_STATUS_OK = 0,
    DFU_STATUS_errTARGET = 1,
    DFU_STATUS_errFILE = 2,
    DFU_STATUS_errWRITE = 3,
    DFU_STATUS_errERASE = 4,
    DFU_STATUS_errCHECK_ERASED = 5,
    DFU_STATUS_errPROG = 6,
    DFU_STATUS_errVERIFY = 7,
    DFU_STATUS_errADDRESS = 8,
    DFU_STATUS_errNOTDONE = 9,
    DFU_STATUS_errFIRMWARE = 10,
    DFU_STATUS_errVENDOR = 11,
    DFU_STATUS_errUSBR = 12,
    DFU_STATUS_errPOR = 13,
    DFU_STATUS_errUNKNOWN = 14,
    DFU_STATUS_errSTALLEDPKT = 15,
};

inline constexpr ULONG DFU_STATUS_REPLY_LENGTH = 6;

// The 6 bytes of a GETSTATUS answer, decoded byte by byte (bwPollTimeout is 24-bit).
struct DfuStatusReply {
    UCHAR bytes[DFU_STATUS_REPLY_LENGTH];

    UCHAR bStatus() const { return bytes[0]; }
    ULONG bwPollTimeout() const {
        return static_cast<ULONG>(bytes[1]) | static_cast<ULONG>(bytes[2]) << 8 |
               static_cast<ULONG>(bytes[3]) << 16;
    }
    UCHAR bState() const { return bytes[4]; }
    void clear() { RtlZeroMemory(bytes, sizeof(bytes)); }
};

// DFU functional descriptor (type 0x21): bmAttributes at byte 2, wTransferSize at bytes 5..6.
// The type is the DFU class's, not the USB stack's.
inline constexpr UCHAR USB_DFU_FUNCTIONAL_DESCRIPTOR_TYPE = 0x21;
#pragma pack(push, 1)
struct DFU_FUNCTIONAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bmAttributes;
    USHORT wDetachTimeOut;
    USHORT wTransferSize;
    USHORT bcdDFUVersion;
};
#pragma pack(pop)
static_assert(sizeof(DFU_FUNCTIONAL_DESCRIPTOR) == 9);
static_assert(offsetof(DFU_FUNCTIONAL_DESCRIPTOR, bmAttributes) == 2);
static_assert(offsetof(DFU_FUNCTIONAL_DESCRIPTOR, wTransferSize) == 5);

enum : UCHAR {
    DFU_ATTRIBUTE_CAN_DNLOAD = 0x01,
    DFU_ATTRIBUTE_CAN_UPLOAD = 0x02,
    DFU_ATTRIBUTE_MANIFESTATION_TOLERANT = 0x04,
    DFU_ATTRIBUTE_WILL_DETACH = 0x08,
};

inline constexpr UCHAR DFU_INTERFACE_CLASS = 0xFE;
inline constexpr UCHAR DFU_INTERFACE_SUBCLASS = 0x01;
