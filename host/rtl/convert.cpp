// Text to number. The rules are written down in docs/conversions.md; in short: blanks and one
// sign may lead, base 0 takes a 0x/0o/0b prefix, digits end at the first character that is not
// one, no digit at all or a value past 32 bits is a failure and leaves the output alone.
#include "platform/rtl.h"

namespace {

int digitValue(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return 99;
}

}  // namespace

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value) {
    if (string == nullptr || value == nullptr ||
        (base != 0 && base != 2 && base != 8 && base != 10 && base != 16)) {
        return STATUS_INVALID_PARAMETER;
    }
    const SIZE_T count = string->Buffer == nullptr ? 0 : string->Length / sizeof(WCHAR);
    PCWSTR text = string->Buffer;
    SIZE_T i = 0;
    while (i < count && text[i] <= u' ') {
        ++i;
    }
    bool negative = false;
    if (i < count && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (base == 0) {
        base = 10;
        if (i + 1 < count && text[i] == u'0') {
            const WCHAR marker = text[i + 1];
            if (marker == u'x' || marker == u'X') base = 16;
            if (marker == u'o' || marker == u'O') base = 8;
            if (marker == u'b' || marker == u'B') base = 2;
            if (base != 10) i += 2;
        }
    }
    ULONG64 result = 0;
    SIZE_T used = 0;
    for (; i < count; ++i, ++used) {
        const int d = digitValue(text[i]);
        if (d >= static_cast<int>(base)) {
            break;
        }
        result = result * base + static_cast<ULONG64>(d);
        if (result > 0xFFFFFFFFull) {
            return STATUS_INTEGER_OVERFLOW;
        }
    }
    if (used == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG magnitude = static_cast<ULONG>(result);
    *value = negative ? 0u - magnitude : magnitude;
    return STATUS_SUCCESS;
}
