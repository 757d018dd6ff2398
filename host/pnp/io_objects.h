// Driver and device objects of the emulated machine: creation, names, device stacks.
// The object manager keeps its records by address; a device object's extension is left to the
// code that plays the object's driver (a bus keeps its per-device state there).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/wdm.h"

namespace host {

class IoObjects {
public:
    IoObjects() = default;
    ~IoObjects();
    IoObjects(const IoObjects&) = delete;
    IoObjects& operator=(const IoObjects&) = delete;

    // name: "\Driver\<service>".
    DRIVER_OBJECT* createDriver(std::u16string_view name);
    // A driver object whose devices still exist is a bug of the caller: abort.
    void deleteDriver(DRIVER_OBJECT* driver);

    // name may be empty: framework drivers' own device objects are unnamed.
    DEVICE_OBJECT* createDevice(DRIVER_OBJECT* driver, std::u16string_view name, CHAR stackSize);
    // Puts upper on top of the stack that target belongs to; returns the device it now sits
    // on (the former top). upper's StackSize becomes that device's plus one.
    DEVICE_OBJECT* attachToStack(DEVICE_OBJECT* upper, DEVICE_OBJECT* target);
    // Detaches from the device below and frees. A device with another on top is a bug: abort.
    void deleteDevice(DEVICE_OBJECT* device);

    DEVICE_OBJECT* lowerOf(const DEVICE_OBJECT* device) const;
    // The physical device object at the bottom of the device's stack.
    DEVICE_OBJECT* bottomOf(const DEVICE_OBJECT* device) const;

    bool isDevice(const void* object) const;
    bool isDriver(const void* object) const;
    std::u16string nameOf(const void* object) const;
    // The name the event log shows for an entry charged to this object: a driver's own name;
    // a device's own name or, when it has none, the name of the physical device object below
    // it. nullopt for an address that is neither.
    std::optional<std::u16string> eventLogName(const void* ioObject) const;

    // "\Device\USBPDO-<n>", numbered in the order asked.
    std::u16string nextPdoName();
    std::size_t deviceCount() const;

private:
    struct Record {
        std::u16string name;
        bool isDriver = false;
        DEVICE_OBJECT* lower = nullptr;  // devices only
    };
    DEVICE_OBJECT* bottomLocked(const DEVICE_OBJECT* device) const;

    mutable std::mutex mutex_;
    std::map<const void*, Record> records_;
    unsigned nextPdoNumber_ = 1;
};

}  // namespace host
