#include "tests/support/transport_harness.h"

#include <stdexcept>

namespace ostdfu_test {

namespace {

WDFDEVICE lastAddedDevice = nullptr;

EVT_WDF_DRIVER_DEVICE_ADD TransportTestDeviceAdd;
NTSTATUS TransportTestDeviceAdd(WDFDRIVER /*driver*/, PWDFDEVICE_INIT deviceInit) {
    PDEVICE_OBJECT pdo = WdfFdoInitWdmGetPhysicalDevice(deviceInit);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FDO_DATA);
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&deviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FDO_DATA* fdo = FdoGetData(device);
    fdo->PhysicalDeviceObject = pdo;
    fdo->DeviceObject = WdfDeviceWdmGetDeviceObject(device);
    fdo->AttachedDeviceObject = WdfDeviceWdmGetAttachedDevice(device);
    lastAddedDevice = device;
    return STATUS_SUCCESS;
}

DRIVER_INITIALIZE TransportTestDriverEntry;
NTSTATUS TransportTestDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, TransportTestDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

}  // namespace

TransportHarness::TransportHarness(TransportOptions options, std::shared_ptr<host::DeviceEnd> end)
    : machine_(std::make_unique<host::Machine>()) {
    if (end == nullptr && options.makeEnd) {
        end = options.makeEnd(machine_->clock());
    }
    if (end == nullptr) {
        end = std::make_shared<ScriptedDeviceEnd>();
    }
    end_ = end;
    scripted_ = std::dynamic_pointer_cast<ScriptedDeviceEnd>(end);
    host::usb::Hub* hub = &machine_->usb().addController(options.pci, 8).rootHub();
    USHORT port = options.rootPort;
    for (USHORT hubPort : options.hubPorts) {
        hub = &hub->attachHub(port, 8);
        port = hubPort;
    }
    busDevice_ = &hub->attachDevice(port, std::move(end));
    if (options.filter) {
        filter_ = std::make_unique<host::io::ScriptedLowerDevice>(
            host::io::ScriptedLowerDevice::Completion::PassDown);
        filter_->attachTo(busDevice_->pdo());
    }

    if (!NT_SUCCESS(machine_->pnp().loadDriver(TransportTestDriverEntry, u"transporttest"))) {
        throw std::runtime_error("the transport test driver did not load");
    }
    host::PnpDeviceDescription description;
    description.hardwareIds = {u"USB\\VID_0483&PID_DF11&REV_2200", u"USB\\VID_0483&PID_DF11"};
    description.serialNumber = options.serialNumber;
    // With a filter, the PnP manager is handed the filter as the device's lowest object of
    // interest: the driver's device then sits right on it.
    description.physicalDevice = filter_ ? filter_->device() : busDevice_->pdo();
    lastAddedDevice = nullptr;
    pnpDevice_ = &machine_->pnp().offerDevice(description);
    if (lastAddedDevice == nullptr || pnpDevice_->handle() != lastAddedDevice) {
        throw std::runtime_error("the transport test driver added no device");
    }
}

TransportHarness::~TransportHarness() {
    // The filter sits between the driver's device and the bus: it goes after the one above it
    // and before the one below it.
    machine_->pnp().shutdown();
    filter_.reset();
    machine_.reset();
}

WDFDEVICE TransportHarness::device() const {
    return pnpDevice_->handle();
}

FDO_DATA* TransportHarness::fdo() const {
    return FdoGetData(device());
}

std::vector<std::uint8_t> setupBytes(const host::usb::TrafficEntry& entry) {
    return {entry.setup.begin(), entry.setup.end()};
}

}  // namespace ostdfu_test
