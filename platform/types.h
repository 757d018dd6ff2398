// Basic kernel types as the driver logic sees them. Widths follow the Windows x64 data model
// (LONG and ULONG are 32-bit, whatever `long` is); text is UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The system's calling convention. The kernel's and the framework's entry points, and every
// callback the system makes into a driver, follow the Windows x64 convention, so the machine
// calls a driver compiled here and a loaded Windows image alike and hands either its own
// functions. Where the compiler targets Windows it is the only convention there is.
#if defined(_WIN32)
#define NTAPI
#else
#define NTAPI __attribute__((ms_abi))
#endif

using VOID = void;
using PVOID = void*;
using CHAR = char;
using UCHAR = std::uint8_t;
using PUCHAR = UCHAR*;
using PCHAR = CHAR*;
using BOOLEAN = std::uint8_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using PUSHORT = USHORT*;
#if defined(_WIN32)
using LONG = long;  // the WDK's own choice; 32-bit under the Windows data model
using ULONG = unsigned long;
#else
using LONG = std::int32_t;
using ULONG = std::uint32_t;
#endif
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4);
using PULONG = ULONG*;
using LONG64 = std::int64_t;
using ULONG64 = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using SIZE_T = std::size_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using NTSTATUS = LONG;
using HANDLE = void*;
using ACCESS_MASK = ULONG;
using KPRIORITY = LONG;
using KIRQL = UCHAR;
using CSHORT = SHORT;
using CCHAR = CHAR;

// WCHAR is one UTF-16 unit: wchar_t where the compiler targets Windows, as the WDK has it, and
// char16_t elsewhere, because wchar_t is 32-bit on Linux. WIDE("text") is a literal of that type,
// the one way the driver logic writes wide text.
#if defined(_WIN32)
using WCHAR = wchar_t;
#define WIDE(text) L##text
#else
using WCHAR = char16_t;
#define WIDE(text) u##text
#endif
static_assert(sizeof(WCHAR) == 2);
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

enum KPROCESSOR_MODE : std::int8_t { KernelMode = 0, UserMode = 1 };
enum KWAIT_REASON : ULONG { Executive = 0 };

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
static_assert(sizeof(LARGE_INTEGER) == 8);

// A link of a doubly linked list, as the kernel's lists are made.
struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

// Counted UTF-16 string; lengths are in bytes, the buffer need not be terminated.
struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};
static_assert(sizeof(GUID) == 16);

constexpr bool IsEqualGUID(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}

inline void RtlZeroMemory(void* destination, SIZE_T length) { std::memset(destination, 0, length); }
inline void RtlFillMemory(void* destination, SIZE_T length, UCHAR fill) {
    std::memset(destination, fill, length);
}
inline void RtlCopyMemory(void* destination, const void* source, SIZE_T length) {
    std::memcpy(destination, source, length);
}
inline void RtlMoveMemory(void* destination, const void* source, SIZE_T length) {
    std::memmove(destination, source, length);
}
