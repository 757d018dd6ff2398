#include "driver/product_table.h"

#include <array>

namespace {

// Interface classes: Data1 carries the product code, so every row's GUIDs are distinct.
constexpr GUID ProductGuid(ULONG code, UCHAR kind) {
    return {0x5C7A0000u | code << 8 | kind,
            0x3E21,
            0x4B7F,
            {0x9A, 0x4C, 0x61, 0xD2, 0x08, 0xB5, 0x3F, 0xE7}};
}
constexpr UCHAR kCompanionKind = 0x00;  // product = companion + 1 where the rows pair them
constexpr UCHAR kProductKind = 0x01;
constexpr UCHAR kLoneCompanionKind = 0x80;

// Fluent construction of the constant rows, so each row says only what sets it apart.
struct Row {
    ProductRow r{};

    constexpr Row(ULONG code, RowKey key, USHORT productId, USHORT vendorId, Manufacturer maker,
                  const WCHAR* name) {
        r.productCode = code;
        r.key = key;
        r.productId = productId;
        r.defaultVendorId = vendorId;
        r.manufacturer = maker;
        r.name = name;
        r.ordinal = kNotWritten;
        r.productKey2 = ProductKey2Rule::None;
        r.byte3355 = kNotWritten;
        r.versionHasHighWord = kNotWritten;
        r.productGuid = ProductGuid(code, kProductKind);
        r.serial = SerialSource::Untouched;
    }
    constexpr Row& optionByteCode(UCHAR code) {
        r.optionByteCode = code;
        return *this;
    }
    constexpr Row& variant(USHORT v) {
        r.variant = v;
        return *this;
    }
    constexpr Row& identity(SHORT ordinal, ProductKey2Rule key2, SHORT byte3355) {
        r.ordinal = ordinal;
        r.productKey2 = key2;
        r.byte3355 = byte3355;
        return *this;
    }
    constexpr Row& callbackObject() {
        r.callbackObject = true;
        return *this;
    }
    // Companion GUID one below the product GUID (the rows that pair their interfaces).
    constexpr Row& pairedCompanion(bool idText = true) {
        r.companionInterface = true;
        r.productIdText = idText;
        r.companionGuid = ProductGuid(r.productCode, kCompanionKind);
        return *this;
    }
    constexpr Row& companion(bool idText = true) {
        r.companionInterface = true;
        r.productIdText = idText;
        r.companionGuid = ProductGuid(r.productCode, kLoneCompanionKind);
        return *this;
    }
    constexpr Row& identityOnly() {
        r.identityOnly = true;
        return *this;
    }
    constexpr Row& version(ULONG address, USHORT blockOffset, bool highLow, ULONG words,
                           bool storesHigh, SHORT hasHighWord) {
        r.readsVersion = true;
        r.versionAddress = address;
        r.versionBlockOffset = blockOffset;
        r.versionHighLow = highLow;
        r.versionWordCount = words;
        r.storesVersionHigh = storesHigh;
        r.versionHasHighWord = hasHighWord;
        return *this;
    }
    constexpr Row& versionReadLength(ULONG length) {
        r.versionReadLength = length;
        return *this;
    }
    constexpr Row& geometry(ULONG sectionSize, ULONG applicationSize) {
        r.sectionSize = sectionSize;
        r.applicationSize = applicationSize;
        return *this;
    }
    constexpr Row& eeprom(ULONG sectionAddress, ULONG firstKey) {
        r.eeprom = true;
        r.eepromSectionAddress = sectionAddress;
        r.serialFirstKey = firstKey;
        return *this;
    }
    constexpr Row& family27() {
        r.family27 = true;
        r.byte3303 = true;
        return *this;
    }
    constexpr Row& byte3303() {
        r.byte3303 = true;
        return *this;
    }
    constexpr Row& serial(SerialSource source) {
        r.serial = source;
        return *this;
    }
    constexpr Row& serialWithPrecedingByte(UCHAR preset, bool forced = false) {
        r.serial = SerialSource::ReadWithPrecedingByte;
        r.precedingBytePreset = preset;
        r.precedingByteForced = forced;
        return *this;
    }
    constexpr Row& cachedAllOnes(ULONG fromRecord) {
        r.serial = SerialSource::AllOnesCached;
        r.cachedFromRecord = fromRecord;
        return *this;
    }
};

constexpr RowKey OB = RowKey::OptionByteCode;
constexpr RowKey PID = RowKey::AppPid;
constexpr RowKey VAR = RowKey::AppPidVariant;
constexpr USHORT A = VENDOR_ID_A;
constexpr USHORT B = VENDOR_ID_B;
constexpr Manufacturer K = Manufacturer::Kalvora;
constexpr Manufacturer O = Manufacturer::Oskeny;
constexpr Manufacturer C = Manufacturer::Corvane;
constexpr ProductKey2Rule K2_PID = ProductKey2Rule::Pid;
constexpr ProductKey2Rule K2_NONE = ProductKey2Rule::None;

// Memory profiles shared by several rows.
constexpr Row Family27(ULONG code, USHORT pid, const WCHAR* name, SHORT ordinal) {
    return Row(code, PID, pid, A, K, name)
        .identity(ordinal, K2_NONE, kNotWritten)
        .version(0x0801F800, 0, false, 1, false, kNotWritten)
        .geometry(0x800, 0x20000)
        .eeprom(0x0803F800, 0)
        .family27()
        .serial(SerialSource::PlainRead);
}

constexpr Row Wheel3F(ULONG code, RowKey key, USHORT pid, const WCHAR* name, SHORT ordinal,
                      ProductKey2Rule key2) {
    return Row(code, key, pid, A, K, name)
        .identity(ordinal, key2, 0)
        .version(0x0803F000, 0, true, 2, true, 1)
        .geometry(0x800, 0x3F800)
        .eeprom(0x0803F800, 1)
        .serialWithPrecedingByte(0);
}

constexpr Row Pedal1F(ULONG code, USHORT pid, const WCHAR* name, SHORT ordinal,
                      ProductKey2Rule key2) {
    return Row(code, PID, pid, A, K, name)
        .identity(ordinal, key2, 0)
        .version(0x0801F000, 0, true, 2, true, 1)
        .geometry(0x800, 0x1F800)
        .eeprom(0x0801F800, 1)
        .serialWithPrecedingByte(0);
}

constexpr Row Stick0C(ULONG code, USHORT pid, const WCHAR* name) {
    return Row(code, PID, pid, B, C, name)
        .pairedCompanion()
        .version(0x0800C000, 7, false, 1, false, kNotWritten);
}

constexpr Row Base20(ULONG code, USHORT pid, const WCHAR* name, SHORT ordinal, SHORT byte3355) {
    return Row(code, PID, pid, A, K, name)
        .identity(ordinal, K2_PID, byte3355)
        .geometry(0x4000, 0x40000);
}

constexpr std::array<ProductRow, 43> kRows = {
    // Selected by the option-byte product code.
    Row(35, OB, 0x5023, A, K, WIDE("Kalvora Drift Pedals"))
        .optionByteCode(1)
        .identity(3, K2_NONE, kNotWritten)
        .version(0x08007800, 0, false, 1, false, kNotWritten)
        .geometry(0, 0x8000)
        .cachedAllOnes(0)
        .r,
    Row(36, OB, 0x5024, A, K, WIDE("Kalvora Drift Shifter"))
        .optionByteCode(3)
        .identity(4, K2_NONE, kNotWritten)
        .version(0x0800F000, 0, false, 1, false, kNotWritten)
        .geometry(0x800, 0xF800)
        .eeprom(0x0800F800, 2)
        .byte3303()
        .serial(SerialSource::PlainRead)
        .r,
    Row(37, OB, 0x5025, A, K, WIDE("Kalvora Drift Handbrake"))
        .optionByteCode(4)
        .identity(7, K2_NONE, kNotWritten)
        .version(0x0800F000, 0, false, 1, false, kNotWritten)
        .geometry(0x800, 0xF800)
        .eeprom(0x0800F800, 2)
        .byte3303()
        .serial(SerialSource::PlainRead)
        .r,
    Row(5, OB, 0x5005, A, K, WIDE("Kalvora Classic Wheel"))
        .optionByteCode(5)
        .identity(5, ProductKey2Rule::PidPlusOne, kNotWritten)
        .version(0x08007800, 0, false, 1, false, kNotWritten)
        .versionReadLength(1024)
        .geometry(0, 0x7C00)
        .cachedAllOnes(0)
        .r,

    // Selected by the application product ID.
    Row(41, PID, 0x5029, A, K, WIDE("Kalvora Strada Wheel Base"))
        .identity(8, K2_PID, 1)
        .callbackObject()
        .version(0x08017000, 0, false, 1, false, kNotWritten)
        .geometry(0x800, 0x17800)
        .eeprom(0x0801F800, 3)
        .serialWithPrecedingByte(0)
        .r,
    Row(42, PID, 0x502A, A, K, WIDE("Kalvora Strada Wheel Base Pro"))
        .identity(9, K2_PID, 1)
        .callbackObject()
        .version(0x0801F000, 0, false, 1, false, kNotWritten)
        .geometry(0x800, 0x1F800)
        .eeprom(0x0801F800, 3)
        .serialWithPrecedingByte(0)
        .r,
    Base20(48, 0x5030, WIDE("Kalvora Circuit Wheel Base"), 15, 0)
        .version(0x08020000, 63, false, 1, false, kNotWritten)
        .eeprom(0x0800C000, 1)
        .serialWithPrecedingByte(0, true)
        .r,
    Base20(49, 0x5031, WIDE("Kalvora Circuit Wheel Base Pro"), 16, 1)
        .version(0x08020000, 63, true, 2, true, 1)
        .eeprom(0x0800C000, 1)
        .serialWithPrecedingByte(0, true)
        .r,
    Base20(55, 0x5037, WIDE("Kalvora Circuit Rim"), 32, 1)
        .version(0x08020000, 63, false, 1, false, kNotWritten)
        .eeprom(0x0800C000, 1)
        .serialWithPrecedingByte(0, true)
        .r,
    Base20(58, 0x503A, WIDE("Kalvora Circuit Direct Drive"), 21, 1)
        .version(0x08020000, 63, true, 2, true, 1)
        .eeprom(0x0800C000, 3)
        .serialWithPrecedingByte(128)
        .r,
    Base20(65, 0x5041, WIDE("Kalvora Circuit Direct Drive Lite"), 28, 1)
        .version(0x08020000, 63, false, 1, false, 0)
        .eeprom(0x0800C000, 3)
        .serialWithPrecedingByte(128)
        .r,
    Row(66, PID, 0x5042, A, K, WIDE("Kalvora Apex Pedals"))
        .identity(29, K2_PID, 0)
        .version(0x0801E800, 0, false, 1, false, 0)
        .geometry(0x800, 0x1F000)
        .eeprom(0x0801F000, 3)
        .serialWithPrecedingByte(0)
        .r,
    Row(70, PID, 0x5046, A, K, WIDE("Kalvora Apex Pedals Load Cell"))
        .identity(35, K2_PID, 1)
        .version(0x0801E800, 0, false, 1, false, 0)
        .geometry(0x800, 0x1F000)
        .eeprom(0x0801F000, 3)
        .serialWithPrecedingByte(0)
        .r,
    Row(73, PID, 0x5049, A, K, WIDE("Kalvora Apex Button Box"))
        .identity(38, K2_PID, 0)
        .version(0x0801F000, 0, true, 1, false, 1)
        .geometry(0x800, 0x1F800)
        .cachedAllOnes(1)
        .r,
    Row(45, PID, 0x502D, A, K, WIDE("Kalvora Summit Cockpit Hub"))
        .identity(11, K2_PID, 0)
        .version(0x081FF000, 1, false, 1, false, kNotWritten)
        .geometry(0, 0x200000)
        .serial(SerialSource::AllOnesOnly)
        .r,
    Row(44, PID, 0x502C, A, K, WIDE("Kalvora Strada Wheel Base Sport"))
        .identity(10, K2_PID, 0)
        .callbackObject()
        .version(0x08017000, 0, false, 1, false, kNotWritten)
        .geometry(0x800, 0x17800)
        .eeprom(0x0801F800, 3)
        .serialWithPrecedingByte(0)
        .r,
    Row(23, PID, 0x6017, B, C, WIDE("Corvane Vector Flight Stick"))
        .pairedCompanion()
        .identityOnly()
        .r,
    Row(25, PID, 0x6019, B, C, WIDE("Corvane Vector Throttle")).pairedCompanion().identityOnly().r,
    Stick0C(28, 0x601C, WIDE("Corvane Horizon Flight Stick")).r,
    Stick0C(29, 0x601D, WIDE("Corvane Horizon Throttle")).r,
    Stick0C(30, 0x601E, WIDE("Corvane Horizon Rudder Pedals")).r,
    Row(38, PID, 0x6026, B, C, WIDE("Corvane Orbit Game Pad"))
        .companion()
        .version(0x08010000, 31, false, 2, true, kNotWritten)
        .geometry(0, 0x20000)
        .r,
    Row(51, PID, 0x6033, B, C, WIDE("Corvane Orbit Game Pad Wireless"))
        .companion()
        .version(0x0800C000, 7, false, 1, false, kNotWritten)
        .serial(SerialSource::AllOnesOnly)
        .r,
    Row(57, PID, 0x6039, B, C, WIDE("Corvane Meridian Flight Yoke"))
        .identity(kNotWritten, K2_PID, 0)
        .companion(false)
        .version(0x08020000, 63, false, 2, true, kNotWritten)
        .geometry(0x4000, 0x40000)
        .eeprom(0x0800C000, 1)
        .serial(SerialSource::AllOnesOnly)
        .r,
    Row(60, PID, 0x603C, B, C, WIDE("Corvane Meridian Quadrant"))
        .companion()
        .version(0x0800C000, 7, false, 1, false, kNotWritten)
        .r,
    Row(59, PID, 0x603B, B, C, WIDE("Corvane Meridian Panel"))
        .companion()
        .version(0x0800C000, 7, false, 1, false, kNotWritten)
        .r,
    Row(64, PID, 0x5040, A, K, WIDE("Kalvora Summit Wheel Base"))
        .identity(26, K2_PID, 0)
        .version(0x0803F000, 0, false, 1, false, kNotWritten)
        .geometry(0x800, 0x3F800)
        .eeprom(0x0803F800, 1)
        .serialWithPrecedingByte(0)
        .r,
    Wheel3F(46, PID, 0x502E, WIDE("Kalvora Summit Wheel Base Pro"), 13, K2_PID).r,
    Pedal1F(47, 0x502F, WIDE("Kalvora Summit Pedals"), 14, ProductKey2Rule::ProductCode).r,
    Wheel3F(53, PID, 0x5035, WIDE("Kalvora Summit Formula Rim"), 18, K2_PID).r,
    Pedal1F(54, 0x5036, WIDE("Kalvora Summit Pedals Pro"), 19, K2_PID).r,
    Pedal1F(62, 0x503E, WIDE("Kalvora Summit Shifter"), 25, ProductKey2Rule::ProductCode).r,
    Wheel3F(67, VAR, 0x5043, WIDE("Kalvora Pulse DJ Controller"), 31,
            ProductKey2Rule::SameAsProductKey)
        .variant(0x2000)
        .r,
    Wheel3F(68, VAR, 0x5043, WIDE("Kalvora Pulse DJ Controller Plus"), 34,
            ProductKey2Rule::SameAsProductKey)
        .variant(0x2001)
        .r,
    Wheel3F(69, VAR, 0x5043, WIDE("Kalvora Pulse DJ Controller Mini"), 30,
            ProductKey2Rule::SameAsProductKey)
        .variant(0x2002)
        .r,
    Family27(27, SharedBootloaderAppPid, WIDE("Kalvora Strada Wheel"), 1).callbackObject().r,
    Row(34, PID, PairedProductIdA, A, K, WIDE("Kalvora Strada Wheel Rim"))
        .identity(2, K2_NONE, kNotWritten)
        .callbackObject()
        .version(0x0801F800, 0, false, 1, false, kNotWritten)
        .geometry(0, 0x20000)
        .eeprom(0, 0)
        .serial(SerialSource::PlainRead)
        .r,
    Family27(40, 0x5028, WIDE("Kalvora Strada Wheel GT"), 6).r,
    Family27(52, 0x5034, WIDE("Kalvora Strada Wheel F1"), 17).r,
    Family27(63, 0x503F, WIDE("Kalvora Strada Wheel Rally"), 27).r,
    Family27(71, 0x5047, WIDE("Kalvora Strada Wheel Drift"), 36).r,
    Family27(72, 0x5048, WIDE("Kalvora Strada Wheel Endurance"), 37).r,
    Row(61, PID, 0x603D, B, O, WIDE("Oskeny Pulse DJ Deck"))
        .identity(22, K2_PID, 1)
        .version(0x081DC000, 1, false, 1, false, kNotWritten)
        .geometry(0x1000, 0x1DD000)
        .eeprom(0x081FF000, 1)
        .serialWithPrecedingByte(0)
        .r,
};

// The rows that pair their interfaces keep the product GUID one above the companion GUID.
constexpr bool PairedGuidsHold() {
    for (const ProductRow& row : kRows) {
        if (row.companionInterface && row.companionGuid.Data1 % 0x100 == kCompanionKind &&
            row.productGuid.Data1 != row.companionGuid.Data1 + 1) {
            return false;
        }
    }
    return true;
}
static_assert(PairedGuidsHold());

constexpr bool KeysAreUnique() {
    for (std::size_t i = 0; i < kRows.size(); ++i) {
        for (std::size_t j = i + 1; j < kRows.size(); ++j) {
            const ProductRow& a = kRows[i];
            const ProductRow& b = kRows[j];
            if (a.productCode == b.productCode || (a.key == b.key && a.key == OB &&
                                                   a.optionByteCode == b.optionByteCode)) {
                return false;
            }
            if (a.key != OB && b.key != OB && a.productId == b.productId &&
                !(a.key == VAR && b.key == VAR && a.variant != b.variant)) {
                return false;
            }
        }
    }
    return true;
}
static_assert(KeysAreUnique());

}  // namespace

std::span<const ProductRow> ProductRows() { return kRows; }

const ProductRow* FindRowByOptionByteCode(ULONG code) {
    for (const ProductRow& row : kRows) {
        if (row.key == OB && row.optionByteCode == code) {
            return &row;
        }
    }
    return nullptr;
}

bool IsVariantProductId(USHORT productId) {
    for (const ProductRow& row : kRows) {
        if (row.key == VAR && row.productId == productId) {
            return true;
        }
    }
    return false;
}

const ProductRow* FindRowByProductId(USHORT productId, USHORT variant) {
    for (const ProductRow& row : kRows) {
        if (row.key == PID && row.productId == productId) {
            return &row;
        }
        if (row.key == VAR && row.productId == productId && row.variant == variant) {
            return &row;
        }
    }
    return nullptr;
}

const WCHAR* ManufacturerName(Manufacturer manufacturer) {
    switch (manufacturer) {
        case Manufacturer::Kalvora:
            return WIDE("Kalvora");
        case Manufacturer::Oskeny:
            return WIDE("Oskeny");
        case Manufacturer::Corvane:
            return WIDE("Corvane Corporation");
    }
    return WIDE("");
}
