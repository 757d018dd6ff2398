// The product rows: which identity key selects a row, and what applying it writes into the
// capabilities record and the device context. The table is constant data; docs/products.md
// lists it for people.
#pragma once

#include <span>

#include "context/product_data.h"
#include "platform/wdf.h"

enum class RowKey : UCHAR {
    OptionByteCode,  // selected by the product code kept in the option bytes
    AppPid,          // by the application product ID of the identity record
    AppPidVariant,   // by that product ID and the record's variant word
};

enum class Manufacturer : UCHAR { Kalvora, Oskeny, Corvane };

enum class ProductKey2Rule : UCHAR { None, Pid, PidPlusOne, ProductCode, SameAsProductKey };

// How a row comes to its manufacturer serial number.
enum class SerialSource : UCHAR {
    Untouched,            // serial fields and cache stay as they are
    AllOnesOnly,          // serial fields all-ones, cache untouched
    AllOnesCached,        // serial fields all-ones, cache filled with all-ones
    PlainRead,            // EEPROM read at the section address
    ReadWithPrecedingByte // EEPROM read of the serial and the byte stored before it
};

inline constexpr SHORT kNotWritten = -1;

struct ProductRow {
    ULONG productCode;
    RowKey key;
    UCHAR optionByteCode;  // RowKey::OptionByteCode
    USHORT productId;      // application product ID (also set by option-byte rows)
    USHORT variant;        // RowKey::AppPidVariant
    USHORT defaultVendorId;
    Manufacturer manufacturer;
    const WCHAR* name;

    // Identity values.
    SHORT ordinal;        // ProductOrdinal, or kNotWritten
    ProductKey2Rule productKey2;
    SHORT byte3355;       // or kNotWritten
    bool companionInterface;
    bool productIdText;
    bool callbackObject;
    GUID productGuid;
    GUID companionGuid;

    // Memory values. A row that reads no version writes none of the version fields.
    bool readsVersion;
    ULONG versionAddress;
    USHORT versionBlockOffset;
    ULONG versionReadLength;  // 0: the DFU transfer size
    bool versionHighLow;      // FirmwareVersion = High << 16 | Low, else Low
    ULONG versionWordCount;
    bool storesVersionHigh;
    SHORT versionHasHighWord;  // byte 3358, or kNotWritten
    ULONG sectionSize;         // 0: not written
    ULONG applicationSize;     // 0: not written
    bool eeprom;               // EepromPresent, SerialFirstKey, SerialLength
    ULONG eepromSectionAddress;  // 0: not written
    ULONG serialFirstKey;
    bool family27;             // the auxiliary section and the family's constants
    bool byte3303;             // 0xFF at 3303 (also set by the family)
    SerialSource serial;
    UCHAR precedingBytePreset;  // ReadWithPrecedingByte: 0 or 128
    bool precedingByteForced;   // ReadWithPrecedingByte: 128 after the read, whatever it gave
    ULONG cachedFromRecord;     // AllOnesCached: FromRecord of the cache
    // Rows that stop after the identity and interface steps, before version and memory.
    bool identityOnly;
};

std::span<const ProductRow> ProductRows();

// The row an option-byte code selects, or nullptr.
const ProductRow* FindRowByOptionByteCode(ULONG code);
// The row an application product ID selects; a product ID shared by variant rows needs the
// matching variant. nullptr when no row matches.
const ProductRow* FindRowByProductId(USHORT productId, USHORT variant);
// Whether the product ID is one that variant rows share.
bool IsVariantProductId(USHORT productId);

const WCHAR* ManufacturerName(Manufacturer manufacturer);

// Applies a row to a device whose identity probe chose it. Returns the status that ends the
// preparation on its error tail (the callback object could not be created or registered), or
// STATUS_SUCCESS.
NTSTATUS ApplyProductRow(WDFDEVICE device, const ProductRow& row);
