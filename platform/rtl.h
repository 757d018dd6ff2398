// Run-time library routines the driver uses: counted strings, bounded copies and formatting
// that report overflow instead of silently truncating, base-N conversion, the version query.
#pragma once

#include <initializer_list>
#include <type_traits>

#include "platform/ntstatus.h"

// Bounded routines refuse destinations larger than this many characters (strsafe's limit).
inline constexpr SIZE_T NTSTRSAFE_MAX_CCH = 2147483647;

NTAPI void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
// Copies min(source length, destination capacity) bytes; terminates when room is left.
NTAPI void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
// STATUS_BUFFER_TOO_SMALL, destination unchanged, when the text does not fit.
NTAPI NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);
// Frees a string buffer that a system routine allocated for the driver (interface links).
NTAPI void RtlFreeUnicodeString(PUNICODE_STRING string);

// Length in characters of a terminated string of at most maxChars characters;
// STATUS_INVALID_PARAMETER when no terminator lies within maxChars.
NTSTATUS RtlStringCchLengthW(PCWSTR string, SIZE_T maxChars, SIZE_T* length);

// Bounded copies: on overflow the destination holds the cut, terminated text and the result is
// STATUS_BUFFER_OVERFLOW; a zero or oversized destination gives STATUS_INVALID_PARAMETER.
NTSTATUS RtlStringCchCopyW(PWSTR destination, SIZE_T destinationChars, PCWSTR source);
NTSTATUS RtlStringCbCopyW(PWSTR destination, SIZE_T destinationBytes, PCWSTR source);

// One printf argument; built implicitly from the integer and string types the driver passes.
struct RtlFormatArg {
    enum class Kind { Unsigned, Signed, WideString } kind;
    ULONG64 unsignedValue = 0;
    LONG64 signedValue = 0;
    PCWSTR wideString = nullptr;

    template <class T>
        requires std::is_integral_v<T> || std::is_enum_v<T>
    RtlFormatArg(T value) {  // NOLINT(google-explicit-constructor)
        if constexpr (std::is_signed_v<T>) {
            kind = Kind::Signed;
            signedValue = static_cast<LONG64>(value);
        } else {
            kind = Kind::Unsigned;
            unsignedValue = static_cast<ULONG64>(value);
        }
    }
    RtlFormatArg(PCWSTR text) : kind(Kind::WideString), wideString(text) {}  // NOLINT
    RtlFormatArg(PWSTR text) : kind(Kind::WideString), wideString(text) {}   // NOLINT
};

// printf into a byte-sized buffer. Conversions: %u %d %x %X with flags '0', width, and the
// length prefixes l, ll, I64 (accepted, values are already widened); %ws for a wide string;
// %% for a percent sign. Unknown conversions or a missing argument: STATUS_INVALID_PARAMETER.
NTSTATUS RtlStringCbPrintfWArgs(PWSTR destination, SIZE_T destinationBytes, PCWSTR format,
                                std::initializer_list<RtlFormatArg> arguments);

template <class... Args>
NTSTATUS RtlStringCbPrintfW(PWSTR destination, SIZE_T destinationBytes, PCWSTR format,
                            Args... arguments) {
    return RtlStringCbPrintfWArgs(destination, destinationBytes, format,
                                  {RtlFormatArg(arguments)...});
}

// Converts the text of a counted string in the given base (2, 8, 10 or 16) to a ULONG.
// The rules (leading blanks, sign, where digits end, overflow) are written down in
// docs/conversions.md.
NTAPI NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value);

struct RTL_OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
};
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276);

NTAPI NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* versionInformation);
