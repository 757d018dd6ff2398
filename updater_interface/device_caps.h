// The device-capabilities record: how the driver describes a device to the updater. It
// reaches user mode byte for byte, so its layout is fixed here once, little-endian, with every
// offset asserted. Fields without a name of their own carry values for the updater that the
// driver never reads; they are named after their width and decimal offset.
#pragma once

#include "updater_interface/public_types.h"

inline constexpr ULONG DEVICE_CAPS2_SIZE = 3592;
inline constexpr ULONG DEVICE_CAPS2_VERSION = 2;
inline constexpr ULONG DEVICE_CAPS2_INSTANCE_NAME_CHARS = 127;
inline constexpr ULONG DEVICE_CAPS2_PRODUCT_ID_TEXT_CHARS = 64;

struct DEVICE_CAPS2 {
    ULONG CapsVersion;                                        // 0
    ULONG CapsProductType;                                    // 4
    WCHAR InstanceName[DEVICE_CAPS2_INSTANCE_NAME_CHARS];     // 8
    UCHAR Reserved0262[1446];
    GUID ReportedInterfaceGuid;                               // 1708
    UCHAR Reserved1724[48];
    UCHAR Byte1772;
    UCHAR Byte1773;
    UCHAR Byte1774;
    UCHAR Byte1775;
    USHORT Word1776;
    UCHAR Byte1778;
    UCHAR Reserved1779;
    ULONG ProductKey;                                         // 1780
    USHORT Word1784;
    WCHAR ProductIdText[DEVICE_CAPS2_PRODUCT_ID_TEXT_CHARS];  // 1786
    UCHAR Reserved1914[1174];
    UCHAR EepromPresent;                                      // 3088
    UCHAR Reserved3089[3];
    ULONG SerialFirstKey;                                     // 3092
    ULONG SerialLength;                                       // 3096
    UCHAR Reserved3100;
    UCHAR ErasedByteValue;                                    // 3101
    UCHAR Reserved3102[10];
    ULONG Dword3112;
    ULONG Dword3116;
    ULONG EepromSectionSize;                                  // 3120
    UCHAR Reserved3124[2];
    UCHAR Byte3126;
    UCHAR Reserved3127[25];
    ULONG FirmwareVersion;                                    // 3152
    USHORT bcdUSB;                                            // 3156
    USHORT idVendor;                                          // 3158
    USHORT idProduct;                                         // 3160
    USHORT bcdDevice;                                         // 3162
    UCHAR Reserved3164[4];
    USHORT Word3168;
    UCHAR Reserved3170[13];
    UCHAR Byte3183;
    UCHAR Reserved3184;
    UCHAR ReadAppIdFromMemory;                                // 3185
    UCHAR Reserved3186[14];
    ULONG64 Qword3200;
    UCHAR Reserved3208[4];
    ULONG Dword3212;
    UCHAR Reserved3216[4];
    UCHAR Segment1AltSetting;                                 // 3220
    UCHAR Segment2AltSetting;
    UCHAR Segment3AltSetting;
    UCHAR Segment4AltSetting;
    UCHAR Reserved3224[7];
    UCHAR Byte3231;
    UCHAR Reserved3232[4];
    ULONG VersionWordCount;                                   // 3236
    ULONG VersionLow;                                         // 3240
    ULONG VersionHigh;                                        // 3244
    UCHAR Reserved3248[24];
    ULONG Segment1Base;                                       // 3272
    ULONG Segment2Base;                                       // 3276
    ULONG64 Serial;                                           // 3280
    UCHAR VersionLocationValid;                               // 3288
    UCHAR SegmentStringsValid;                                // 3289
    USHORT VersionBlockOffset;                                // 3290
    ULONG VersionAddress;                                     // 3292
    USHORT Word3296;
    UCHAR Reserved3298[3];
    UCHAR Byte3301;
    UCHAR Byte3302;
    UCHAR Byte3303;
    ULONG EepromSectionAddress;                               // 3304
    ULONG ApplicationSize;                                    // 3308
    ULONG AuxSectionAddress;                                  // 3312
    ULONG Dword3316;
    ULONG AuxSectionSize;                                     // 3320
    UCHAR IdentityFromOptionBytes;                            // 3324
    UCHAR Reserved3325[3];
    ULONG Segment3Base;                                       // 3328
    ULONG Segment4Base;                                       // 3332
    ULONG ProductOrdinal;                                     // 3336
    ULONG Dword3340;
    ULONG ProductKey2;                                        // 3344
    UCHAR Reserved3348[7];
    UCHAR Byte3355;
    UCHAR Byte3356;
    UCHAR Byte3357;
    UCHAR VersionHasHighWord;                                 // 3358
    UCHAR Reserved3359[79];
    UCHAR Byte3438;
    UCHAR Reserved3439[153];
};

#define OSTDFU_CAPS_AT(field, offset) \
    static_assert(offsetof(DEVICE_CAPS2, field) == (offset), #field " moved")
OSTDFU_CAPS_AT(CapsVersion, 0);
OSTDFU_CAPS_AT(CapsProductType, 4);
OSTDFU_CAPS_AT(InstanceName, 8);
OSTDFU_CAPS_AT(ReportedInterfaceGuid, 1708);
OSTDFU_CAPS_AT(Byte1772, 1772);
OSTDFU_CAPS_AT(Byte1773, 1773);
OSTDFU_CAPS_AT(Byte1774, 1774);
OSTDFU_CAPS_AT(Byte1775, 1775);
OSTDFU_CAPS_AT(Word1776, 1776);
OSTDFU_CAPS_AT(Byte1778, 1778);
OSTDFU_CAPS_AT(ProductKey, 1780);
OSTDFU_CAPS_AT(Word1784, 1784);
OSTDFU_CAPS_AT(ProductIdText, 1786);
OSTDFU_CAPS_AT(EepromPresent, 3088);
OSTDFU_CAPS_AT(SerialFirstKey, 3092);
OSTDFU_CAPS_AT(SerialLength, 3096);
OSTDFU_CAPS_AT(ErasedByteValue, 3101);
OSTDFU_CAPS_AT(Dword3112, 3112);
OSTDFU_CAPS_AT(Dword3116, 3116);
OSTDFU_CAPS_AT(EepromSectionSize, 3120);
OSTDFU_CAPS_AT(Byte3126, 3126);
OSTDFU_CAPS_AT(FirmwareVersion, 3152);
OSTDFU_CAPS_AT(bcdUSB, 3156);
OSTDFU_CAPS_AT(idVendor, 3158);
OSTDFU_CAPS_AT(idProduct, 3160);
OSTDFU_CAPS_AT(bcdDevice, 3162);
OSTDFU_CAPS_AT(Word3168, 3168);
OSTDFU_CAPS_AT(Byte3183, 3183);
OSTDFU_CAPS_AT(ReadAppIdFromMemory, 3185);
OSTDFU_CAPS_AT(Qword3200, 3200);
OSTDFU_CAPS_AT(Dword3212, 3212);
OSTDFU_CAPS_AT(Segment1AltSetting, 3220);
OSTDFU_CAPS_AT(Segment2AltSetting, 3221);
OSTDFU_CAPS_AT(Segment3AltSetting, 3222);
OSTDFU_CAPS_AT(Segment4AltSetting, 3223);
OSTDFU_CAPS_AT(Byte3231, 3231);
OSTDFU_CAPS_AT(VersionWordCount, 3236);
OSTDFU_CAPS_AT(VersionLow, 3240);
OSTDFU_CAPS_AT(VersionHigh, 3244);
OSTDFU_CAPS_AT(Segment1Base, 3272);
OSTDFU_CAPS_AT(Segment2Base, 3276);
OSTDFU_CAPS_AT(Serial, 3280);
OSTDFU_CAPS_AT(VersionLocationValid, 3288);
OSTDFU_CAPS_AT(SegmentStringsValid, 3289);
OSTDFU_CAPS_AT(VersionBlockOffset, 3290);
OSTDFU_CAPS_AT(VersionAddress, 3292);
OSTDFU_CAPS_AT(Word3296, 3296);
OSTDFU_CAPS_AT(Byte3301, 3301);
OSTDFU_CAPS_AT(Byte3302, 3302);
OSTDFU_CAPS_AT(Byte3303, 3303);
OSTDFU_CAPS_AT(EepromSectionAddress, 3304);
OSTDFU_CAPS_AT(ApplicationSize, 3308);
OSTDFU_CAPS_AT(AuxSectionAddress, 3312);
OSTDFU_CAPS_AT(Dword3316, 3316);
OSTDFU_CAPS_AT(AuxSectionSize, 3320);
OSTDFU_CAPS_AT(IdentityFromOptionBytes, 3324);
OSTDFU_CAPS_AT(Segment3Base, 3328);
OSTDFU_CAPS_AT(Segment4Base, 3332);
OSTDFU_CAPS_AT(ProductOrdinal, 3336);
OSTDFU_CAPS_AT(Dword3340, 3340);
OSTDFU_CAPS_AT(ProductKey2, 3344);
OSTDFU_CAPS_AT(Byte3355, 3355);
OSTDFU_CAPS_AT(Byte3356, 3356);
OSTDFU_CAPS_AT(Byte3357, 3357);
OSTDFU_CAPS_AT(VersionHasHighWord, 3358);
OSTDFU_CAPS_AT(Byte3438, 3438);
#undef OSTDFU_CAPS_AT
static_assert(sizeof(DEVICE_CAPS2) == DEVICE_CAPS2_SIZE);
