// Device interfaces: the symbolic links through which user mode finds a device. A driver
// registers an interface class on its physical device object and enables the link; user mode
// sees an enabled link only while the device behind it is started, as after the system
// completed the start. Registrations are kept for the machine's life, so a device that comes
// back registers to the same link.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wdm.h"

namespace host {

class PnpDevice;
namespace fx {
class Device;
}

// One link as user mode enumerates it.
struct InterfaceInstance {
    std::u16string symbolicLink;      // \??\USB#VID_0483&PID_DF11#<instance id>#{guid}
    GUID classGuid{};
    std::u16string referenceString;   // empty when none was given
    std::u16string deviceInstanceId;  // USB\VID_0483&PID_DF11\<instance id>
    PDEVICE_OBJECT physicalDevice = nullptr;
    bool enabled = false;
};

// "{1a8758aa-4297-4d87-80bd-56be721f66d0}", the form links carry.
std::u16string guidText(const GUID& guid);

class DeviceInterfaces {
public:
    // IoRegisterDeviceInterface without the string handling: the link of the registration.
    // STATUS_INVALID_DEVICE_REQUEST for an object that is not a physical device object.
    NTSTATUS registerInterface(PDEVICE_OBJECT physicalDevice, const GUID& classGuid,
                               std::u16string_view referenceString, std::u16string* link);
    // Enabling an enabled link succeeds; disabling an unknown or disabled one gives
    // STATUS_OBJECT_NAME_NOT_FOUND, as does enabling an unknown one.
    NTSTATUS setState(std::u16string_view link, bool enable);

    // What user mode sees: enabled links of started devices, in the order of registration.
    std::vector<InterfaceInstance> visible(const GUID& classGuid) const;
    // Every registration with its state, for tests and tools.
    std::vector<InterfaceInstance> registered() const;

    // ---- the PnP manager's part
    // The device has started: its enabled links become visible and can be opened.
    void publish(const PnpDevice& device, fx::Device* frameworkDevice);
    // Removal has begun: the device's links are no longer visible.
    void withdraw(const PnpDevice& device);
    // After release hardware: links the driver left enabled are disabled, as the system does
    // for a device that is gone. Returns how many there were.
    std::size_t disableAll(const PnpDevice& device);

    // ---- the I/O manager's part
    // The framework device behind a visible link, with an open reserved on it so that it
    // cannot be deleted before the open completes (fx::Device::openFile takes the
    // reservation). STATUS_OBJECT_NAME_NOT_FOUND when no visible link has that name; the
    // removal status of the device when it is going.
    NTSTATUS reserveOpen(std::u16string_view link, fx::Device** device);

private:
    struct Record {
        InterfaceInstance instance;
        const PnpDevice* owner = nullptr;
        std::uint64_t order = 0;
    };
    const Record* findLocked(std::u16string_view link) const;

    mutable std::mutex mutex_;
    std::map<std::u16string, Record> records_;           // by folded link
    std::map<const PnpDevice*, fx::Device*> started_;  // devices whose links are visible
    std::uint64_t nextOrder_ = 0;
};

}  // namespace host
