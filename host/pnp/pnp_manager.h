// The PnP manager: loads the driver, offers it devices, runs add and the start sequence,
// removes devices in the framework's order and finally unloads the driver.
//
// A bus (the emulated USB bus) hands its own physical device object in the description; a
// device offered without one gets a plain physical device object of the host's bus driver.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/framework/device_init.h"
#include "platform/wdf.h"

namespace host {

class IoObjects;
namespace fx {
class Device;
class Framework;
}  // namespace fx

// Who binds a driver to the framework before its entry point runs: the machine, for a driver
// compiled into the program; the driver itself, for a Windows image, whose entry stub calls the
// framework's loader.
enum class FrameworkBinding { ByMachine, ByDriver };

struct PnpDeviceDescription {
    // As the bus reports them, most specific first: USB\VID_0483&PID_DF11&REV_2200, ...
    std::vector<std::u16string> hardwareIds;
    std::u16string serialNumber;  // the device's serial-number string, when it has one
    // The instance id of the device's registry key; empty: the serial number, or a generated
    // "5&1a2b3c4d&0&2"-style id when there is none.
    std::u16string instanceId;
    std::u16string deviceDescription;
    // When not empty, the hardware-ID property answers these bytes as they are: a bus that
    // reports a malformed list.
    std::vector<std::uint8_t> hardwareIdBytes;
    // Name of the physical device object the host creates; empty: \Device\USBPDO-<n>.
    std::u16string pdoName;
    CHAR stackSize = 1;
    // Supplied by a bus: this device object is the physical device object, owned by the bus.
    PDEVICE_OBJECT physicalDevice = nullptr;
};

enum class PnpState { Offered, AddFailed, NoDevice, StartFailed, Started, Removing, Removed };
const char* pnpStateName(PnpState state);

class PnpDevice {
public:
    const PnpDeviceDescription& description() const { return description_; }
    // "USB\VID_0483&PID_DF11": the first hardware ID without its revision part.
    const std::u16string& deviceId() const { return deviceId_; }
    const std::u16string& instanceId() const { return instanceId_; }
    // Full path of the device's hardware key (the "Device Parameters" key).
    std::u16string hardwareKeyPath() const;
    PDEVICE_OBJECT physicalDevice() const { return pdo_; }
    PnpState state() const { return state_.load(); }
    NTSTATUS addStatus() const { return addStatus_.load(); }
    NTSTATUS startStatus() const { return startStatus_.load(); }
    // The framework device while it exists (after add, until deleted).
    fx::Device* device() const { return device_.load(); }
    WDFDEVICE handle() const;

private:
    friend class PnpManager;
    PnpDeviceDescription description_;
    std::u16string deviceId_;
    std::u16string instanceId_;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool ownsPdo_ = false;
    std::atomic<PnpState> state_{PnpState::Offered};
    // Held through add and start, and through a removal. A removal asked for before the
    // device's start has ended (or begun, on a worker) waits for it, as the system's PnP
    // manager orders them: the device leaves Offered once its arrival is over.
    std::mutex lifecycle_;
    std::condition_variable arrived_;
    std::atomic<NTSTATUS> addStatus_{STATUS_PENDING};
    std::atomic<NTSTATUS> startStatus_{STATUS_PENDING};
    // Cleared by whoever deletes the device: the PnP manager, or the last close of a handle
    // after removal, on the closing thread.
    std::atomic<fx::Device*> device_{nullptr};
};

class PnpManager {
public:
    PnpManager(IoObjects& ioObjects, fx::Framework& framework);
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Calls the entry point with \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<service>.
    // On failure the driver object is gone again and the status is returned.
    NTSTATUS loadDriver(PDRIVER_INITIALIZE entry, std::u16string_view service,
                        FrameworkBinding binding = FrameworkBinding::ByMachine);
    bool driverLoaded() const { return driverObject_ != nullptr; }
    PDRIVER_OBJECT driverObject() const { return driverObject_; }
    // The driver's registry path as passed to its entry point.
    const std::u16string& registryPath() const { return registryPath_; }
    // The host's bus driver, owner of the physical device objects it makes.
    PDRIVER_OBJECT busDriver();

    // Runs add and, when add created a device, the start sequence (prepare hardware, D0 entry).
    PnpDevice& offerDevice(PnpDeviceDescription description);
    // Offers every device at once: each one's add and start run on a worker of its own, with
    // its own lane of a virtual clock, and the call returns when every one has started or
    // failed. The records exist before any worker runs, so another thread may find a device
    // and remove it meanwhile; the removal then follows its start.
    std::vector<PnpDevice*> offerDevices(std::vector<PnpDeviceDescription> descriptions);
    // Orderly removal: the device's interfaces disappear and its queues stop presenting; once
    // the driver holds no request any more, self-managed I/O suspend, D0 exit, release
    // hardware; the device is deleted (context cleanup) once its last file is closed.
    void removeDevice(PnpDevice& device);
    // The same, with the surprise-removal callback right after the queues stopped and before
    // the wait for the requests in progress: it is how they learn that the device is gone.
    void surpriseRemoveDevice(PnpDevice& device);
    // Removes what is left, calls the driver's unload routine (the framework's deletes the
    // framework driver, with its cleanup callback) and deletes the driver object. False, and
    // nothing unloaded, while a removed device still has open files.
    bool unloadDriver();
    // Everything down, whatever state it is in; the machine calls it before it goes.
    void shutdown();

    std::vector<PnpDevice*> devices() const;
    PnpDevice* findByPhysicalDevice(const DEVICE_OBJECT* pdo) const;

private:
    PnpDevice& record(PnpDeviceDescription description);
    void arrive(PnpDevice& device);
    void startDevice(PnpDevice& device);
    void teardown(PnpDevice& device, bool surprise);
    void deleteDevice(PnpDevice& device);
    void releasePdo(PnpDevice& device);
    std::u16string generatedInstanceId();
    // Gives back the globals the machine bound for a driver compiled into the program.
    void unbindByMachine(FrameworkBinding binding);

    IoObjects& io_;
    fx::Framework& framework_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<PnpDevice>> devices_;
    PDRIVER_OBJECT driverObject_ = nullptr;
    FrameworkBinding binding_ = FrameworkBinding::ByMachine;
    PDRIVER_OBJECT busDriver_ = nullptr;
    std::u16string registryPath_;
    unsigned generatedIds_ = 0;
};

}  // namespace host
