// printf into a fixed UTF-16 buffer with strsafe's rules: never past the buffer, always
// terminated, STATUS_BUFFER_OVERFLOW when the text had to be cut.
#include <string>

#include "platform/rtl.h"

namespace {

struct Spec {
    bool leftAlign = false;
    bool zeroPad = false;
    SIZE_T width = 0;
    bool wide64 = false;  // ll or I64: the argument is taken at 64 bits
};

// Integer arguments arrive widened; a conversion without a 64-bit prefix sees the low 32 bits,
// as a C varargs call would, so an NTSTATUS prints as 0xc0000001 and not with 32 leading ones.
ULONG64 unsignedOf(const RtlFormatArg& arg, bool wide64) {
    const ULONG64 raw = arg.kind == RtlFormatArg::Kind::Signed
                            ? static_cast<ULONG64>(arg.signedValue)
                            : arg.unsignedValue;
    return wide64 ? raw : (raw & 0xFFFFFFFFull);
}

LONG64 signedOf(const RtlFormatArg& arg, bool wide64) {
    const ULONG64 raw = unsignedOf(arg, true);
    return wide64 ? static_cast<LONG64>(raw) : static_cast<LONG64>(static_cast<LONG>(raw));
}

std::u16string digits(ULONG64 value, unsigned base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string out;
    do {
        out.insert(out.begin(), static_cast<char16_t>(set[value % base]));
        value /= base;
    } while (value != 0);
    return out;
}

std::u16string pad(std::u16string body, const Spec& spec, bool numeric) {
    if (body.size() >= spec.width) {
        return body;
    }
    const SIZE_T fill = spec.width - body.size();
    if (spec.leftAlign) {
        return body + std::u16string(fill, u' ');
    }
    if (spec.zeroPad && numeric) {
        const SIZE_T signAt = (!body.empty() && body[0] == u'-') ? 1 : 0;
        body.insert(signAt, std::u16string(fill, u'0'));
        return body;
    }
    return std::u16string(fill, u' ') + body;
}

}  // namespace

NTSTATUS RtlStringCbPrintfWArgs(PWSTR destination, SIZE_T destinationBytes, PCWSTR format,
                                std::initializer_list<RtlFormatArg> arguments) {
    const SIZE_T capacity = destinationBytes / sizeof(WCHAR);
    if (destination == nullptr || capacity == 0 || capacity > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    if (format == nullptr) {
        destination[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }

    std::u16string out;
    auto next = arguments.begin();
    for (PCWSTR p = format; *p != 0; ++p) {
        if (*p != u'%') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == u'%') {
            out += u'%';
            continue;
        }
        Spec spec;
        for (;; ++p) {
            if (*p == u'-') {
                spec.leftAlign = true;
            } else if (*p == u'0') {
                spec.zeroPad = true;
            } else {
                break;
            }
        }
        while (*p >= u'0' && *p <= u'9') {
            spec.width = spec.width * 10 + static_cast<SIZE_T>(*p - u'0');
            if (spec.width > capacity) {
                destination[0] = 0;
                return STATUS_INVALID_PARAMETER;
            }
            ++p;
        }
        if (p[0] == u'l' && p[1] == u'l') {
            spec.wide64 = true;
            p += 2;
        } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
            spec.wide64 = true;
            p += 3;
        } else if (p[0] == u'l' && p[1] != u's') {
            ++p;  // LONG is 32-bit: 'l' changes nothing
        }

        const char16_t conversion = *p;
        const bool wideString = (p[0] == u'w' && p[1] == u's') || (p[0] == u'l' && p[1] == u's') ||
                                p[0] == u's';
        if (conversion == 0 || next == arguments.end()) {
            destination[0] = 0;
            return STATUS_INVALID_PARAMETER;
        }
        const RtlFormatArg& arg = *next++;
        if (wideString) {
            if (p[0] != u's') {
                ++p;
            }
            if (arg.kind != RtlFormatArg::Kind::WideString) {
                destination[0] = 0;
                return STATUS_INVALID_PARAMETER;
            }
            const std::u16string text = arg.wideString == nullptr ? u"(null)" : arg.wideString;
            out += pad(text, spec, false);
            continue;
        }
        if (arg.kind == RtlFormatArg::Kind::WideString) {
            destination[0] = 0;
            return STATUS_INVALID_PARAMETER;
        }
        switch (conversion) {
            case u'u':
                out += pad(digits(unsignedOf(arg, spec.wide64), 10, false), spec, true);
                break;
            case u'x':
            case u'X':
                out += pad(digits(unsignedOf(arg, spec.wide64), 16, conversion == u'X'), spec,
                           true);
                break;
            case u'd':
            case u'i': {
                const LONG64 value = signedOf(arg, spec.wide64);
                const ULONG64 magnitude = value < 0 ? 0 - static_cast<ULONG64>(value)
                                                    : static_cast<ULONG64>(value);
                out += pad((value < 0 ? u"-" : u"") + digits(magnitude, 10, false), spec, true);
                break;
            }
            default:
                destination[0] = 0;
                return STATUS_INVALID_PARAMETER;
        }
    }

    if (out.size() < capacity) {
        std::copy(out.begin(), out.end(), destination);
        destination[out.size()] = 0;
        return STATUS_SUCCESS;
    }
    std::copy(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(capacity - 1), destination);
    destination[capacity - 1] = 0;
    return STATUS_BUFFER_OVERFLOW;
}
