// Reads and writes of device memory through the bootloader: the read-protection test, option
// bytes, the application identity record, the firmware version and the EEPROM section.
#pragma once

#include "platform/wdf.h"

inline constexpr ULONG FLASH_START_ADDRESS = 0x08000000;

// testSelector only tells the regular (1) and the extra (0) test apart in traces.
NTSTATUS IsST32DeviceReadProtected(WDFDEVICE device, UCHAR testSelector, PUCHAR isProtected);
NTSTATUS ST32DFUReadOptionBytesInDeviceMemorySpace(WDFDEVICE device, PUCHAR buffer,
                                                   ULONG bufferLength, PULONG bytesRead);
NTSTATUS ST32DFUWriteOptionBytesInDeviceMemorySpace(WDFDEVICE device, const UCHAR* data,
                                                    ULONG length);

NTSTATUS ST32DFUReadAppPIDVIDInDeviceMemorySpace(WDFDEVICE device, PUSHORT productId,
                                                 PUSHORT vendorId, PUSHORT variant);
// size 0 reads wTransferSize bytes; version is written only on success, secondary may be null.
NTSTATUS ST32DFUReadUpperVersionInDeviceMemorySpace(WDFDEVICE device, ULONG address,
                                                    USHORT blockOffset, ULONG size,
                                                    PUSHORT version, PUSHORT secondary);

NTSTATUS ST32DFUReadManuSerialNumberInDeviceMemorySpace(WDFDEVICE device, ULONG sectionAddress,
                                                        ULONG firstKeyForTrace, ULONG64* serial,
                                                        UCHAR wantPrecedingByte,
                                                        PUCHAR precedingByte);
NTSTATUS ST32DFUReadByteFromRawEEPROMDataVersionHelperFormat1Byte(WDFDEVICE device,
                                                                  const UCHAR* sectionCopy,
                                                                  ULONG length, UCHAR key,
                                                                  PUCHAR value);
NTSTATUS ST32DFUReadOneByteFromRawEEPROMDataVersion2(WDFDEVICE device, const UCHAR* sectionCopy,
                                                     ULONG length, USHORT index, PUCHAR value,
                                                     UCHAR record[8]);
// target 0: the EEPROM section; 1: the auxiliary section.
NTSTATUS ST32DFUEraseEEPROMSectionInDeviceMemorySpace(WDFDEVICE device, ULONG target);
