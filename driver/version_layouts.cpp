#include <array>

#include "context/product_data.h"

namespace {

struct VersionLayoutRow {
    USHORT vendorId;
    USHORT productId;
    VersionLayout layout;
};

constexpr VersionLayout L2 = VersionLayout::LittleEndianAt4;
constexpr VersionLayout L3 = VersionLayout::LittleEndianAt8;

constexpr std::array<VersionLayoutRow, 27> kVersionLayouts = {{
    // Products whose firmware keeps a secondary version word.
    {VENDOR_ID_A, 0x5031, L3}, {VENDOR_ID_A, 0x503A, L3}, {VENDOR_ID_A, 0x502E, L3},
    {VENDOR_ID_A, 0x5035, L3}, {VENDOR_ID_A, 0x5043, L3}, {VENDOR_ID_A, 0x502F, L3},
    {VENDOR_ID_A, 0x5036, L3}, {VENDOR_ID_A, 0x503E, L3}, {VENDOR_ID_A, 0x5100, L3},
    {VENDOR_ID_A, 0x5101, L3},
    {VENDOR_ID_B, 0x6026, L3}, {VENDOR_ID_B, 0x6039, L3},
    // Products with a single little-endian version word.
    {VENDOR_ID_A, 0x5029, L2}, {VENDOR_ID_A, 0x502A, L2}, {VENDOR_ID_A, 0x5030, L2},
    {VENDOR_ID_A, 0x5037, L2}, {VENDOR_ID_A, 0x5041, L2}, {VENDOR_ID_A, 0x5042, L2},
    {VENDOR_ID_A, 0x5046, L2}, {VENDOR_ID_A, 0x5049, L2}, {VENDOR_ID_A, 0x502D, L2},
    {VENDOR_ID_A, 0x502C, L2}, {VENDOR_ID_A, 0x5040, L2}, {VENDOR_ID_A, 0x501B, L2},
    {VENDOR_ID_A, 0x5022, L2}, {VENDOR_ID_A, 0x5028, L2}, {VENDOR_ID_A, 0x5034, L2},
}};

}  // namespace

VersionLayout VersionLayoutFor(USHORT vendorId, USHORT productId) {
    for (const VersionLayoutRow& row : kVersionLayouts) {
        if (row.vendorId == vendorId && row.productId == productId) {
            return row.layout;
        }
    }
    return vendorId == VENDOR_ID_A ? VersionLayout::BigEndianLastWord
                                   : VersionLayout::LittleEndianAt4;
}
