// Every product arrives: a bootloader whose memory makes it one product is plugged in, and the
// capabilities record, the identity in the context, the serial cache, the interfaces and the
// event log are compared with what the product's row says. The expectations are written here
// from the product rows, independently of the driver's table.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "presets/presets.h"
#include "tests/support/arrival_harness.h"
#include "updater_interface/interface_guids.h"

namespace ostdfu_test {
namespace {

enum class Serial { Untouched, AllOnes, AllOnesCached0, AllOnesCached1, Plain, Preceding, Forced };

struct Row {
    unsigned code;
    char key;            // 'O' option-byte code, 'P' product ID, 'V' product ID and variant
    USHORT pid;
    USHORT variant;
    char vendor;         // 'A' or 'B'
    int ordinal;         // -1: not written
    long long key2;      // -1: not written
    int b3355;           // -1: not written
    int companion;       // 0 none, 1 paired with the product GUID, 2 a GUID of its own
    bool idText;
    bool callback;
    long long verAddr;   // -1: no version read
    USHORT verOffset;
    bool highLow;
    ULONG words;
    bool storesHigh;
    int b3358;           // -1: not written
    ULONG section;
    ULONG app;
    long long eeprom;    // -1: no EEPROM; 0: EEPROM without an address
    ULONG firstKey;
    bool family27;
    bool b3303;
    Serial serial;
    bool secondaryWord;  // the product's firmware keeps a secondary version word
};

constexpr long long N = -1;
using S = Serial;

// clang-format off
const Row kRows[] = {
  // code key pid     var   vnd ord key2     3355 cmp  idTx  cb     version     off hl   w  hi   3358 section app       eeprom      key fam27 3303 serial         2nd
    {35, 'O', 0x5023, 0,      'A', 3,  N,      N,  0, false, false, 0x08007800, 0,  false, 1, false, N, 0,      0x8000,   N,          0,  false, false, S::AllOnesCached0, false},
    {36, 'O', 0x5024, 0,      'A', 4,  N,      N,  0, false, false, 0x0800F000, 0,  false, 1, false, N, 0x800,  0xF800,   0x0800F800, 2,  false, true,  S::Plain,     false},
    {37, 'O', 0x5025, 0,      'A', 7,  N,      N,  0, false, false, 0x0800F000, 0,  false, 1, false, N, 0x800,  0xF800,   0x0800F800, 2,  false, true,  S::Plain,     false},
    {5,  'O', 0x5005, 0,      'A', 5,  0x5006, N,  0, false, false, 0x08007800, 0,  false, 1, false, N, 0,      0x7C00,   N,          0,  false, false, S::AllOnesCached0, false},
    {41, 'P', 0x5029, 0,      'A', 8,  0x5029, 1,  0, false, true,  0x08017000, 0,  false, 1, false, N, 0x800,  0x17800,  0x0801F800, 3,  false, false, S::Preceding, false},
    {42, 'P', 0x502A, 0,      'A', 9,  0x502A, 1,  0, false, true,  0x0801F000, 0,  false, 1, false, N, 0x800,  0x1F800,  0x0801F800, 3,  false, false, S::Preceding, false},
    {48, 'P', 0x5030, 0,      'A', 15, 0x5030, 0,  0, false, false, 0x08020000, 63, false, 1, false, N, 0x4000, 0x40000,  0x0800C000, 1,  false, false, S::Forced,    false},
    {49, 'P', 0x5031, 0,      'A', 16, 0x5031, 1,  0, false, false, 0x08020000, 63, true,  2, true,  1, 0x4000, 0x40000,  0x0800C000, 1,  false, false, S::Forced,    true},
    {55, 'P', 0x5037, 0,      'A', 32, 0x5037, 1,  0, false, false, 0x08020000, 63, false, 1, false, N, 0x4000, 0x40000,  0x0800C000, 1,  false, false, S::Forced,    false},
    {58, 'P', 0x503A, 0,      'A', 21, 0x503A, 1,  0, false, false, 0x08020000, 63, true,  2, true,  1, 0x4000, 0x40000,  0x0800C000, 3,  false, false, S::Preceding, true},
    {65, 'P', 0x5041, 0,      'A', 28, 0x5041, 1,  0, false, false, 0x08020000, 63, false, 1, false, 0, 0x4000, 0x40000,  0x0800C000, 3,  false, false, S::Preceding, false},
    {66, 'P', 0x5042, 0,      'A', 29, 0x5042, 0,  0, false, false, 0x0801E800, 0,  false, 1, false, 0, 0x800,  0x1F000,  0x0801F000, 3,  false, false, S::Preceding, false},
    {70, 'P', 0x5046, 0,      'A', 35, 0x5046, 1,  0, false, false, 0x0801E800, 0,  false, 1, false, 0, 0x800,  0x1F000,  0x0801F000, 3,  false, false, S::Preceding, false},
    {73, 'P', 0x5049, 0,      'A', 38, 0x5049, 0,  0, false, false, 0x0801F000, 0,  true,  1, false, 1, 0x800,  0x1F800,  N,          0,  false, false, S::AllOnesCached1, false},
    {45, 'P', 0x502D, 0,      'A', 11, 0x502D, 0,  0, false, false, 0x081FF000, 1,  false, 1, false, N, 0,      0x200000, N,          0,  false, false, S::AllOnes,   false},
    {44, 'P', 0x502C, 0,      'A', 10, 0x502C, 0,  0, false, true,  0x08017000, 0,  false, 1, false, N, 0x800,  0x17800,  0x0801F800, 3,  false, false, S::Preceding, false},
    {23, 'P', 0x6017, 0,      'B', N,  N,      N,  1, true,  false, N,          0,  false, 0, false, N, 0,      0,        N,          0,  false, false, S::Untouched, false},
    {25, 'P', 0x6019, 0,      'B', N,  N,      N,  1, true,  false, N,          0,  false, 0, false, N, 0,      0,        N,          0,  false, false, S::Untouched, false},
    {28, 'P', 0x601C, 0,      'B', N,  N,      N,  1, true,  false, 0x0800C000, 7,  false, 1, false, N, 0,      0,        N,          0,  false, false, S::Untouched, false},
    {29, 'P', 0x601D, 0,      'B', N,  N,      N,  1, true,  false, 0x0800C000, 7,  false, 1, false, N, 0,      0,        N,          0,  false, false, S::Untouched, false},
    {30, 'P', 0x601E, 0,      'B', N,  N,      N,  1, true,  false, 0x0800C000, 7,  false, 1, false, N, 0,      0,        N,          0,  false, false, S::Untouched, false},
    {38, 'P', 0x6026, 0,      'B', N,  N,      N,  2, true,  false, 0x08010000, 31, false, 2, true,  N, 0,      0x20000,  N,          0,  false, false, S::Untouched, true},
    {51, 'P', 0x6033, 0,      'B', N,  N,      N,  2, true,  false, 0x0800C000, 7,  false, 1, false, N, 0,      0,        N,          0,  false, false, S::AllOnes,   false},
    {57, 'P', 0x6039, 0,      'B', N,  0x6039, 0,  2, false, false, 0x08020000, 63, false, 2, true,  N, 0x4000, 0x40000,  0x0800C000, 1,  false, false, S::AllOnes,   true},
    {60, 'P', 0x603C, 0,      'B', N,  N,      N,  2, true,  false, 0x0800C000, 7,  false, 1, false, N, 0,      0,        N,          0,  false, false, S::Untouched, false},
    {59, 'P', 0x603B, 0,      'B', N,  N,      N,  2, true,  false, 0x0800C000, 7,  false, 1, false, N, 0,      0,        N,          0,  false, false, S::Untouched, false},
    {64, 'P', 0x5040, 0,      'A', 26, 0x5040, 0,  0, false, false, 0x0803F000, 0,  false, 1, false, N, 0x800,  0x3F800,  0x0803F800, 1,  false, false, S::Preceding, false},
    {46, 'P', 0x502E, 0,      'A', 13, 0x502E, 0,  0, false, false, 0x0803F000, 0,  true,  2, true,  1, 0x800,  0x3F800,  0x0803F800, 1,  false, false, S::Preceding, true},
    {47, 'P', 0x502F, 0,      'A', 14, 47,     0,  0, false, false, 0x0801F000, 0,  true,  2, true,  1, 0x800,  0x1F800,  0x0801F800, 1,  false, false, S::Preceding, true},
    {53, 'P', 0x5035, 0,      'A', 18, 0x5035, 0,  0, false, false, 0x0803F000, 0,  true,  2, true,  1, 0x800,  0x3F800,  0x0803F800, 1,  false, false, S::Preceding, true},
    {54, 'P', 0x5036, 0,      'A', 19, 0x5036, 0,  0, false, false, 0x0801F000, 0,  true,  2, true,  1, 0x800,  0x1F800,  0x0801F800, 1,  false, false, S::Preceding, true},
    {62, 'P', 0x503E, 0,      'A', 25, 62,     0,  0, false, false, 0x0801F000, 0,  true,  2, true,  1, 0x800,  0x1F800,  0x0801F800, 1,  false, false, S::Preceding, true},
    {67, 'V', 0x5043, 0x2000, 'A', 31, 0x20005043, 0, 0, false, false, 0x0803F000, 0, true, 2, true, 1, 0x800,  0x3F800,  0x0803F800, 1,  false, false, S::Preceding, true},
    {68, 'V', 0x5043, 0x2001, 'A', 34, 0x20015043, 0, 0, false, false, 0x0803F000, 0, true, 2, true, 1, 0x800,  0x3F800,  0x0803F800, 1,  false, false, S::Preceding, true},
    {69, 'V', 0x5043, 0x2002, 'A', 30, 0x20025043, 0, 0, false, false, 0x0803F000, 0, true, 2, true, 1, 0x800,  0x3F800,  0x0803F800, 1,  false, false, S::Preceding, true},
    {27, 'P', 0x501B, 0,      'A', 1,  N,      N,  0, false, true,  0x0801F800, 0,  false, 1, false, N, 0x800,  0x20000,  0x0803F800, 0,  true,  true,  S::Plain,     false},
    {34, 'P', 0x5022, 0,      'A', 2,  N,      N,  0, false, true,  0x0801F800, 0,  false, 1, false, N, 0,      0x20000,  0,          0,  false, false, S::Plain,     false},
    {40, 'P', 0x5028, 0,      'A', 6,  N,      N,  0, false, false, 0x0801F800, 0,  false, 1, false, N, 0x800,  0x20000,  0x0803F800, 0,  true,  true,  S::Plain,     false},
    {52, 'P', 0x5034, 0,      'A', 17, N,      N,  0, false, false, 0x0801F800, 0,  false, 1, false, N, 0x800,  0x20000,  0x0803F800, 0,  true,  true,  S::Plain,     false},
    {63, 'P', 0x503F, 0,      'A', 27, N,      N,  0, false, false, 0x0801F800, 0,  false, 1, false, N, 0x800,  0x20000,  0x0803F800, 0,  true,  true,  S::Plain,     false},
    {71, 'P', 0x5047, 0,      'A', 36, N,      N,  0, false, false, 0x0801F800, 0,  false, 1, false, N, 0x800,  0x20000,  0x0803F800, 0,  true,  true,  S::Plain,     false},
    {72, 'P', 0x5048, 0,      'A', 37, N,      N,  0, false, false, 0x0801F800, 0,  false, 1, false, N, 0x800,  0x20000,  0x0803F800, 0,  true,  true,  S::Plain,     false},
    {61, 'P', 0x603D, 0,      'B', 22, 0x603D, 1,  0, false, false, 0x081DC000, 1,  false, 1, false, N, 0x1000, 0x1DD000, 0x081FF000, 1,  false, false, S::Preceding, false},
};
// clang-format on

constexpr ULONG64 kPresetSerial = 0x8877665544332211ull;
constexpr UCHAR kPresetRecordByte = 0x5A;
constexpr USHORT kVersion = 0x0312;
constexpr USHORT kSecondary = 0x0007;
constexpr ULONG64 kDescriptorSerial = 0x0000315A28A0B956ull;  // "315A28A0B956"
constexpr USHORT kVendorA = 0x3A7C;
constexpr USHORT kVendorB = 0x2E91;

// The interface classes of docs/products.md.
GUID productGuid(unsigned code, UCHAR kind) {
    return {0x5C7A0000u | code << 8 | kind, 0x3E21, 0x4B7F,
            {0x9A, 0x4C, 0x61, 0xD2, 0x08, 0xB5, 0x3F, 0xE7}};
}

std::optional<GUID> companionGuid(const Row& row) {
    if (row.companion == 0) return std::nullopt;
    return productGuid(row.code, row.companion == 1 ? 0x00 : 0x80);
}

template <class T>
void put(std::vector<UCHAR>& record, std::size_t offset, T value) {
    std::memcpy(record.data() + offset, &value, sizeof(value));
}

void putText(std::vector<UCHAR>& record, std::size_t offset, std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) put<char16_t>(record, offset + 2 * i, text[i]);
}

ULONG64 expectedSerial(const Row& row) {
    switch (row.serial) {
        case S::Untouched: return kDescriptorSerial;
        case S::Plain: return row.eeprom == 0 ? 0 : kPresetSerial;
        case S::Preceding:
        case S::Forced: return kPresetSerial;
        default: return ~0ull;
    }
}

// The record as the defaults and this row write it; every other byte 0.
std::vector<UCHAR> expectedCaps(const Row& row) {
    std::vector<UCHAR> r(3592, 0);
    const bool optionBytes = row.key == 'O';
    put<ULONG>(r, 0, 2);
    put<ULONG>(r, 4, row.code);
    putText(r, 8, u"315a28a0b956");
    put<GUID>(r, 1708, companionGuid(row).value_or(GUID_DEVINTERFACE_OSTDFU_DRIVER));
    put<USHORT>(r, 3156, 0x0100);
    put<USHORT>(r, 3158, 0x0483);
    put<USHORT>(r, 3160, 0xDF11);
    put<USHORT>(r, 3162, 0x2200);
    put<ULONG64>(r, 3200, 0xDEADDEADDEADDEADull);
    // Defaults of a recognised bootloader.
    r[1772] = 1; r[1773] = 1; r[1774] = 1; r[1778] = 1;
    put<USHORT>(r, 1784, 0x0100);
    r[3101] = 0xFF; r[3126] = 1;
    put<USHORT>(r, 3168, 0x0101);
    r[3183] = 1;
    r[3185] = optionBytes ? 0 : 1;
    put<ULONG>(r, 3212, 2);
    r[3220] = 0; r[3221] = 2; r[3222] = 1; r[3223] = 3;
    r[3289] = 1;
    put<USHORT>(r, 3296, 1);
    put<ULONG>(r, 3340, 0xFFFFFFFF);
    r[3438] = 1;
    // Segments found by the probe.
    put<ULONG>(r, 3272, 0x08000000);
    put<ULONG>(r, 3276, optionBytes ? 0 : 0x1FFF7800);
    put<ULONG>(r, 3328, 0x1FFFF800);
    put<ULONG>(r, 3332, optionBytes ? 0 : 0xFFFF0000);
    r[3324] = optionBytes ? 1 : 0;
    // The row.
    put<ULONG>(r, 1780, row.key == 'V' ? (ULONG{row.variant} << 16 | row.pid) : row.pid);
    if (row.ordinal >= 0) {
        put<ULONG>(r, 3336, static_cast<ULONG>(row.ordinal));
        put<ULONG>(r, 3340, 0);
    }
    if (row.b3355 >= 0) r[3355] = static_cast<UCHAR>(row.b3355);
    if (row.key2 >= 0) put<ULONG>(r, 3344, static_cast<ULONG>(row.key2));
    if (row.idText) {
        const char* hex = "0123456789ABCDEF";
        std::u16string id = u"PID_";
        for (int shift = 12; shift >= 0; shift -= 4) id += static_cast<char16_t>(hex[(row.pid >> shift) & 15]);
        putText(r, 1786, id);
    }
    r[3356] = 1; r[3357] = 1;
    if (row.verAddr >= 0) {
        r[3288] = 1;
        put<ULONG>(r, 3292, static_cast<ULONG>(row.verAddr));
        put<USHORT>(r, 3290, row.verOffset);
        const USHORT high = row.secondaryWord ? kSecondary : 0;
        put<ULONG>(r, 3152, row.highLow ? (ULONG{high} << 16 | kVersion) : kVersion);
        put<ULONG>(r, 3236, row.words);
        put<ULONG>(r, 3240, kVersion);
        if (row.storesHigh) put<ULONG>(r, 3244, high);
        if (row.b3358 >= 0) r[3358] = static_cast<UCHAR>(row.b3358);
    }
    if (row.section != 0) {
        put<ULONG>(r, 3120, row.section);
        put<ULONG>(r, 3116, 1);
    }
    if (row.app != 0) put<ULONG>(r, 3308, row.app);
    if (row.family27) {
        r[3301] = 0x40; r[3302] = 0x40;
        put<ULONG>(r, 3312, 0x08037800);
        put<ULONG>(r, 3316, 0x1000);
        put<ULONG>(r, 3320, 0x8000);
    }
    if (row.b3303) r[3303] = 0xFF;
    if (row.eeprom >= 0) {
        r[3088] = 1;
        put<ULONG>(r, 3092, row.firstKey);
        put<ULONG>(r, 3096, 8);
        if (row.eeprom > 0) put<ULONG>(r, 3304, static_cast<ULONG>(row.eeprom));
    }
    put<ULONG64>(r, 3280, expectedSerial(row));
    return r;
}

std::string firstDifference(const std::vector<UCHAR>& expected, const UCHAR* actual) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] != actual[i]) {
            return "byte " + std::to_string(i) + ": expected " + std::to_string(expected[i]) +
                   ", got " + std::to_string(actual[i]);
        }
    }
    return "";
}

void PrintTo(const Row& row, std::ostream* out) { *out << "product " << row.code; }

class ArrivalOfEveryProduct : public ::testing::TestWithParam<Row> {};

TEST_P(ArrivalOfEveryProduct, DescribesTheDeviceAsItsRowSays) {
    const Row& row = GetParam();
    ArrivalHarness h;
    const Arrived device = h.plug(presets::presetFor(row.code));
    ASSERT_EQ(device.pnp->state(), host::PnpState::Started);
    FDO_DATA* c = device.context();

    EXPECT_EQ(firstDifference(expectedCaps(row), reinterpret_cast<UCHAR*>(&c->DeviceCaps2)), "");
    EXPECT_EQ(c->ProductType, row.code);
    EXPECT_EQ(c->AppPid, row.pid);
    EXPECT_EQ(c->AppVid, row.vendor == 'A' ? kVendorA : kVendorB);
    EXPECT_EQ(c->AppVariant, row.variant);
    EXPECT_EQ(c->DeviceCaps2Valid, 1);
    EXPECT_EQ(c->PrepareHardwareDone, 1);
    EXPECT_EQ(c->DescriptorSerial, kDescriptorSerial);
    EXPECT_EQ(c->CallbackObject != nullptr, row.callback);

    // The serial number and the cache the updater reads.
    const ManufacturerSerialCacheRecord& cache = c->ManufacturerSerialCache;
    EXPECT_EQ(cache.Block.Marker, 0x53454546u);
    switch (row.serial) {
        case S::Untouched:
            EXPECT_EQ(c->ManufacturerSerial, ~0ull);
            EXPECT_FALSE(cache.Valid);
            break;
        case S::AllOnes:
            EXPECT_EQ(c->ManufacturerSerial, ~0ull);
            EXPECT_FALSE(cache.Valid);
            break;
        default: {
            const bool fromRecord = row.serial == S::Preceding || row.serial == S::Forced ||
                                    row.serial == S::AllOnesCached1;
            const UCHAR recordByte = row.serial == S::Preceding ? kPresetRecordByte
                                     : row.serial == S::Forced  ? 128
                                                                : 0;
            EXPECT_EQ(c->ManufacturerSerial, expectedSerial(row));
            EXPECT_TRUE(cache.Valid);
            EXPECT_EQ(cache.Block.FromRecord, fromRecord ? 1u : 0u);
            EXPECT_EQ(cache.Block.RecordByte, recordByte);
            EXPECT_EQ(cache.Block.Length, 8u);
            EXPECT_EQ(cache.Block.Value, expectedSerial(row));
        }
    }

    // The interfaces user mode finds.
    EXPECT_EQ(h.interfaces(GUID_DEVINTERFACE_OSTDFU_DRIVER).size(), 1u);
    EXPECT_EQ(h.interfaces(productGuid(row.code, 0x01)).size(), 1u);
    if (auto companion = companionGuid(row)) {
        EXPECT_EQ(h.interfaces(*companion).size(), 1u);
    }

    EXPECT_EQ(h.eventTexts(), (std::vector<std::string>{
                                  "device \\Driver\\ostdfu icode:DriverEntry.",
                                  "device \\Device\\USBPDO-1 icode:pcode:24.",
                                  "device \\Device\\USBPDO-1 icode:AddDevice Code:0 status:0x0.",
                                  "device \\Device\\USBPDO-1 icode:PrepHW: pcode:24.",
                                  "device \\Device\\USBPDO-1 icode:PrepHW: Code:0 status:0x0."}));
}

INSTANTIATE_TEST_SUITE_P(Rows, ArrivalOfEveryProduct, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return "Product" + std::to_string(info.param.code);
                         });

}  // namespace
}  // namespace ostdfu_test
