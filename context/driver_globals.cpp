#include "context/driver_globals.h"

#include "platform/kernel_helpers.h"
#include "platform/registry.h"
#include "platform/rtl.h"
#include "platform/trace.h"

POOL_TYPE NonPagedPoolType = NonPagedPool;
UNICODE_STRING RegistryPathCopy = {0, 0, nullptr};
UNICODE_STRING ParametersKeyPath = {0, 0, nullptr};

NTSTATUS QueryParameterDword(HANDLE key, PCWSTR valueName, PVOID buffer, ULONG bufferSize,
                             PULONG value) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG resultLength = 0;
    const NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer,
                                            bufferSize, &resultLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const auto* information = static_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    if (information->DataLength >= sizeof(ULONG)) {
        RtlCopyMemory(value, information->Data, sizeof(ULONG));
    }
    return status;
}

NTSTATUS ReadRegGlobalParameterDword(WDFDEVICE, PCWSTR valueName, PULONG value) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &ParametersKeyPath,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "Parameters key not opened: 0x%x", status);
        return status;
    }
    PoolBuffer buffer(PagedPool, OSTDFU_PARAMETER_BUFFER_SIZE, OSTDFU_TAG_READ_PARAMETER);
    if (!buffer) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = QueryParameterDword(key, valueName, buffer.get(), OSTDFU_PARAMETER_BUFFER_SIZE, value);
    ZwClose(key);
    return status;
}
