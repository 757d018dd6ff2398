// What the PnP manager knows of a physical device object: its properties and its hardware key.
#include <cstring>

#include "host/fault_plan.h"
#include "host/machine.h"
#include "host/pnp/pnp_manager.h"
#include "host/registry/registry.h"

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT physicalDeviceObject,
                             DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                             PVOID propertyBuffer, PULONG resultLength) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::DeviceProperty)) {
        return *failure;
    }
    const host::PnpDevice* device = machine.pnp().findByPhysicalDevice(physicalDeviceObject);
    if (device == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object
    }
    std::vector<std::uint8_t> data;
    switch (deviceProperty) {
        case DevicePropertyHardwareID:
            data = device->description().hardwareIdBytes.empty()
                       ? host::registryMultiStringData(device->description().hardwareIds)
                       : device->description().hardwareIdBytes;
            break;
        case DevicePropertyDeviceDescription:
            if (device->description().deviceDescription.empty()) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            data = host::registryStringData(device->description().deviceDescription);
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (resultLength != nullptr) {
        *resultLength = static_cast<ULONG>(data.size());
    }
    if (propertyBuffer == nullptr || bufferLength < data.size()) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(propertyBuffer, data.data(), data.size());
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT physicalDeviceObject, ULONG devInstKeyType,
                                 ACCESS_MASK, HANDLE* devInstRegKey) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::RegistryOpen)) {
        return *failure;
    }
    const host::PnpDevice* device = machine.pnp().findByPhysicalDevice(physicalDeviceObject);
    if (device == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (devInstKeyType != PLUGPLAY_REGKEY_DEVICE || devInstRegKey == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // The hardware key exists from the device's first arrival on.
    const std::u16string path = device->hardwareKeyPath();
    machine.registry().createKey(path);
    return machine.registry().open(path, devInstRegKey);
}
