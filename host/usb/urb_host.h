// URB forms the machine's own framework sends to the bus besides the ones the driver uses:
// a raw control transfer for the standard requests the framework issues itself
// (SET_CONFIGURATION, SET_INTERFACE). Laid out as the USB stack publishes them.
#pragma once

#include "platform/usb.h"

namespace host::usb {

inline constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER = 0x0008;

inline constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = static_cast<LONG>(0x80000200u);
inline constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<LONG>(0x80000300u);

struct _URB_CONTROL_TRANSFER {
    _URB_HEADER Hdr;
    PVOID PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    URB* UrbLink;
    _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};
static_assert(offsetof(_URB_CONTROL_TRANSFER, TransferBufferLength) ==
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength));
static_assert(offsetof(_URB_CONTROL_TRANSFER, TransferBuffer) ==
              offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer));

}  // namespace host::usb
