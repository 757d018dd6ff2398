// The device's instance string: the lower-case identifier cut out of the full name of its
// hardware registry key, "\REGISTRY\MACHINE\...\Enum\USB\VID_xxxx&PID_xxxx\<instance>\Device
// Parameters". A device with a serial number has that serial as its instance; one without has a
// generated "5&1a2b3c4d&0&2"-style id, of which the last two &-parts name the port and are
// dropped, so the string stays the same wherever the device is plugged.
#include "context/device_context.h"
#include "context/driver_globals.h"
#include "platform/kernel_helpers.h"
#include "platform/registry.h"
#include "platform/rtl.h"
#include "platform/trace.h"
#include "usb/instance_string.h"
#include "usb/port_services.h"

namespace {

constexpr ULONG TAG_KEY_NAME = PoolTag("objn");

// The last position at or below from, and above 0, that holds c: the first character of the name
// is never looked at. false when there is none.
bool FindBackward(const WCHAR* text, SIZE_T from, WCHAR c, SIZE_T* at) {
    for (SIZE_T i = from; i > 0; --i) {
        if (text[i] == c) {
            *at = i;
            return true;
        }
    }
    return false;
}

}  // namespace

BOOLEAN FindInstanceStringInKeyName(PWSTR text, SIZE_T characters, BOOLEAN hasSerialNumber,
                                    PCWSTR* instance) {
    if (characters < 2) {
        return FALSE;
    }
    SIZE_T at = 0;
    if (!FindBackward(text, characters - 1, u'\\', &at)) {
        return FALSE;
    }
    text[at] = 0;
    if (!hasSerialNumber) {
        for (int part = 0; part < 2; ++part) {
            if (!FindBackward(text, at - 1, u'&', &at)) {
                return FALSE;
            }
            text[at] = 0;
        }
    }
    if (!FindBackward(text, at - 1, u'\\', &at)) {
        return FALSE;
    }
    *instance = text + at + 1;
    return TRUE;
}

PWSTR AllocateInstanceStringCopy(PCWSTR string, SIZE_T* size) {
    *size = 0;
    if (string == nullptr) {
        return nullptr;
    }
    SIZE_T length = 0;
    if (!NT_SUCCESS(RtlStringCchLengthW(string, NTSTRSAFE_MAX_CCH, &length))) {
        return nullptr;
    }
    const SIZE_T bytes = length * sizeof(WCHAR) + 8;
    PoolBuffer copy(NonPagedPoolType, bytes, INSTANCE_STRING_TAG);
    if (!copy) {
        return nullptr;
    }
    RtlZeroMemory(copy.get(), bytes);
    if (!NT_SUCCESS(RtlStringCchCopyW(copy.get<WCHAR>(), bytes / sizeof(WCHAR), string))) {
        return nullptr;
    }
    *size = bytes;
    return static_cast<PWSTR>(copy.release());
}

PWSTR QueryInstanceString(WDFDEVICE device, PDEVICE_OBJECT physicalDeviceObject, SIZE_T* size) {
    PFDO_DATA fdo = FdoGetData(device);
    *size = 0;

    HANDLE key = nullptr;
    NTSTATUS status =
        IoOpenDeviceRegistryKey(physicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "hardware key not opened: 0x%x", status);
        return nullptr;
    }
    PVOID keyObject = nullptr;
    status =
        ObReferenceObjectByHandle(key, KEY_ALL_ACCESS, nullptr, KernelMode, &keyObject, nullptr);
    if (!NT_SUCCESS(status)) {
        ZwClose(key);
        return nullptr;
    }

    PWSTR result = nullptr;
    ULONG nameLength = 0;
    status = ObQueryNameString(keyObject, nullptr, 0, &nameLength);
    if (status == STATUS_INFO_LENGTH_MISMATCH && nameLength != 0) {
        const ULONG bytes = nameLength + 4;
        PoolBuffer nameBuffer(PagedPool, bytes, TAG_KEY_NAME);
        if (nameBuffer) {
            RtlZeroMemory(nameBuffer.get(), bytes);
            auto* name = nameBuffer.get<OBJECT_NAME_INFORMATION>();
            status = ObQueryNameString(keyObject, name, bytes, &nameLength);
            PCWSTR instance = nullptr;
            if (NT_SUCCESS(status) && name->Name.Buffer != nullptr &&
                FindInstanceStringInKeyName(name->Name.Buffer, name->Name.Length / sizeof(WCHAR),
                                            fdo->DeviceDescriptor.iSerialNumber != 0, &instance)) {
                result = AllocateInstanceStringCopy(instance, size);
                for (PWSTR c = result; c != nullptr && *c != 0; ++c) {
                    if (*c >= u'A' && *c <= u'Z') {
                        *c = static_cast<WCHAR>(*c - u'A' + u'a');
                    }
                }
            }
        }
    }
    ObfDereferenceObject(keyObject);
    ZwClose(key);
    if (result == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_USB, "no instance string");
    }
    return result;
}
