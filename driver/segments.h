// Finding the DFU interface and its functional descriptor in the configuration, and the base
// address of each memory segment from the layout string of its alternate setting.
#pragma once

#include "platform/wdf.h"

// Matches every value of a criterion.
inline constexpr LONG ANY_DESCRIPTOR_VALUE = -1;

// The first interface descriptor at or after start (null: the configuration's start) whose
// number, alternate setting, class, subclass and protocol equal every non-negative criterion.
PUSB_INTERFACE_DESCRIPTOR FindInterfaceDescriptor(WDFDEVICE device, const void* start,
                                                  LONG interfaceNumber, LONG alternateSetting,
                                                  LONG interfaceClass, LONG interfaceSubClass,
                                                  LONG interfaceProtocol);
// The first descriptor of the type at or after start, anywhere in the configuration.
PUSB_COMMON_DESCRIPTOR FindDescriptor(WDFDEVICE device, const void* start, LONG descriptorType);

// Base address of memory segment 1..4 from its layout string ("@Name/0xADDR/..."); keeps a
// copy of the string in SegmentString<segment>. 0 when no address can be had.
ULONG GetSegmentBaseAddress(WDFDEVICE device, ULONG segment);
