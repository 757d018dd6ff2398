#include "host/io/device_interfaces.h"

#include <algorithm>
#include <cstdio>

#include "host/fault_plan.h"
#include "host/framework/device.h"
#include "host/machine.h"
#include "host/pnp/pnp_manager.h"
#include "host/rtl/rtl.h"
#include "host/rtl/text.h"

namespace host {

namespace {

// Instance paths name their levels with '\'; a link is one path element and uses '#'.
std::u16string linkElement(std::u16string_view text) {
    std::u16string element(text);
    std::replace(element.begin(), element.end(), u'\\', u'#');
    return element;
}

}  // namespace

std::u16string guidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return widen(text);
}

NTSTATUS DeviceInterfaces::registerInterface(PDEVICE_OBJECT physicalDevice, const GUID& classGuid,
                                             std::u16string_view referenceString,
                                             std::u16string* link) {
    const PnpDevice* device = Machine::current().pnp().findByPhysicalDevice(physicalDevice);
    if (device == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string name = u"\\??\\" + linkElement(device->deviceId()) + u"#" +
                          linkElement(device->instanceId()) + u"#" + guidText(classGuid);
    if (!referenceString.empty()) {
        name += u"\\" + std::u16string(referenceString);
    }
    std::lock_guard lock(mutex_);
    Record& record = records_[foldCase(name)];
    if (record.owner == nullptr) {
        record.order = nextOrder_++;
        record.instance.symbolicLink = name;
        record.instance.classGuid = classGuid;
        record.instance.referenceString = referenceString;
    }
    // A device that came back is a new PnP device behind the same link.
    record.owner = device;
    record.instance.deviceInstanceId = device->deviceId() + u"\\" + device->instanceId();
    record.instance.physicalDevice = physicalDevice;
    *link = record.instance.symbolicLink;
    return STATUS_SUCCESS;
}

const DeviceInterfaces::Record* DeviceInterfaces::findLocked(std::u16string_view link) const {
    auto it = records_.find(foldCase(link));
    return it == records_.end() ? nullptr : &it->second;
}

NTSTATUS DeviceInterfaces::setState(std::u16string_view link, bool enable) {
    std::lock_guard lock(mutex_);
    auto* record = const_cast<Record*>(findLocked(link));
    if (record == nullptr || (!enable && !record->instance.enabled)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    record->instance.enabled = enable;
    return STATUS_SUCCESS;
}

std::vector<InterfaceInstance> DeviceInterfaces::visible(const GUID& classGuid) const {
    std::lock_guard lock(mutex_);
    std::vector<const Record*> found;
    for (const auto& [key, record] : records_) {
        if (record.instance.enabled && IsEqualGUID(record.instance.classGuid, classGuid) &&
            started_.contains(record.owner)) {
            found.push_back(&record);
        }
    }
    std::sort(found.begin(), found.end(),
              [](const Record* a, const Record* b) { return a->order < b->order; });
    std::vector<InterfaceInstance> result;
    for (const Record* record : found) {
        result.push_back(record->instance);
    }
    return result;
}

std::vector<InterfaceInstance> DeviceInterfaces::registered() const {
    std::lock_guard lock(mutex_);
    std::vector<const Record*> found;
    for (const auto& [key, record] : records_) {
        found.push_back(&record);
    }
    std::sort(found.begin(), found.end(),
              [](const Record* a, const Record* b) { return a->order < b->order; });
    std::vector<InterfaceInstance> result;
    for (const Record* record : found) {
        result.push_back(record->instance);
    }
    return result;
}

void DeviceInterfaces::publish(const PnpDevice& device, fx::Device* frameworkDevice) {
    std::lock_guard lock(mutex_);
    started_[&device] = frameworkDevice;
}

void DeviceInterfaces::withdraw(const PnpDevice& device) {
    std::lock_guard lock(mutex_);
    started_.erase(&device);
}

std::size_t DeviceInterfaces::disableAll(const PnpDevice& device) {
    std::lock_guard lock(mutex_);
    std::size_t disabled = 0;
    for (auto& [key, record] : records_) {
        if (record.owner == &device && record.instance.enabled) {
            record.instance.enabled = false;
            ++disabled;
        }
    }
    return disabled;
}

NTSTATUS DeviceInterfaces::reserveOpen(std::u16string_view link, fx::Device** device) {
    std::lock_guard lock(mutex_);
    const Record* record = findLocked(link);
    if (record == nullptr || !record->instance.enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto started = started_.find(record->owner);
    if (started == started_.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // Under this lock, so a withdrawal cannot slip in between the lookup and the reservation.
    const NTSTATUS status = started->second->reserveOpen();
    if (NT_SUCCESS(status)) {
        *device = started->second;
    }
    return status;
}

}  // namespace host

// ---- platform entry points -------------------------------------------------------------------

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject,
                                   const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString,
                                   PUNICODE_STRING symbolicLinkName) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::InterfaceRegister)) {
        return *failure;
    }
    if (physicalDeviceObject == nullptr || interfaceClassGuid == nullptr ||
        symbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view reference;
    if (referenceString != nullptr && referenceString->Buffer != nullptr) {
        reference = {referenceString->Buffer, referenceString->Length / sizeof(WCHAR)};
    }
    std::u16string link;
    NTSTATUS status = machine.interfaces().registerInterface(physicalDeviceObject,
                                                             *interfaceClassGuid, reference, &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const std::size_t bytes = link.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > host::kMaxUnicodeStringBytes) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), host::kSystemStringTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::copy(link.begin(), link.end(), buffer);
    buffer[link.size()] = 0;
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = static_cast<USHORT>(bytes);
    symbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::InterfaceState)) {
        return *failure;
    }
    if (symbolicLinkName == nullptr || symbolicLinkName->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return machine.interfaces().setState(
        {symbolicLinkName->Buffer, symbolicLinkName->Length / sizeof(WCHAR)}, enable != FALSE);
}
