// The string routines the driver relies on: bounded copies that say when they cut, printf into
// a byte-sized buffer, counted strings, text-to-number conversion and the version query.
#include <gtest/gtest.h>

#include "host/machine.h"
#include "host/rtl/format.h"
#include "host/rtl/rtl.h"
#include "platform/rtl.h"

namespace {

struct PrintfCase {
    const char16_t* format;
    std::vector<RtlFormatArg> args;
    std::size_t bytes;
    NTSTATUS status;
    const char16_t* text;
};

NTSTATUS format(const PrintfCase& c, WCHAR* out) {
    switch (c.args.size()) {
        case 0: return RtlStringCbPrintfWArgs(out, c.bytes, c.format, {});
        case 1: return RtlStringCbPrintfWArgs(out, c.bytes, c.format, {c.args[0]});
        default: return RtlStringCbPrintfWArgs(out, c.bytes, c.format, {c.args[0], c.args[1]});
    }
}

TEST(RtlStringCbPrintfW, FormatsCutsAndRefuses) {
    const NTSTATUS failure = static_cast<NTSTATUS>(0xC0000001u);
    const PrintfCase cases[] = {
        {u"AddDevice Code:%u status:0x%x", {RtlFormatArg(2u), RtlFormatArg(failure)}, 510, STATUS_SUCCESS,
         u"AddDevice Code:2 status:0xc0000001"},
        {u"status:0x%x", {RtlFormatArg(STATUS_SUCCESS)}, 510, STATUS_SUCCESS, u"status:0x0"},
        {u"%X|%08x|%5u|%-4u|", {RtlFormatArg(0xABCDu), RtlFormatArg(0x1Fu)}, 510, STATUS_INVALID_PARAMETER, u""},
        {u"%X|%08x", {RtlFormatArg(0xABCDu), RtlFormatArg(0x1Fu)}, 510, STATUS_SUCCESS, u"ABCD|0000001f"},
        {u"%d and %i", {RtlFormatArg(-5), RtlFormatArg(7)}, 510, STATUS_SUCCESS, u"-5 and 7"},
        {u"%llx", {RtlFormatArg(0x1122334455667788ull)}, 510, STATUS_SUCCESS, u"1122334455667788"},
        {u"%I64u", {RtlFormatArg(18446744073709551615ull)}, 510, STATUS_SUCCESS, u"18446744073709551615"},
        {u"%x", {RtlFormatArg(0x1122334455667788ull)}, 510, STATUS_SUCCESS, u"55667788"},
        {u"[%ws]", {RtlFormatArg(u"text")}, 510, STATUS_SUCCESS, u"[text]"},
        {u"[%6ws]", {RtlFormatArg(u"ab")}, 510, STATUS_SUCCESS, u"[    ab]"},
        {u"100%%", {}, 510, STATUS_SUCCESS, u"100%"},
        {u"pcode:%u", {RtlFormatArg(24u)}, 12, STATUS_BUFFER_OVERFLOW, u"pcode"},
        {u"%u", {}, 510, STATUS_INVALID_PARAMETER, u""},
        {u"%q", {RtlFormatArg(1)}, 510, STATUS_INVALID_PARAMETER, u""},
        {u"%u", {RtlFormatArg(u"text")}, 510, STATUS_INVALID_PARAMETER, u""},
        {u"%ws", {RtlFormatArg(5u)}, 510, STATUS_INVALID_PARAMETER, u""},
        {u"trailing %", {RtlFormatArg(1)}, 510, STATUS_INVALID_PARAMETER, u""},
    };
    for (const PrintfCase& c : cases) {
        SCOPED_TRACE(std::string(c.format, c.format + std::char_traits<char16_t>::length(c.format)));
        std::vector<WCHAR> out(256, u'#');
        EXPECT_EQ(format(c, out.data()), c.status);
        EXPECT_EQ(std::u16string(out.data()), c.text);
    }
}

TEST(RtlStringCbPrintfW, NeverWritesPastTheBuffer) {
    WCHAR out[8];
    std::fill(std::begin(out), std::end(out), u'#');
    EXPECT_EQ(RtlStringCbPrintfW(out, 6, u"%ws", u"abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(out), u"ab");
    EXPECT_EQ(out[3], u'#');
    EXPECT_EQ(RtlStringCbPrintfW(out, 1, u"x"), STATUS_INVALID_PARAMETER);  // not one character
    EXPECT_EQ(out[0], u'a');
}

TEST(BoundedCopy, CutsWithOverflowAndRefusesBadSizes) {
    WCHAR out[6];
    EXPECT_EQ(RtlStringCchCopyW(out, 6, u"abcde"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"abcde");
    EXPECT_EQ(RtlStringCchCopyW(out, 6, u"abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(out), u"abcde");
    EXPECT_EQ(RtlStringCbCopyW(out, 9, u"xyz"), STATUS_SUCCESS);  // odd byte counts round down
    EXPECT_EQ(RtlStringCbCopyW(out, 7, u"xyz"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(out), u"xy");
    EXPECT_EQ(RtlStringCchCopyW(out, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchCopyW(out, NTSTRSAFE_MAX_CCH + 1, u"x"), STATUS_INVALID_PARAMETER);
}

TEST(BoundedLength, FindsTheTerminatorOnlyWithinTheLimit) {
    SIZE_T n = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 4, &n), STATUS_SUCCESS);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 3, &n), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(RtlStringCchLengthW(nullptr, 3, &n), STATUS_INVALID_PARAMETER);
}

TEST(CountedStrings, CopyAppendAndInit) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"abc");
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(s.MaximumLength, 8);

    WCHAR buffer[5] = {u'#', u'#', u'#', u'#', u'#'};
    UNICODE_STRING d{0, sizeof(buffer), buffer};
    RtlCopyUnicodeString(&d, &s);
    EXPECT_EQ(d.Length, 6);
    EXPECT_EQ(buffer[3], 0);  // terminated: there was room
    EXPECT_EQ(RtlAppendUnicodeToString(&d, u"def"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(d.Length, 6);  // unchanged on failure
    EXPECT_EQ(RtlAppendUnicodeToString(&d, u"d"), STATUS_SUCCESS);
    EXPECT_EQ(d.Length, 8);
    EXPECT_EQ(buffer[4], 0);
    EXPECT_EQ(RtlAppendUnicodeToString(&d, u"e"), STATUS_SUCCESS);
    EXPECT_EQ(d.Length, 10);
    EXPECT_EQ(buffer[4], u'e');  // exactly full: no terminator, nothing written past the end
    EXPECT_EQ(RtlAppendUnicodeToString(&d, u"f"), STATUS_BUFFER_TOO_SMALL);

    WCHAR small[2] = {u'#', u'#'};
    UNICODE_STRING cut{0, sizeof(small), small};
    RtlCopyUnicodeString(&cut, &s);
    EXPECT_EQ(cut.Length, 4);  // as much as fits, no room for a terminator
    EXPECT_EQ(small[1], u'b');
}

TEST(CountedStrings, SystemBuffersAreFreedWithTheSystemTag) {
    host::Machine machine;
    UNICODE_STRING link{4, 6, static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 6, host::kSystemStringTag))};
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(link.Buffer, nullptr);
    EXPECT_EQ(link.Length, 0);
    EXPECT_TRUE(machine.pool().leakedTags().empty());
}

struct ConversionCase {
    const char16_t* text;
    ULONG base;
    NTSTATUS status;
    ULONG value;  // when the status is a success; else the output stays 0xAAAAAAAA
};

TEST(RtlUnicodeStringToInteger, FollowsTheWrittenRules) {
    const ConversionCase cases[] = {
        {u"1A2b", 16, STATUS_SUCCESS, 0x1A2B},
        {u"  42", 10, STATUS_SUCCESS, 42},
        {u"\t+17", 10, STATUS_SUCCESS, 17},
        {u"-1", 10, STATUS_SUCCESS, 0xFFFFFFFF},
        {u"0x1f", 0, STATUS_SUCCESS, 0x1F},
        {u"0o17", 0, STATUS_SUCCESS, 017},
        {u"0b101", 0, STATUS_SUCCESS, 5},
        {u"123", 0, STATUS_SUCCESS, 123},
        {u"0x1f", 16, STATUS_SUCCESS, 0},  // a prefix means something only in base 0
        {u"12z4", 10, STATUS_SUCCESS, 12},
        {u"129", 8, STATUS_SUCCESS, 012},
        {u"FFFFFFFF", 16, STATUS_SUCCESS, 0xFFFFFFFF},
        {u"100000000", 16, STATUS_INTEGER_OVERFLOW, 0},
        {u"4294967296", 10, STATUS_INTEGER_OVERFLOW, 0},
        {u"", 16, STATUS_INVALID_PARAMETER, 0},
        {u"   ", 10, STATUS_INVALID_PARAMETER, 0},
        {u"-", 10, STATUS_INVALID_PARAMETER, 0},
        {u"G", 16, STATUS_INVALID_PARAMETER, 0},
        {u"10", 3, STATUS_INVALID_PARAMETER, 0},
    };
    for (const ConversionCase& c : cases) {
        SCOPED_TRACE(std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text)) + " base " +
                     std::to_string(c.base));
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, c.text);
        ULONG value = 0xAAAAAAAA;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), c.status);
        EXPECT_EQ(value, NT_SUCCESS(c.status) ? c.value : 0xAAAAAAAA);
    }
}

TEST(RtlUnicodeStringToInteger, ReadsOnlyTheCountedCharacters) {
    WCHAR text[] = u"12345";
    UNICODE_STRING s{4, 4, text};  // "12"
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&s, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);
}

TEST(RtlGetVersion, ReportsTheConfiguredVersionAndChecksTheSize) {
    host::Machine machine(host::MachineOptions{true, 6, 1, 7601});
    RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_EQ(RtlGetVersion(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_EQ(info.dwBuildNumber, 7601u);
    info.dwOSVersionInfoSize = 100;
    EXPECT_EQ(RtlGetVersion(&info), STATUS_INVALID_PARAMETER);
}

}  // namespace

// A loaded image formats through the kernel's _vsnwprintf with a Windows argument list: the
// same texts as the driver compiled here, with the count semantics its safe-string routines
// rely on.
NTAPI int CallVsnwprintf(WCHAR* buffer, SIZE_T count, PCWSTR format, ...) {
    __builtin_ms_va_list list;
    __builtin_ms_va_start(list, format);
    const int written = host::vsnwprintf(buffer, count, format, list);
    __builtin_ms_va_end(list);
    return written;
}

TEST(ImageFormatting, AWindowsArgumentListGivesTheDriversTexts) {
    WCHAR out[64];
    EXPECT_EQ(CallVsnwprintf(out, 63, u"AddDevice Code:%u status:0x%x", 2u, 0xC0000001u), 34);
    EXPECT_EQ(std::u16string(out), u"AddDevice Code:2 status:0xc0000001");
    EXPECT_EQ(CallVsnwprintf(out, 63, u"%08x|%-3d|%d|%llx|%I64u", 0x1Fu, 7, -5,
                             0x1122334455667788ull, 18446744073709551615ull),
              53);
    EXPECT_EQ(std::u16string(out), u"0000001f|7  |-5|1122334455667788|18446744073709551615");
    EXPECT_EQ(CallVsnwprintf(out, 63, u"[%ws|%s|%hs|%ws]", u"wide", u"plain", "narrow",
                             static_cast<PCWSTR>(nullptr)),
              26);
    EXPECT_EQ(std::u16string(out), u"[wide|plain|narrow|(null)]");
}

TEST(ImageFormatting, CountsAsTheKernelsRoutine) {
    WCHAR out[8];
    std::fill(std::begin(out), std::end(out), u'#');
    EXPECT_EQ(CallVsnwprintf(out, 4, u"abc"), 3);  // fits: terminated
    EXPECT_EQ(out[3], 0);
    std::fill(std::begin(out), std::end(out), u'#');
    EXPECT_EQ(CallVsnwprintf(out, 3, u"abc"), 3);  // exactly: no terminator
    EXPECT_EQ(out[3], u'#');
    EXPECT_EQ(CallVsnwprintf(out, 2, u"abc"), -1);  // cut: count characters, no more
    EXPECT_EQ(out[1], u'b');
    EXPECT_EQ(out[2], u'c');  // left from before
    EXPECT_EQ(CallVsnwprintf(out, 8, u"%q"), -1);
}
