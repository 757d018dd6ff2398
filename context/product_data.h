// Identity values of the product family that are ours to choose. They are fictional and
// documented in docs/products.md; the product rows themselves live in driver/product_table.cpp.
#pragma once

#include "platform/types.h"

// The maker's two USB vendor IDs: A is the main one.
inline constexpr USHORT VENDOR_ID_A = 0x3A7C;
inline constexpr USHORT VENDOR_ID_B = 0x2E91;

// Pairing of a sibling driver's device with a bootloader that identifies under a shared
// application product ID.
inline constexpr USHORT MakerVendorId = VENDOR_ID_A;
inline constexpr USHORT SharedBootloaderAppPid = 0x501B;
inline constexpr USHORT PairedProductIdA = 0x5022;
inline constexpr USHORT PairedProductIdB = 0x5122;

// The product value that selects EEPROM entry format 1 (with a firmware version up to
// 0x030A). No product-type code takes it, so every listed product reads format 2.
inline constexpr ULONG EEPROM_FORMAT1_PRODUCT_VALUE = 0x5029;
inline constexpr ULONG EEPROM_FORMAT1_LAST_VERSION = 0x030A;

// Where the firmware version sits in the last 8 bytes of its block.
enum class VersionLayout : UCHAR {
    BigEndianLastWord = 1,    // b[n-2] * 256 + b[n-1]
    LittleEndianAt4 = 2,      // b[n-4] + 256 * b[n-3]
    LittleEndianAt8 = 3,      // b[n-8] + 256 * b[n-7], secondary b[n-4] + 256 * b[n-3]
};

VersionLayout VersionLayoutFor(USHORT vendorId, USHORT productId);
