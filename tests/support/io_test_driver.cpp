#include "tests/support/io_test_driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "host/framework/device.h"
#include "platform/rtl.h"

namespace ostdfu_test {

namespace {

IoTestMachine* current = nullptr;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TestDeviceContext, TestGetContext)

std::size_t heldBy(WDFDEVICE device) {
    return host::fx::Object::from<host::fx::Device>(device)->requestsHeld();
}

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL DefaultQueueHandler;
void DefaultQueueHandler(WDFQUEUE queue, WDFREQUEST request, SIZE_T outputLength,
                         SIZE_T inputLength, ULONG code) {
    if (current->onDefaultQueue) {
        current->onDefaultQueue(queue, request, outputLength, inputLength, code);
    } else {
        WdfRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST);
    }
}

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL SequentialQueueHandler;
void SequentialQueueHandler(WDFQUEUE queue, WDFREQUEST request, SIZE_T outputLength,
                            SIZE_T inputLength, ULONG code) {
    if (current->onSequentialQueue) {
        current->onSequentialQueue(queue, request, outputLength, inputLength, code);
    } else {
        WdfRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST);
    }
}

EVT_WDF_DEVICE_FILE_CREATE FileCreate;
void FileCreate(WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT) {
    current->record("create");
    WdfRequestComplete(request, STATUS_SUCCESS);
}
EVT_WDF_FILE_CLEANUP FileCleanup;
void FileCleanup(WDFFILEOBJECT) { current->record("cleanup"); }
EVT_WDF_FILE_CLOSE FileClose;
void FileClose(WDFFILEOBJECT) { current->record("close"); }

EVT_WDF_DEVICE_PREPARE_HARDWARE PrepareHardware;
NTSTATUS PrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST) {
    TestDeviceContext* context = TestGetContext(device);
    const std::vector<GUID>& guids = current->options().interfaces;
    context->interfaceCount = static_cast<ULONG>(std::min(guids.size(), kMaxTestInterfaces));
    for (ULONG i = 0; i < context->interfaceCount; ++i) {
        NTSTATUS status = IoRegisterDeviceInterface(WdfDeviceWdmGetPhysicalDevice(device),
                                                    &guids[i], nullptr, &context->links[i]);
        if (NT_SUCCESS(status)) {
            status = IoSetDeviceInterfaceState(&context->links[i], TRUE);
        }
        if (NT_SUCCESS(status)) {
            InterlockedExchange(&context->enabled[i], 1);
        }
    }
    return STATUS_SUCCESS;
}

EVT_WDF_DEVICE_RELEASE_HARDWARE ReleaseHardware;
NTSTATUS ReleaseHardware(WDFDEVICE device, WDFCMRESLIST) {
    current->record("release held=" + std::to_string(heldBy(device)));
    TestDeviceContext* context = TestGetContext(device);
    if (!current->options().disableInterfacesAtRelease) {
        for (ULONG i = 0; i < context->interfaceCount; ++i) {
            RtlFreeUnicodeString(&context->links[i]);
        }
        return STATUS_SUCCESS;
    }
    for (ULONG i = 0; i < context->interfaceCount; ++i) {
        if (InterlockedCompareExchange(&context->enabled[i], 0, 1) == 1) {
            IoSetDeviceInterfaceState(&context->links[i], FALSE);
        }
        RtlFreeUnicodeString(&context->links[i]);
    }
    return STATUS_SUCCESS;
}

EVT_WDF_DEVICE_D0_EXIT D0Exit;
NTSTATUS D0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    current->record("d0exit held=" + std::to_string(heldBy(device)));
    return STATUS_SUCCESS;
}

EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND Suspend;
NTSTATUS Suspend(WDFDEVICE device) {
    current->record("suspend held=" + std::to_string(heldBy(device)));
    return STATUS_SUCCESS;
}

EVT_WDF_DEVICE_SURPRISE_REMOVAL SurpriseRemoval;
void SurpriseRemoval(WDFDEVICE) {
    current->record("surprise");
    if (current->onSurpriseRemoval) {
        current->onSurpriseRemoval();
    }
}

EVT_WDF_OBJECT_CONTEXT_CLEANUP ContextCleanup;
void ContextCleanup(WDFOBJECT) { current->record("context cleanup"); }

EVT_WDF_DRIVER_DEVICE_ADD DeviceAdd;
NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS power;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&power);
    power.EvtDevicePrepareHardware = PrepareHardware;
    power.EvtDeviceReleaseHardware = ReleaseHardware;
    power.EvtDeviceD0Exit = D0Exit;
    power.EvtDeviceSelfManagedIoSuspend = Suspend;
    power.EvtDeviceSurpriseRemoval = SurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &power);
    WDF_FILEOBJECT_CONFIG files;
    WDF_FILEOBJECT_CONFIG_INIT(&files, FileCreate, FileClose, FileCleanup);
    WdfDeviceInitSetFileObjectConfig(init, &files, WDF_NO_OBJECT_ATTRIBUTES);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TestDeviceContext);
    attributes.EvtCleanupCallback = ContextCleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TestDeviceContext* context = TestGetContext(device);
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, current->options().defaultDispatch);
    queueConfig.Settings.Parallel.NumberOfPresentedRequests = current->options().defaultPresentedLimit;
    queueConfig.EvtIoDeviceControl = DefaultQueueHandler;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &context->defaultQueue);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoDeviceControl = SequentialQueueHandler;
    return WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES,
                            &context->sequentialQueue);
}

DRIVER_INITIALIZE TestDriverEntry;
NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driver, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

}  // namespace

IoTestMachine::IoTestMachine(TestDriverOptions options) : options_(std::move(options)) {
    if (current != nullptr) {
        std::fprintf(stderr, "io test driver: one machine at a time\n");
        std::abort();
    }
    current = this;
    machine_ = std::make_unique<host::Machine>();
    if (!NT_SUCCESS(machine_->pnp().loadDriver(TestDriverEntry, u"iotest"))) {
        std::fprintf(stderr, "io test driver: the driver did not load\n");
        std::abort();
    }
}

IoTestMachine::~IoTestMachine() {
    // The machine's shutdown still runs this driver's callbacks.
    machine_.reset();
    current = nullptr;
}

host::PnpDevice& IoTestMachine::offer(std::u16string instanceId) {
    host::PnpDeviceDescription description;
    description.hardwareIds = {u"USB\\VID_0483&PID_DF11&REV_2200", u"USB\\VID_0483&PID_DF11"};
    description.instanceId = std::move(instanceId);
    return machine_->pnp().offerDevice(std::move(description));
}

TestDeviceContext* IoTestMachine::context(const host::PnpDevice& device) const {
    return device.handle() == nullptr ? nullptr : TestGetContext(device.handle());
}

std::vector<std::string> IoTestMachine::events() const {
    std::lock_guard lock(eventsMutex_);
    return events_;
}

void IoTestMachine::record(std::string event) {
    std::lock_guard lock(eventsMutex_);
    events_.push_back(std::move(event));
}

void completeWith(WDFREQUEST request, NTSTATUS status, ULONG_PTR information) {
    WdfRequestCompleteWithInformation(request, status, information);
}

host::UserHandle openTestInterface(unsigned index) {
    host::UserHandle handle;
    EXPECT_EQ(host::user::openInterface(kTestInterfaceGuid, index, &handle), STATUS_SUCCESS);
    return handle;
}

NTSTATUS sendWithoutBuffers(host::UserHandle handle, ULONG ioControlCode) {
    return host::user::deviceIoControl(handle, ioControlCode, {}, {}).status;
}

}  // namespace ostdfu_test
