#include "host/pnp/io_objects.h"

#include <cstdio>
#include <cstdlib>

#include "host/rtl/text.h"

namespace host {

namespace {
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "io objects: %s\n", what);
    std::abort();
}
}  // namespace

IoObjects::~IoObjects() {
    for (auto& [address, record] : records_) {
        if (record.isDriver) {
            delete static_cast<const DRIVER_OBJECT*>(address);
        } else {
            delete static_cast<const DEVICE_OBJECT*>(address);
        }
    }
}

DRIVER_OBJECT* IoObjects::createDriver(std::u16string_view name) {
    auto* driver = new DRIVER_OBJECT{};
    std::lock_guard lock(mutex_);
    Record& record = records_[driver];
    record.name = name;
    record.isDriver = true;
    driver->DriverName.Buffer = record.name.data();
    driver->DriverName.Length = static_cast<USHORT>(record.name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    return driver;
}

void IoObjects::deleteDriver(DRIVER_OBJECT* driver) {
    std::lock_guard lock(mutex_);
    auto it = records_.find(driver);
    if (it == records_.end() || !it->second.isDriver) {
        fail("delete of an unknown driver object");
    }
    for (const auto& [address, record] : records_) {
        if (!record.isDriver && static_cast<const DEVICE_OBJECT*>(address)->DriverObject == driver) {
            fail("driver object deleted while it still has device objects");
        }
    }
    records_.erase(it);
    delete driver;
}

DEVICE_OBJECT* IoObjects::createDevice(DRIVER_OBJECT* driver, std::u16string_view name,
                                       CHAR stackSize) {
    auto* device = new DEVICE_OBJECT{};
    device->DriverObject = driver;
    device->StackSize = stackSize;
    std::lock_guard lock(mutex_);
    Record& record = records_[device];
    record.name = name;
    return device;
}

DEVICE_OBJECT* IoObjects::attachToStack(DEVICE_OBJECT* upper, DEVICE_OBJECT* target) {
    std::lock_guard lock(mutex_);
    if (!records_.contains(upper) || !records_.contains(target)) {
        fail("attach of an unknown device object");
    }
    DEVICE_OBJECT* top = target;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    top->AttachedDevice = upper;
    records_[upper].lower = top;
    upper->StackSize = static_cast<CHAR>(top->StackSize + 1);
    return top;
}

void IoObjects::deleteDevice(DEVICE_OBJECT* device) {
    std::lock_guard lock(mutex_);
    auto it = records_.find(device);
    if (it == records_.end() || it->second.isDriver) {
        fail("delete of an unknown device object");
    }
    if (device->AttachedDevice != nullptr) {
        fail("device object deleted while another is attached on top of it");
    }
    if (DEVICE_OBJECT* lower = it->second.lower) {
        lower->AttachedDevice = nullptr;
    }
    records_.erase(it);
    delete device;
}

DEVICE_OBJECT* IoObjects::lowerOf(const DEVICE_OBJECT* device) const {
    std::lock_guard lock(mutex_);
    auto it = records_.find(device);
    return it == records_.end() ? nullptr : it->second.lower;
}

DEVICE_OBJECT* IoObjects::bottomLocked(const DEVICE_OBJECT* device) const {
    auto* current = const_cast<DEVICE_OBJECT*>(device);
    for (;;) {
        auto it = records_.find(current);
        if (it == records_.end() || it->second.lower == nullptr) {
            return current;
        }
        current = it->second.lower;
    }
}

DEVICE_OBJECT* IoObjects::bottomOf(const DEVICE_OBJECT* device) const {
    std::lock_guard lock(mutex_);
    return bottomLocked(device);
}

bool IoObjects::isDevice(const void* object) const {
    std::lock_guard lock(mutex_);
    auto it = records_.find(object);
    return it != records_.end() && !it->second.isDriver;
}

bool IoObjects::isDriver(const void* object) const {
    std::lock_guard lock(mutex_);
    auto it = records_.find(object);
    return it != records_.end() && it->second.isDriver;
}

std::u16string IoObjects::nameOf(const void* object) const {
    std::lock_guard lock(mutex_);
    auto it = records_.find(object);
    return it == records_.end() ? std::u16string{} : it->second.name;
}

std::optional<std::u16string> IoObjects::eventLogName(const void* ioObject) const {
    std::lock_guard lock(mutex_);
    auto it = records_.find(ioObject);
    if (it == records_.end()) {
        return std::nullopt;
    }
    if (it->second.isDriver || !it->second.name.empty()) {
        return it->second.name;
    }
    const DEVICE_OBJECT* bottom = bottomLocked(static_cast<const DEVICE_OBJECT*>(ioObject));
    return records_.at(bottom).name;
}

std::u16string IoObjects::nextPdoName() {
    std::lock_guard lock(mutex_);
    return u"\\Device\\USBPDO-" + widen(std::to_string(nextPdoNumber_++));
}

std::size_t IoObjects::deviceCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& [address, record] : records_) {
        n += record.isDriver ? 0 : 1;
    }
    return n;
}

}  // namespace host
