#include "host/image/kernel_exports.h"

#include <cstring>

#include "host/rtl/format.h"
#include "host/trace_sink.h"
#include "platform/all.h"

namespace host::image {

namespace {

// The C run-time calls the compiler itself emits (structure copies and clears); the kernel
// exports them, with its own convention.
NTAPI void* CopyMemoryExport(void* destination, const void* source, SIZE_T length) {
    return std::memcpy(destination, source, length);
}
NTAPI void* MoveMemoryExport(void* destination, const void* source, SIZE_T length) {
    return std::memmove(destination, source, length);
}
NTAPI void* FillMemoryExport(void* destination, int fill, SIZE_T length) {
    return std::memset(destination, fill, length);
}

const ExportEntry kNtoskrnl[] = {
    {"DbgPrintEx", &DbgPrintEx},
    {"ExAllocatePoolWithTag", &ExAllocatePoolWithTag},
    {"ExCreateCallback", &ExCreateCallback},
    {"ExFreePoolWithTag", &ExFreePoolWithTag},
    {"ExNotifyCallback", &ExNotifyCallback},
    {"ExRegisterCallback", &ExRegisterCallback},
    {"ExSetTimerResolution", &ExSetTimerResolution},
    {"ExUnregisterCallback", &ExUnregisterCallback},
    {"IoAllocateErrorLogEntry", &IoAllocateErrorLogEntry},
    {"IoAllocateIrp", &IoAllocateIrp},
    {"IoBuildDeviceIoControlRequest", &IoBuildDeviceIoControlRequest},
    {"IoCancelIrp", &IoCancelIrp},
    {"IoFreeErrorLogEntry", &IoFreeErrorLogEntry},
    {"IoFreeIrp", &IoFreeIrp},
    {"IoGetDeviceProperty", &IoGetDeviceProperty},
    {"IoOpenDeviceRegistryKey", &IoOpenDeviceRegistryKey},
    {"IoRegisterDeviceInterface", &IoRegisterDeviceInterface},
    {"IoSetDeviceInterfaceState", &IoSetDeviceInterfaceState},
    {"IoWriteErrorLogEntry", &IoWriteErrorLogEntry},
    {"IofCallDriver", &IofCallDriver},
    {"IofCompleteRequest", &IoCompleteRequest},
    {"KeAcquireInStackQueuedSpinLock", &KeAcquireInStackQueuedSpinLock},
    {"KeClearEvent", &KeClearEvent},
    {"KeDelayExecutionThread", &KeDelayExecutionThread},
    {"KeInitializeEvent", &KeInitializeEvent},
    {"KeInitializeMutex", &KeInitializeMutex},
    {"KeQueryTimeIncrement", &KeQueryTimeIncrement},
    {"KeReadStateEvent", &KeReadStateEvent},
    {"KeReleaseInStackQueuedSpinLock", &KeReleaseInStackQueuedSpinLock},
    {"KeReleaseMutex", &KeReleaseMutex},
    {"KeSetEvent", &KeSetEvent},
    {"KeWaitForSingleObject", &KeWaitForSingleObject},
    {"ObQueryNameString", &ObQueryNameString},
    {"ObReferenceObjectByHandle", &ObReferenceObjectByHandle},
    {"ObfDereferenceObject", &ObfDereferenceObject},
    {"ObfReferenceObject", &ObfReferenceObject},
    {"RtlAppendUnicodeToString", &RtlAppendUnicodeToString},
    {"RtlCopyUnicodeString", &RtlCopyUnicodeString},
    {"RtlFreeUnicodeString", &RtlFreeUnicodeString},
    {"RtlGetVersion", &RtlGetVersion},
    {"RtlInitUnicodeString", &RtlInitUnicodeString},
    {"RtlUnicodeStringToInteger", &RtlUnicodeStringToInteger},
    {"ZwClose", &ZwClose},
    {"ZwOpenKey", &ZwOpenKey},
    {"ZwQueryValueKey", &ZwQueryValueKey},
    {"_vsnwprintf", &host::vsnwprintf},
    {"memcpy", &CopyMemoryExport},
    {"memmove", &MoveMemoryExport},
    {"memset", &FillMemoryExport},
};

// The driver needs nothing from the hardware layer or the USB stack's library; an image that
// imports from them is told what is missing.
const std::span<const ExportEntry> kNothing{};

const ExportModule kModules[] = {
    {"ntoskrnl.exe", kNtoskrnl},
    {"HAL.dll", kNothing},
    {"USBD.SYS", kNothing},
};

}  // namespace

std::span<const ExportModule> kernelExportModules() { return kModules; }

}  // namespace host::image
