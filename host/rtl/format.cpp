// printf into a fixed UTF-16 buffer with strsafe's rules: never past the buffer, always
// terminated, STATUS_BUFFER_OVERFLOW when the text had to be cut. One formatter serves the
// driver compiled here and a loaded image (host/rtl/format.h).
#include "host/rtl/format.h"

#include <algorithm>
#include <initializer_list>

#include "platform/rtl.h"

namespace host {

namespace {

struct Spec {
    bool leftAlign = false;
    bool zeroPad = false;
    std::size_t width = 0;
    bool wide64 = false;  // ll or I64: the argument is taken at 64 bits
};

// A width beyond this cannot be meant; it would only make a text no buffer holds.
constexpr std::size_t kMaxWidth = 0x10000;

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
    const std::size_t fill = spec.width - body.size();
    if (spec.leftAlign) {
        return body + std::u16string(fill, u' ');
    }
    if (spec.zeroPad && numeric) {
        const std::size_t signAt = (!body.empty() && body[0] == u'-') ? 1 : 0;
        body.insert(signAt, std::u16string(fill, u'0'));
        return body;
    }
    return std::u16string(fill, u' ') + body;
}

std::u16string widened(const char* text) {
    std::u16string out;
    for (; *text != 0; ++text) {
        out += static_cast<char16_t>(static_cast<unsigned char>(*text));
    }
    return out;
}

// The typed arguments of a call compiled here. Integers arrive widened: a conversion without a
// 64-bit prefix sees the low 32 bits, as a C varargs call would, so an NTSTATUS prints as
// 0xc0000001 and not with 32 leading ones.
class TypedArguments final : public FormatArguments {
public:
    TypedArguments(const RtlFormatArg* begin, const RtlFormatArg* end) : next_(begin), end_(end) {}

    std::optional<ULONG64> integer(bool wide64) override {
        if (next_ == end_ || next_->kind == RtlFormatArg::Kind::WideString) {
            return std::nullopt;
        }
        const RtlFormatArg& arg = *next_++;
        const ULONG64 raw = arg.kind == RtlFormatArg::Kind::Signed
                                ? static_cast<ULONG64>(arg.signedValue)
                                : arg.unsignedValue;
        return wide64 ? raw : (raw & 0xFFFFFFFFull);
    }
    std::optional<std::u16string> wideString() override {
        if (next_ == end_ || next_->kind != RtlFormatArg::Kind::WideString) {
            return std::nullopt;
        }
        PCWSTR text = (next_++)->wideString;
        return text == nullptr ? u"(null)" : std::u16string(text);
    }
    std::optional<std::u16string> narrowString() override { return std::nullopt; }

private:
    const RtlFormatArg* next_;
    const RtlFormatArg* end_;
};

}  // namespace

std::optional<ULONG64> WindowsArguments::integer(bool wide64) {
    return wide64 ? __builtin_va_arg(list_, ULONG64) : __builtin_va_arg(list_, ULONG);
}
std::optional<std::u16string> WindowsArguments::wideString() {
    const auto* text = __builtin_va_arg(list_, const char16_t*);
    return text == nullptr ? u"(null)" : std::u16string(text);
}
std::optional<std::u16string> WindowsArguments::narrowString() {
    const auto* text = __builtin_va_arg(list_, const char*);
    return text == nullptr ? u"(null)" : widened(text);
}

std::optional<std::u16string> formatText(std::u16string_view format, FormatArguments& arguments,
                                         PlainString plainString) {
    std::u16string out;
    const char16_t* p = format.data();
    const char16_t* const end = p + format.size();
    const auto at = [&](std::size_t i) { return p + i < end ? p[i] : u'\0'; };
    for (; p < end; ++p) {
        if (*p != u'%') {
            out += *p;
            continue;
        }
        ++p;
        if (at(0) == u'%') {
            out += u'%';
            continue;
        }
        Spec spec;
        for (;; ++p) {
            if (at(0) == u'-') {
                spec.leftAlign = true;
            } else if (at(0) == u'0') {
                spec.zeroPad = true;
            } else {
                break;
            }
        }
        while (at(0) >= u'0' && at(0) <= u'9') {
            spec.width = spec.width * 10 + static_cast<std::size_t>(at(0) - u'0');
            if (spec.width > kMaxWidth) {
                return std::nullopt;
            }
            ++p;
        }
        bool wideString = plainString == PlainString::Wide;
        if (at(0) == u'l' && at(1) == u'l') {
            spec.wide64 = true;
            p += 2;
        } else if (at(0) == u'I' && at(1) == u'6' && at(2) == u'4') {
            spec.wide64 = true;
            p += 3;
        } else if ((at(0) == u'w' || at(0) == u'l') && at(1) == u's') {
            wideString = true;
            ++p;
        } else if (at(0) == u'h' && at(1) == u's') {
            wideString = false;
            ++p;
        } else if (at(0) == u'l') {
            ++p;  // LONG is 32-bit: 'l' changes nothing
        }

        const char16_t conversion = at(0);
        if (conversion == u's' || conversion == u'S') {
            const bool wide = conversion == u's' ? wideString : !wideString;
            std::optional<std::u16string> text =
                wide ? arguments.wideString() : arguments.narrowString();
            if (!text) {
                return std::nullopt;
            }
            out += pad(*text, spec, false);
            continue;
        }
        if (conversion != u'u' && conversion != u'x' && conversion != u'X' &&
            conversion != u'd' && conversion != u'i') {
            return std::nullopt;
        }
        const std::optional<ULONG64> value = arguments.integer(spec.wide64);
        if (!value) {
            return std::nullopt;
        }
        if (conversion == u'u') {
            out += pad(digits(*value, 10, false), spec, true);
        } else if (conversion == u'x' || conversion == u'X') {
            out += pad(digits(*value, 16, conversion == u'X'), spec, true);
        } else {
            const LONG64 number = spec.wide64 ? static_cast<LONG64>(*value)
                                              : static_cast<LONG64>(static_cast<LONG>(*value));
            const ULONG64 magnitude = number < 0 ? 0 - static_cast<ULONG64>(number)
                                                 : static_cast<ULONG64>(number);
            out += pad((number < 0 ? u"-" : u"") + digits(magnitude, 10, false), spec, true);
        }
    }
    return out;
}

int vsnwprintf(WCHAR* buffer, SIZE_T count, PCWSTR format, __builtin_ms_va_list list) {
    if (buffer == nullptr || format == nullptr) {
        return -1;
    }
    WindowsArguments arguments(list);
    const std::optional<std::u16string> text =
        formatText(std::u16string_view(format), arguments, PlainString::Wide);
    if (!text) {
        return -1;
    }
    const std::size_t copied = std::min<std::size_t>(text->size(), count);
    std::copy(text->begin(), text->begin() + static_cast<std::ptrdiff_t>(copied), buffer);
    if (text->size() < count) {
        buffer[text->size()] = 0;
    }
    return text->size() > count ? -1 : static_cast<int>(text->size());
}

}  // namespace host

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
    host::TypedArguments typed(arguments.begin(), arguments.end());
    const std::optional<std::u16string> text =
        host::formatText(std::u16string_view(format), typed, host::PlainString::Wide);
    if (!text) {
        destination[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (text->size() < capacity) {
        std::copy(text->begin(), text->end(), destination);
        destination[text->size()] = 0;
        return STATUS_SUCCESS;
    }
    std::copy(text->begin(), text->begin() + static_cast<std::ptrdiff_t>(capacity - 1), destination);
    destination[capacity - 1] = 0;
    return STATUS_BUFFER_OVERFLOW;
}
