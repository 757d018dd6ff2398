#include <gtest/gtest.h>

#include <string>

#include "sim/layout.h"

namespace {

using sim::parseLayout;
using sim::SectorGroup;

struct ValidCase {
    const char* text;
    const char* name;
    std::vector<SectorGroup> groups;
};

TEST(Layout, ParsesTheStringsRealRomsReport) {
    const ValidCase cases[] = {
        {"@Internal Flash  /0x08000000/128*002Kg", "Internal Flash  ", {{0x08000000, 128, 2048, 7}}},
        {"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg",
         "Internal Flash  ",
         {{0x08000000, 4, 16384, 7}, {0x08010000, 1, 65536, 7}, {0x08020000, 7, 131072, 7}}},
        {"@Option Bytes  /0x1FFFF800/01*016 e", "Option Bytes  ", {{0x1FFFF800, 1, 16, 5}}},
        {"@OTP Memory /0x1FFF7800/01*512 g,01*016 g", "OTP Memory ", {{0x1FFF7800, 1, 512, 7}, {0x1FFF7A00, 1, 16, 7}}},
        {"@Device Feature/0xFFFF0000/01*004 e", "Device Feature", {{0xFFFF0000, 1, 4, 5}}},
        // Further address blocks, byte and mebibyte units, upper-case hex digits; the access
        // letter's low bits are read (1), erase (2), write (4).
        {"@Two/0x20000000/2*1Ba/0x08000000/1*1Md,1*1Bb,1*1Bc,1*1Bf",
         "Two",
         {{0x20000000, 2, 1, 1}, {0x08000000, 1, 1048576, 4}, {0x08100000, 1, 1, 2}, {0x08100001, 1, 1, 3},
          {0x08100002, 1, 1, 6}}},
        // The last byte of the address space is reachable.
        {"@Top/0xFFFFF000/1*4Kg", "Top", {{0xFFFFF000, 1, 4096, 7}}},
    };
    for (const ValidCase& c : cases) {
        SCOPED_TRACE(c.text);
        const auto result = parseLayout(c.text);
        ASSERT_TRUE(result.ok()) << result.error.message << " at " << result.error.offset;
        EXPECT_EQ(result.layout->name, c.name);
        EXPECT_EQ(result.layout->groups, c.groups);
    }
}

TEST(Layout, FindsTheSectorHoldingAnAddress) {
    const auto layout = *parseLayout("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg").layout;
    EXPECT_EQ(layout.sectorAt(0x08007FFF), (sim::Sector{0x08004000, 0x4000, 7}));
    EXPECT_EQ(layout.sectorAt(0x08010000), (sim::Sector{0x08010000, 0x10000, 7}));
    EXPECT_EQ(layout.sectorAt(0x080FFFFF), (sim::Sector{0x080E0000, 0x20000, 7}));
    EXPECT_FALSE(layout.sectorAt(0x08100000));
    EXPECT_FALSE(layout.sectorAt(0x07FFFFFF));
    EXPECT_EQ(layout.totalSize(), 0x100000u);
}

struct BadCase {
    const char* text;
    std::size_t offset;
};

TEST(Layout, RefusesMalformedTextAndSaysWhere) {
    const BadCase cases[] = {
        {"", 0},
        {"Internal Flash/0x08000000/1*1Kg", 0},  // no '@'
        {"@Name", 5},                            // no address block at all
        {"@Name/", 6},
        {"@Name/08000000/1*1Kg", 7},              // no "0x"
        {"@Name/0X08000000/1*1Kg", 7},            // the driver reads only a lower-case "0x"
        {"@Name/0x0800/1*1Kg/0X0900/1*1Kg", 20},  // in every block
        {"@Name/0x/1*1Kg", 8},                    // no digits
        {"@Name/0x123456789/1*1Kg", 16},          // more than 32 bits
        {"@Name/0x0800", 12},                     // ends after the address
        {"@Name/0x08000000/", 17},                // no sector group
        {"@Name/0x08000000/*1Kg", 17},
        {"@Name/0x08000000/0*1Kg", 18},           // zero sectors
        {"@Name/0x08000000/1*0Kg", 20},           // zero size
        {"@Name/0x08000000/1*1Xg", 20},           // unknown unit
        {"@Name/0x08000000/1*1Kh", 21},           // access letter out of range
        {"@Name/0x08000000/1*1K", 21},            // missing access letter
        {"@Name/0x08000000/1*1Kg,", 23},          // dangling comma
        {"@Name/0x08000000/1*1Kgx", 22},          // trailing text
        {"@Name/0x08000000/1*1Kg/", 23},          // a '/' that opens no block
        {"@Name/0x08000000/99999999999*1Kg", 27},  // count does not fit 32 bits
        {"@Name/0x08000000/1*99999999999Kg", 29},
        {"@Name/0x00000000/1*4096Mg", 25},        // one sector as large as the address space
        {"@Name/0xFFFFF000/2*4Kg", 22},           // runs past 0xFFFFFFFF
        {"@Name/0x08000000/4294967295*4294967295Bg", 40},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.text);
        const auto result = parseLayout(c.text);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error.offset, c.offset) << result.error.message;
        EXPECT_FALSE(result.error.message.empty());
    }
}

TEST(Layout, StopsAtTheEndOfTheViewEvenInsideAGroup) {
    // The view ends before the access letter that follows it in memory.
    const std::string text = "@Name/0x08000000/1*1Kg";
    const auto result = parseLayout(std::string_view(text).substr(0, text.size() - 1));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error.offset, text.size() - 1);
    // An embedded NUL is text like any other, and not an access letter.
    EXPECT_FALSE(parseLayout(std::string_view("@N/0x0/1*1K\0", 12)).ok());
}

}  // namespace
