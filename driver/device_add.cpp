#include "driver/device_add.h"

#include "context/device_context.h"
#include "control/ioctl_dispatch.h"
#include "driver/callbacks.h"
#include "driver/driver.h"
#include "notify/event_log.h"
#include "platform/kernel_helpers.h"
#include "platform/registry.h"
#include "platform/rtl.h"
#include "platform/trace.h"
#include "updater_interface/interface_guids.h"

namespace {

// The mapping values' default lies outside the 16-bit range of an ID, so nothing is mapped
// unless the registry says so.
constexpr ULONG kNoMapping = 0x0BADF00D;
constexpr ULONG kNoOptionByteProductCode = 0x0DEADEAD;
constexpr ULONG kDefaultBootIterBusyWaits = 75;

// Devices added since the driver was loaded; numbers are never reused while it stays loaded.
LONG DevicesAdded = 0;

// The driver parameters read at add, in the order they are read.
struct DeviceParameter {
    PCWSTR name;
    ULONG FDO_DATA::*field;
};
constexpr DeviceParameter kDeviceParameters[] = {
    {WIDE("mapFromOtpPID"), &FDO_DATA::mapFromOtpPID},
    {WIDE("mapToOtpPID"), &FDO_DATA::mapToOtpPID},
    {WIDE("MapFromOtpVID"), &FDO_DATA::MapFromOtpVID},
    {WIDE("MapToOtpVID"), &FDO_DATA::MapToOtpVID},
    {WIDE("ReadUnProtectIfReadProtected"), &FDO_DATA::ReadUnProtectIfReadProtected},
    {WIDE("TestReadProtectWithFlashAlso"), &FDO_DATA::TestReadProtectWithFlashAlso},
    {WIDE("STMBootloaderCommandNoPollWait"), &FDO_DATA::STMBootloaderCommandNoPollWait},
    {WIDE("STMAreOptionByteWritesAllowed"), &FDO_DATA::STMAreOptionByteWritesAllowed},
};

void InitializeDeviceContext(WDFDEVICE device, PFDO_DATA fdoData, ULONG productType,
                             PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject) {
    fdoData->ProductType = productType;
    fdoData->DeviceObject = WdfDeviceWdmGetDeviceObject(device);
    fdoData->DeviceInstanceNumber = static_cast<ULONG>(InterlockedIncrement(&DevicesAdded));
    fdoData->AttachedDeviceObject = WdfDeviceWdmGetAttachedDevice(device);
    fdoData->DriverObject = driverObject;
    fdoData->PhysicalDeviceObject = physicalDeviceObject;
    fdoData->RegistryPath = &RegistryPathCopy;
    fdoData->ParametersPath = &ParametersKeyPath;
    fdoData->mapFromOtpPID = kNoMapping;
    fdoData->mapToOtpPID = kNoMapping;
    fdoData->MapFromOtpVID = kNoMapping;
    fdoData->MapToOtpVID = kNoMapping;

    // Other threads read and change these with interlocked operations only.
    InterlockedExchange(&fdoData->DeviceCaps2Valid, 0);
    InterlockedExchange(&fdoData->DeviceActive, 0);
    InterlockedExchange(&fdoData->PrepareHardwareDone, 0);
    InterlockedExchange(&fdoData->CompanionInterfaceWanted, 0);
    InterlockedExchange(&fdoData->CompanionInterfaceEnabled, 0);
    InterlockedExchange(&fdoData->ProductInterfaceWanted, 0);
    InterlockedExchange(&fdoData->ProductInterfaceEnabled, 0);
    InterlockedExchange(&fdoData->DriverInterfaceEnabled, 0);

    // Everything from the capabilities record up to its valid flag starts empty.
    auto* base = reinterpret_cast<PUCHAR>(fdoData);
    RtlZeroMemory(base + offsetof(FDO_DATA, DeviceCaps2),
                  offsetof(FDO_DATA, DeviceCaps2Valid) - offsetof(FDO_DATA, DeviceCaps2));

    KeInitializeMutex(&fdoData->SessionLock, 0);
    KeInitializeMutex(&fdoData->DeviceMemoryLock, 0);
    KeInitializeSpinLock(&fdoData->ManufacturerSerialCacheLock);
    RtlZeroMemory(&fdoData->ManufacturerSerialCache, sizeof(fdoData->ManufacturerSerialCache));
    fdoData->ManufacturerSerialCache.Valid = FALSE;
    fdoData->ManufacturerSerialCache.Block.Marker = MANUFACTURER_SERIAL_MARKER;

    fdoData->DriverInterfaceGuid = GUID_DEVINTERFACE_OSTDFU_DRIVER;
    RtlZeroMemory(&fdoData->TopologyAddress, sizeof(fdoData->TopologyAddress));
    fdoData->ManufacturerSerial = 0xFFFFFFFFFFFFFFFFull;
    fdoData->OptionByteProductCode = kNoOptionByteProductCode;
    fdoData->ReadProtectState = 0;
    fdoData->ReadUnProtectIfReadProtected = 0;
    fdoData->TestReadProtectWithFlashAlso = 0;
    fdoData->STMBootloaderCommandNoPollWait = 0;
    WriteNoFence(&fdoData->STMAreOptionByteWritesAllowed, 0u);
    fdoData->NumDfuBootIterBusyWaits = kDefaultBootIterBusyWaits;
}

NTSTATUS CreateQueues(WDFDEVICE device, PFDO_DATA fdoData, PULONG failureCode) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.PowerManaged = WdfTrue;
    config.AllowZeroLengthRequests = TRUE;
    config.Settings.Parallel.NumberOfPresentedRequests = 0xFFFFFFFF;  // no limit
    config.EvtIoDeviceControl = OstDFUDeviceEvtIoDeviceControlParallel;
    NTSTATUS status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &fdoData->DefaultQueue);
    if (!NT_SUCCESS(status)) {
        *failureCode = ADD_CODE_DEFAULT_QUEUE;
        return status;
    }

    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.PowerManaged = WdfTrue;
    config.AllowZeroLengthRequests = TRUE;
    config.EvtIoDeviceControl = OstDFUDeviceEvtIoDeviceControlSequential;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &fdoData->SequentialQueue);
    if (!NT_SUCCESS(status)) {
        *failureCode = ADD_CODE_SEQUENTIAL_QUEUE;
    }
    return status;
}

// A missing key, buffer or value leaves the defaults: the parameters are optional.
void ReadDeviceParameters(PFDO_DATA fdoData) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, fdoData->ParametersPath,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "no Parameters key (0x%x): defaults",
                    status);
        return;
    }
    PoolBuffer buffer(PagedPool, OSTDFU_PARAMETER_BUFFER_SIZE, OSTDFU_TAG_ADD_PARAMETERS);
    if (!buffer) {
        ZwClose(key);
        return;
    }
    for (const DeviceParameter& parameter : kDeviceParameters) {
        ULONG value = fdoData->*parameter.field;
        status = QueryParameterDword(key, parameter.name, buffer.get(),
                                     OSTDFU_PARAMETER_BUFFER_SIZE, &value);
        if (NT_SUCCESS(status)) {
            // The option-byte permission is also changed by a control request on another
            // thread later on; every write of it is an atomic store.
            WriteNoFence(&(fdoData->*parameter.field), value);
        }
    }
    ZwClose(key);
}

void LogAddOutcome(PFDO_DATA fdoData, PDRIVER_OBJECT driverObject, ULONG failureCode,
                   NTSTATUS status) {
    constexpr PCWSTR kFormat = WIDE("AddDevice Code:%u status:0x%x");
    const ULONG eventId = NT_SUCCESS(status) ? OSTDFU_EVENT_INFORMATION : OSTDFU_EVENT_ERROR;
    if (fdoData != nullptr) {
        LogFormattedEvent(fdoData->DeviceObject, eventId, kFormat, failureCode, status);
    } else {
        LogFormattedEvent(driverObject, eventId, kFormat, failureCode, status);
    }
}

}  // namespace

void ResetDevicesAdded() { InterlockedExchange(&DevicesAdded, 0); }

NTSTATUS OstDFUDeviceEvtAdd(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit) {
    ULONG failureCode = ADD_CODE_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    PFDO_DATA fdoData = nullptr;

    WdfDeviceInitSetPowerPageable(deviceInit);
    PDRIVER_OBJECT driverObject = WdfDriverWdmGetDriverObject(driver);

    do {
        PDEVICE_OBJECT physicalDeviceObject = WdfFdoInitWdmGetPhysicalDevice(deviceInit);
        if (physicalDeviceObject == nullptr) {
            status = STATUS_INVALID_DEVICE_STATE;
            failureCode = ADD_CODE_NO_PHYSICAL_DEVICE;
            break;
        }
        ULONG productType = 0;
        status = determineProductType(physicalDeviceObject, &productType);
        if (!NT_SUCCESS(status)) {
            failureCode = ADD_CODE_PRODUCT_TYPE;
            break;
        }

        WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
        WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
        pnpPowerCallbacks.EvtDeviceD0Entry = OstDFUDeviceEvtDeviceD0Entry;
        pnpPowerCallbacks.EvtDeviceD0Exit = OstDFUDeviceEvtDeviceD0Exit;
        pnpPowerCallbacks.EvtDevicePrepareHardware = OstDFUDeviceEvtDevicePrepareHardware;
        pnpPowerCallbacks.EvtDeviceReleaseHardware = OstDFUDeviceEvtDeviceReleaseHardware;
        pnpPowerCallbacks.EvtDeviceSelfManagedIoSuspend = OstDFUDeviceSelfManagedIoSuspend;
        pnpPowerCallbacks.EvtDeviceSurpriseRemoval = OstDFUDeviceIoSurpriseRemoval;
        WdfDeviceInitSetPnpPowerEventCallbacks(deviceInit, &pnpPowerCallbacks);

        WDF_FILEOBJECT_CONFIG fileConfig;
        WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, OstDFUDeviceEvtDeviceFileCreate,
                                   OstDFUDeviceEvtFileClose, OstDFUDeviceEvtFileCleanup);
        fileConfig.AutoForwardCleanupClose = WdfUseDefault;
        fileConfig.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
        WDF_OBJECT_ATTRIBUTES fileAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FILE_CONTEXT);
        WdfDeviceInitSetFileObjectConfig(deviceInit, &fileConfig, &fileAttributes);

        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FDO_DATA);
        attributes.EvtCleanupCallback = OstDFUDeviceEvtDeviceContextCleanup;
        // Passive level: the control handlers wait on mutexes and on the device. No framework
        // locking: the context's own locks are the only ones.
        attributes.ExecutionLevel = WdfExecutionLevelPassive;
        attributes.SynchronizationScope = WdfSynchronizationScopeNone;
        WDFDEVICE device = nullptr;
        status = WdfDeviceCreate(&deviceInit, &attributes, &device);
        if (!NT_SUCCESS(status)) {
            failureCode = ADD_CODE_DEVICE_CREATE;
            break;
        }

        WDF_DEVICE_PNP_CAPABILITIES pnpCaps;
        WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCaps);
        pnpCaps.SurpriseRemovalOK = WdfTrue;
        pnpCaps.Address = 0xFFFFFFFF;
        pnpCaps.UINumber = 0xFFFFFFFF;
        WdfDeviceSetPnpCapabilities(device, &pnpCaps);

        fdoData = FdoGetData(device);
        InitializeDeviceContext(device, fdoData, productType, driverObject, physicalDeviceObject);

        if (fdoData->ProductType != PRODUCT_TYPE_STM_DFU) {
            status = STATUS_UNSUCCESSFUL;
            failureCode = ADD_CODE_NOT_STM_DFU;
            break;
        }
        fdoData->IsStmDfuDevice = 1;
        LogFormattedEvent(fdoData->DeviceObject, OSTDFU_EVENT_INFORMATION, WIDE("pcode:%u"),
                          fdoData->ProductType);

        status = CreateQueues(device, fdoData, &failureCode);
        if (!NT_SUCCESS(status)) {
            break;
        }
        ReadDeviceParameters(fdoData);
        status = STATUS_SUCCESS;
    } while (false);

    TraceEvents(NT_SUCCESS(status) ? TRACE_LEVEL_INFORMATION : TRACE_LEVEL_ERROR, TRACE_DRIVER,
                "code %u status 0x%x", failureCode, status);
    LogAddOutcome(fdoData, driverObject, failureCode, status);
    return status;
}

NTSTATUS determineProductType(PDEVICE_OBJECT physicalDeviceObject, PULONG productType) {
    *productType = 0;
    PWSTR list = nullptr;
    ULONG listBytes = 0;
    NTSTATUS status = GetHardwareIdList(physicalDeviceObject, &list, &listBytes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (list == nullptr || listBytes == 0) {
        if (list != nullptr) {
            ExFreePoolWithTag(list, OSTDFU_TAG_HARDWARE_IDS);
        }
        return STATUS_UNSUCCESSFUL;
    }

    // Every measurement stays inside the buffer the system filled, whatever its contents.
    const SIZE_T listChars = listBytes / sizeof(WCHAR);
    SIZE_T at = 0;
    status = STATUS_UNSUCCESSFUL;
    while (at < listChars) {
        SIZE_T length = 0;
        const SIZE_T limit = listChars - at < 0x7FFFFFFF ? listChars - at : 0x7FFFFFFF;
        status = RtlStringCchLengthW(list + at, limit, &length);
        if (!NT_SUCCESS(status)) {
            break;
        }
        if (length < 2) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        BOOLEAN isStDfu = FALSE;
        IsStDfuHardwareId(list + at, &isStDfu);
        if (isStDfu) {
            *productType = PRODUCT_TYPE_STM_DFU;
            status = STATUS_SUCCESS;
            break;
        }
        status = STATUS_UNSUCCESSFUL;
        at += length + 1;
    }
    ExFreePoolWithTag(list, OSTDFU_TAG_HARDWARE_IDS);
    return status;
}

NTSTATUS GetHardwareIdList(PDEVICE_OBJECT physicalDeviceObject, PWSTR* list, PULONG listBytes) {
    *list = nullptr;
    *listBytes = 0;
    UCHAR probe[4];
    ULONG needed = 0;
    NTSTATUS status = IoGetDeviceProperty(physicalDeviceObject, DevicePropertyHardwareID,
                                          sizeof(probe), probe, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL || needed == 0) {
        return status;
    }
    auto* buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(NonPagedPoolType, needed, OSTDFU_TAG_HARDWARE_IDS));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG written = 0;
    status = IoGetDeviceProperty(physicalDeviceObject, DevicePropertyHardwareID, needed, buffer,
                                 &written);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(buffer, OSTDFU_TAG_HARDWARE_IDS);
        return status;
    }
    *list = buffer;
    *listBytes = needed;
    return STATUS_SUCCESS;
}

NTSTATUS IsStDfuHardwareId(PCWSTR hardwareId, BOOLEAN* isStDfu) {
    if (isStDfu == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *isStDfu = FALSE;
    if (NT_SUCCESS(parseSubString(hardwareId, WIDE("0483"))) &&
        (NT_SUCCESS(parseSubString(hardwareId, WIDE("DF11"))) ||
         NT_SUCCESS(parseSubString(hardwareId, WIDE("df11"))))) {
        *isStDfu = TRUE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS parseSubString(PCWSTR string, PCWSTR searched) {
    if (searched == nullptr || searched[0] == 0) {
        return STATUS_SUCCESS;
    }
    if (string == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    for (PCWSTR start = string; *start != 0; ++start) {
        SIZE_T i = 0;
        while (searched[i] != 0 && start[i] == searched[i]) {
            ++i;
        }
        if (searched[i] == 0) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}
