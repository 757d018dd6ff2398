// The image's entry point: binds the driver to the framework version its headers describe, runs
// DriverEntry, and unbinds when the driver is unloaded or its entry fails. The framework's
// loader (WDFLDR.SYS) exports the bind and unbind calls; the shapes below are its bind
// structures as the framework's sources publish them.
#include "platform/wdf.h"

extern "C" {

// The framework's function table and this driver's globals: the bind fills both. From version
// 1.15 on the loader receives the address of WdfFunctions and points it at the framework's own
// table instead of copying the table into the image.
const WDFFUNC* WdfFunctions_01015 = nullptr;
PWDF_DRIVER_GLOBALS WdfDriverGlobals = nullptr;

struct WDF_VERSION {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
};

struct WDF_BIND_INFO {
    ULONG Size;
    PWCHAR Component;
    WDF_VERSION Version;
    ULONG FuncCount;
    WDFFUNC* FuncTable;
    PVOID Module;  // the loader's own
};
static_assert(sizeof(WDF_BIND_INFO) == 48);

__declspec(dllimport) NTSTATUS WdfVersionBind(PDRIVER_OBJECT driverObject,
                                              PUNICODE_STRING registryPath,
                                              WDF_BIND_INFO* bindInfo,
                                              PWDF_DRIVER_GLOBALS* globals);
__declspec(dllimport) NTSTATUS WdfVersionUnbind(PUNICODE_STRING registryPath,
                                                WDF_BIND_INFO* bindInfo,
                                                PWDF_DRIVER_GLOBALS globals);

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
DRIVER_INITIALIZE FxDriverEntry;

}  // extern "C"

namespace {

WCHAR kComponent[] = L"KmdfLibrary";

WDF_BIND_INFO BindInfo = {
    sizeof(WDF_BIND_INFO),
    kComponent,
    {1, 15, 0},
    WdfFunctionTableNumEntries,
    reinterpret_cast<WDFFUNC*>(const_cast<WDFFUNC**>(&WdfFunctions_01015)),
    nullptr,
};

// The unbind needs the registry path after the system's copy is gone.
UNICODE_STRING BoundRegistryPath = {0, 0, nullptr};
constexpr ULONG kRegistryPathTag = 0x62757453;  // "Stub"

PDRIVER_UNLOAD FrameworkUnload = nullptr;

void Unbind() {
    WdfVersionUnbind(&BoundRegistryPath, &BindInfo, WdfDriverGlobals);
    if (BoundRegistryPath.Buffer != nullptr) {
        ExFreePoolWithTag(BoundRegistryPath.Buffer, kRegistryPathTag);
        BoundRegistryPath = {0, 0, nullptr};
    }
}

void StubDriverUnload(PDRIVER_OBJECT driverObject) {
    if (FrameworkUnload != nullptr) {
        FrameworkUnload(driverObject);
    }
    Unbind();
}

}  // namespace

extern "C" NTSTATUS FxDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    if (registryPath == nullptr || registryPath->Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    BoundRegistryPath.Buffer = static_cast<PWCH>(
        ExAllocatePoolWithTag(PagedPool, registryPath->Length, kRegistryPathTag));
    if (BoundRegistryPath.Buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    BoundRegistryPath.MaximumLength = registryPath->Length;
    RtlCopyUnicodeString(&BoundRegistryPath, registryPath);

    NTSTATUS status = WdfVersionBind(driverObject, &BoundRegistryPath, &BindInfo, &WdfDriverGlobals);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(BoundRegistryPath.Buffer, kRegistryPathTag);
        BoundRegistryPath = {0, 0, nullptr};
        return status;
    }

    status = DriverEntry(driverObject, registryPath);
    if (!NT_SUCCESS(status)) {
        Unbind();
        return status;
    }

    // The framework set the driver's unload routine; run ours around it so the unbind comes
    // last. A driver that asked to keep its own unload is not displaced.
    if (WdfDriverGlobals->DisplaceDriverUnload && driverObject->DriverUnload != nullptr) {
        FrameworkUnload = driverObject->DriverUnload;
        driverObject->DriverUnload = StubDriverUnload;
    }
    return STATUS_SUCCESS;
}
