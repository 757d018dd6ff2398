// The 144-byte manufacturer-serial block the driver keeps for the updater.
#pragma once

#include "updater_interface/public_types.h"

inline constexpr ULONG MANUFACTURER_SERIAL_MARKER = 0x53454546;

struct ManufacturerSerialBlock {
    ULONG Marker;       // MANUFACTURER_SERIAL_MARKER
    ULONG FromRecord;   // 1: read together with the byte stored before the serial
    UCHAR RecordByte;   // that byte
    UCHAR Reserved9[3];
    ULONG Length;       // bytes of serial number
    ULONG64 Value;
    UCHAR Reserved24[120];
};
static_assert(sizeof(ManufacturerSerialBlock) == 144);
static_assert(offsetof(ManufacturerSerialBlock, FromRecord) == 4);
static_assert(offsetof(ManufacturerSerialBlock, RecordByte) == 8);
static_assert(offsetof(ManufacturerSerialBlock, Length) == 12);
static_assert(offsetof(ManufacturerSerialBlock, Value) == 16);
