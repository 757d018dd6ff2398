// Device add: recognises an STM32 in DFU mode by its hardware IDs, creates the framework device
// with its context and queues, and reads the driver parameters into the context.
#pragma once

#include "platform/wdf.h"

EVT_WDF_DRIVER_DEVICE_ADD OstDFUDeviceEvtAdd;
// A freshly loaded image numbers its devices from 1.
void ResetDevicesAdded();

// *productType is 0 first, PRODUCT_TYPE_STM_DFU when one of the hardware IDs matches.
NTSTATUS determineProductType(PDEVICE_OBJECT physicalDeviceObject, PULONG productType);
// The hardware IDs as a pool buffer of terminated strings ended by an empty one (tag
// OSTDFU_TAG_HARDWARE_IDS, the caller frees it) and its size in bytes. Success with no list
// when the device reports an empty property.
NTSTATUS GetHardwareIdList(PDEVICE_OBJECT physicalDeviceObject, PWSTR* list, PULONG listBytes);
// TRUE when the ID holds ST's vendor ID "0483" and the DFU product ID "DF11" or "df11".
NTSTATUS IsStDfuHardwareId(PCWSTR hardwareId, BOOLEAN* isStDfu);
// STATUS_SUCCESS when searched occurs in string (case-sensitive; an empty searched always
// does), else STATUS_UNSUCCESSFUL.
NTSTATUS parseSubString(PCWSTR string, PCWSTR searched);

// Failure codes of device add, carried in its closing event.
enum : ULONG {
    ADD_CODE_SUCCESS = 0,
    ADD_CODE_NO_PHYSICAL_DEVICE = 1,
    ADD_CODE_PRODUCT_TYPE = 2,
    ADD_CODE_DEVICE_CREATE = 3,
    ADD_CODE_NOT_STM_DFU = 4,
    ADD_CODE_DEFAULT_QUEUE = 14,
    ADD_CODE_SEQUENTIAL_QUEUE = 15,
};
