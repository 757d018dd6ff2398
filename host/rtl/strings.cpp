// Counted strings and the bounded wide-string routines. The bounded ones never write past the
// capacity they are given and say so when they had to cut.
#include <algorithm>

#include "host/rtl/rtl.h"
#include "platform/rtl.h"

namespace {

SIZE_T boundedLength(PCWSTR text, SIZE_T maxChars) {
    SIZE_T n = 0;
    while (n < maxChars && text[n] != 0) {
        ++n;
    }
    return n;
}

}  // namespace

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    if (source == nullptr) {
        *destination = {0, 0, nullptr};
        return;
    }
    // The terminator must still be countable in MaximumLength.
    const SIZE_T maxChars = host::kMaxUnicodeStringBytes / sizeof(WCHAR) - 1;
    const SIZE_T chars = boundedLength(source, maxChars);
    destination->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    destination->MaximumLength = static_cast<USHORT>(destination->Length + sizeof(WCHAR));
    destination->Buffer = const_cast<PWSTR>(source);
}

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    if (source == nullptr || source->Buffer == nullptr) {
        destination->Length = 0;
        return;
    }
    USHORT bytes = std::min(source->Length, destination->MaximumLength);
    bytes &= static_cast<USHORT>(~1u);
    std::memmove(destination->Buffer, source->Buffer, bytes);
    destination->Length = bytes;
    if (bytes + sizeof(WCHAR) <= destination->MaximumLength) {
        destination->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
    if (source == nullptr) {
        return STATUS_SUCCESS;
    }
    const SIZE_T bytes = boundedLength(source, host::kMaxUnicodeStringBytes) * sizeof(WCHAR);
    if (destination->Length + bytes > destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(destination->Buffer + destination->Length / sizeof(WCHAR), source, bytes);
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength) {
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING string) {
    if (string->Buffer != nullptr) {
        ExFreePoolWithTag(string->Buffer, host::kSystemStringTag);
    }
    *string = {0, 0, nullptr};
}

NTSTATUS RtlStringCchLengthW(PCWSTR string, SIZE_T maxChars, SIZE_T* length) {
    if (string == nullptr || maxChars == 0 || maxChars > NTSTRSAFE_MAX_CCH) {
        if (length != nullptr) {
            *length = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    const SIZE_T n = boundedLength(string, maxChars);
    if (n == maxChars) {
        if (length != nullptr) {
            *length = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    if (length != nullptr) {
        *length = n;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringCchCopyW(PWSTR destination, SIZE_T destinationChars, PCWSTR source) {
    if (destination == nullptr || destinationChars == 0 || destinationChars > NTSTRSAFE_MAX_CCH) {
        return STATUS_INVALID_PARAMETER;
    }
    if (source == nullptr) {
        destination[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    SIZE_T i = 0;
    while (i + 1 < destinationChars && source[i] != 0) {
        destination[i] = source[i];
        ++i;
    }
    destination[i] = 0;
    return source[i] == 0 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlStringCbCopyW(PWSTR destination, SIZE_T destinationBytes, PCWSTR source) {
    return RtlStringCchCopyW(destination, destinationBytes / sizeof(WCHAR), source);
}
