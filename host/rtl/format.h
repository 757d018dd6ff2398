// The machine's one printf, behind every formatting call a driver makes: RtlStringCbPrintfW of a
// driver compiled here (typed arguments), and _vsnwprintf and DbgPrintEx of a loaded Windows
// image (a Windows argument list). Conversions: %u %d %i %x %X with the flags '-' and '0', a
// width, and the length prefixes l (no effect: LONG is 32-bit), ll and I64 (64-bit); strings
// %s %ws %ls %hs %S; %% for a percent sign.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace host {

// Where a printf takes its arguments from, one conversion at a time. nullopt: no argument
// left, or one of another kind.
class FormatArguments {
public:
    // The argument's bits: its low 32 only, unless wide64.
    virtual std::optional<ULONG64> integer(bool wide64) = 0;
    virtual std::optional<std::u16string> wideString() = 0;
    virtual std::optional<std::u16string> narrowString() = 0;

protected:
    ~FormatArguments() = default;
};

// What a plain %s takes: a wide string in a wide printf, a narrow one in a narrow printf (%S
// takes the other kind).
enum class PlainString { Wide, Narrow };

// The formatted text; nullopt for a conversion this printf does not know or an argument it
// could not take.
std::optional<std::u16string> formatText(std::u16string_view format, FormatArguments& arguments,
                                         PlainString plainString);

// The kernel's _vsnwprintf, as a loaded image calls it (from its safe-string routines): writes
// at most count characters; returns the length when it fits with room for the terminator,
// count without a terminator when it fits exactly, and -1 when the text was cut or the format
// refused.
NTAPI int vsnwprintf(WCHAR* buffer, SIZE_T count, PCWSTR format, __builtin_ms_va_list arguments);

// Reads a Windows argument list as a printf would.
class WindowsArguments final : public FormatArguments {
public:
    explicit WindowsArguments(__builtin_ms_va_list list) : list_(list) {}
    std::optional<ULONG64> integer(bool wide64) override;
    std::optional<std::u16string> wideString() override;
    std::optional<std::u16string> narrowString() override;

private:
    __builtin_ms_va_list list_;
};

}  // namespace host
