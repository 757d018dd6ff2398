#include "driver/driver.h"

#include "driver/callbacks.h"
#include "driver/device_add.h"
#include "notify/event_log.h"
#include "platform/registry.h"
#include "platform/rtl.h"
#include "platform/trace.h"

namespace {

constexpr WCHAR kParametersSuffix[] = WIDE("\\Parameters");
// Bytes the Parameters path needs beyond the registry path: the suffix, its terminator and
// two spare bytes.
constexpr ULONG kParametersExtraBytes = sizeof(kParametersSuffix) + sizeof(WCHAR);
static_assert(kParametersExtraBytes == 26);

// The version from which non-paged memory must be requested as no-execute.
bool IsNoExecutePoolSystem() {
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (!NT_SUCCESS(RtlGetVersion(&version))) {
        return false;
    }
    return version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
}

void FreePathString(PUNICODE_STRING path) {
    if (path->Buffer != nullptr) {
        ExFreePoolWithTag(path->Buffer, OSTDFU_TAG_REGISTRY_PATH);
    }
    *path = {0, 0, nullptr};
}

void LogDriverText(PDRIVER_OBJECT driverObject, PCWSTR text) {
    LogFormattedEvent(driverObject, OSTDFU_EVENT_INFORMATION, WIDE("%ws"), text);
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    // The image may be loaded again in the same process: begin from the values a fresh load
    // has.
    NonPagedPoolType = IsNoExecutePoolSystem() ? NonPagedPoolNx : NonPagedPool;
    RegistryPathCopy = {0, 0, nullptr};
    ParametersKeyPath = {0, 0, nullptr};
    ResetStreamCount();
    ResetDevicesAdded();

    WPP_INIT_TRACING(driverObject, registryPath);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "pool type 0x%x", NonPagedPoolType);

    LogDriverText(driverObject, WIDE("DriverEntry"));

    // Both copies must still be countable in a UNICODE_STRING with their extra bytes; a longer
    // path would wrap the maximum length and leave a cut, unterminated path behind.
    const ULONG pathBytes = registryPath->Length;
    if (pathBytes + kParametersExtraBytes > 0xFFFF) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "registry path of %u bytes is too long",
                    pathBytes);
        WPP_CLEANUP(driverObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RegistryPathCopy.Length = 0;
    RegistryPathCopy.MaximumLength = static_cast<USHORT>(pathBytes + sizeof(WCHAR));
    RegistryPathCopy.Buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, RegistryPathCopy.MaximumLength, OSTDFU_TAG_REGISTRY_PATH));
    if (RegistryPathCopy.Buffer == nullptr) {
        RegistryPathCopy = {0, 0, nullptr};
        WPP_CLEANUP(driverObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(&RegistryPathCopy, registryPath);

    ParametersKeyPath.Length = 0;
    ParametersKeyPath.MaximumLength = static_cast<USHORT>(pathBytes + kParametersExtraBytes);
    ParametersKeyPath.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(
        PagedPool, ParametersKeyPath.MaximumLength, OSTDFU_TAG_REGISTRY_PATH));
    if (ParametersKeyPath.Buffer == nullptr) {
        ParametersKeyPath = {0, 0, nullptr};
        FreePathString(&RegistryPathCopy);
        WPP_CLEANUP(driverObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(ParametersKeyPath.Buffer, ParametersKeyPath.MaximumLength);
    // The copy is terminated (it has room for it); the caller's buffer need not be.
    NTSTATUS status = RtlAppendUnicodeToString(&ParametersKeyPath, RegistryPathCopy.Buffer);
    if (NT_SUCCESS(status)) {
        status = RtlAppendUnicodeToString(&ParametersKeyPath, kParametersSuffix);
    }
    if (!NT_SUCCESS(status) || ParametersKeyPath.MaximumLength < ParametersKeyPath.Length + sizeof(WCHAR)) {
        FreePathString(&ParametersKeyPath);
        FreePathString(&RegistryPathCopy);
        WPP_CLEANUP(driverObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, OstDFUDeviceEvtAdd);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = OstDFUDriverEvtContextCleanup;
    status = WdfDriverCreate(driverObject, registryPath, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "WdfDriverCreate failed 0x%x", status);
        FreePathString(&ParametersKeyPath);
        FreePathString(&RegistryPathCopy);
        WPP_CLEANUP(driverObject);
        return status;
    }
    return STATUS_SUCCESS;
}

void OstDFUDriverEvtContextCleanup(WDFOBJECT driver) {
    FreePathString(&RegistryPathCopy);
    FreePathString(&ParametersKeyPath);
    PDRIVER_OBJECT driverObject = WdfDriverWdmGetDriverObject(static_cast<WDFDRIVER>(driver));
    LogDriverText(driverObject, WIDE("DriverEvtContextCleanup"));
    WPP_CLEANUP(driverObject);
}
