#include "host/pnp/pnp_manager.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "host/framework/device.h"
#include "host/framework/driver.h"
#include "host/framework/framework.h"
#include "host/machine.h"
#include "host/pnp/io_objects.h"
#include "host/rtl/text.h"

namespace host {

namespace {

constexpr std::u16string_view kServicesPath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr std::u16string_view kEnumPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\";

// "USB\VID_0483&PID_DF11&REV_2200" -> "USB\VID_0483&PID_DF11".
std::u16string deviceIdOf(const std::vector<std::u16string>& hardwareIds) {
    if (hardwareIds.empty()) {
        return u"USB\\UNKNOWN";
    }
    std::u16string id = hardwareIds.front();
    const std::size_t rev = foldCase(id).find(u"&REV_");
    if (rev != std::u16string::npos) {
        id.erase(rev);
    }
    return id;
}

}  // namespace

const char* pnpStateName(PnpState state) {
    switch (state) {
        case PnpState::Offered:
            return "offered";
        case PnpState::AddFailed:
            return "add failed";
        case PnpState::NoDevice:
            return "no device";
        case PnpState::StartFailed:
            return "start failed";
        case PnpState::Started:
            return "started";
        case PnpState::Removing:
            return "removing";
        case PnpState::Removed:
            return "removed";
    }
    return "?";
}

std::u16string PnpDevice::hardwareKeyPath() const {
    return std::u16string(kEnumPath) + deviceId_ + u"\\" + instanceId_ + u"\\Device Parameters";
}

WDFDEVICE PnpDevice::handle() const {
    fx::Device* device = device_.load();
    return device == nullptr ? nullptr : device->handleAs<WDFDEVICE>();
}

PnpManager::PnpManager(IoObjects& ioObjects, fx::Framework& framework)
    : io_(ioObjects), framework_(framework) {}

PnpManager::~PnpManager() = default;

PDRIVER_OBJECT PnpManager::busDriver() {
    std::lock_guard lock(mutex_);
    if (busDriver_ == nullptr) {
        busDriver_ = io_.createDriver(u"\\Driver\\EmulatedBus");
    }
    return busDriver_;
}

NTSTATUS PnpManager::loadDriver(PDRIVER_INITIALIZE entry, std::u16string_view service,
                                FrameworkBinding binding) {
    if (driverObject_ != nullptr) {
        std::fprintf(stderr, "pnp: a driver is loaded already\n");
        std::abort();
    }
    registryPath_ = std::u16string(kServicesPath) + std::u16string(service);
    PDRIVER_OBJECT driver = io_.createDriver(u"\\Driver\\" + std::u16string(service));
    if (binding == FrameworkBinding::ByMachine) {
        WdfDriverGlobals = framework_.bind(service);
    }
    UNICODE_STRING path;
    path.Buffer = registryPath_.data();  // terminated, as the system passes it
    path.Length = static_cast<USHORT>(registryPath_.size() * sizeof(WCHAR));
    path.MaximumLength = static_cast<USHORT>(path.Length + sizeof(WCHAR));
    const NTSTATUS status = entry(driver, &path);
    if (!NT_SUCCESS(status)) {
        // A driver whose entry fails is unloaded without its cleanup having a say; a framework
        // driver it created anyway goes with it.
        if (fx::Driver* fxDriver = framework_.driver(); fxDriver != nullptr && fxDriver->wdm() == driver) {
            fx::Object::destroy(fxDriver);
        }
        unbindByMachine(binding);
        io_.deleteDriver(driver);
        return status;
    }
    driverObject_ = driver;
    binding_ = binding;
    return status;
}

void PnpManager::unbindByMachine(FrameworkBinding binding) {
    if (binding == FrameworkBinding::ByMachine && WdfDriverGlobals != nullptr) {
        framework_.unbind(WdfDriverGlobals);
        WdfDriverGlobals = nullptr;
    }
}

std::u16string PnpManager::generatedInstanceId() {
    unsigned n = 0;
    {
        std::lock_guard lock(mutex_);
        n = generatedIds_++;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "5&%08x&0&%u", 0x1a2b3c4du + n * 0x1111u, n + 2);
    return widen(text);
}

PnpDevice& PnpManager::offerDevice(PnpDeviceDescription description) {
    PnpDevice& device = record(std::move(description));
    arrive(device);
    return device;
}

std::vector<PnpDevice*> PnpManager::offerDevices(std::vector<PnpDeviceDescription> descriptions) {
    std::vector<PnpDevice*> offered;
    offered.reserve(descriptions.size());
    for (PnpDeviceDescription& description : descriptions) {
        offered.push_back(&record(std::move(description)));
    }
    Clock& clock = Machine::current().clock();
    const std::uint64_t start = clock.nowMicros();
    std::vector<std::thread> workers;
    workers.reserve(offered.size());
    for (PnpDevice* device : offered) {
        workers.emplace_back([this, device, &clock, start] {
            VirtualClock::Lane lane(clock, start);
            arrive(*device);
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    return offered;
}

PnpDevice& PnpManager::record(PnpDeviceDescription description) {
    fx::Driver* driver = framework_.driver();
    if (driverObject_ == nullptr || driver == nullptr || driver->wdm() != driverObject_) {
        std::fprintf(stderr, "pnp: a device offered with no framework driver loaded\n");
        std::abort();
    }
    auto owned = std::make_unique<PnpDevice>();
    PnpDevice& device = *owned;
    device.description_ = std::move(description);
    device.deviceId_ = deviceIdOf(device.description_.hardwareIds);
    device.instanceId_ = !device.description_.instanceId.empty() ? device.description_.instanceId
                         : !device.description_.serialNumber.empty()
                             ? device.description_.serialNumber
                             : generatedInstanceId();
    if (device.description_.physicalDevice != nullptr) {
        device.pdo_ = device.description_.physicalDevice;
    } else {
        const std::u16string name = device.description_.pdoName.empty()
                                        ? io_.nextPdoName()
                                        : device.description_.pdoName;
        device.pdo_ = io_.createDevice(busDriver(), name, device.description_.stackSize);
        device.ownsPdo_ = true;
    }
    {
        std::lock_guard lock(mutex_);
        devices_.push_back(std::move(owned));
    }
    return device;
}

void PnpManager::arrive(PnpDevice& device) {
    std::lock_guard lifecycle(device.lifecycle_);
    startDevice(device);
    device.arrived_.notify_all();
}

void PnpManager::startDevice(PnpDevice& device) {
    fx::Driver* driver = framework_.driver();
    WDFDEVICE_INIT init;
    init.driver = driver;
    init.physicalDevice = device.pdo_;
    PWDFDEVICE_INIT initPointer = &init;
    const NTSTATUS addStatus =
        driver->config().EvtDriverDeviceAdd(driver->handleAs<WDFDRIVER>(), initPointer);
    device.addStatus_ = addStatus;
    if (device.pdo_->AttachedDevice != nullptr) {
        device.device_.store(
            fx::Object::from<fx::Device>(device.pdo_->AttachedDevice->DeviceExtension));
    }
    if (!NT_SUCCESS(addStatus)) {
        device.state_ = PnpState::AddFailed;
        deleteDevice(device);  // the framework deletes a device whose add failed
        return;
    }
    if (device.device() == nullptr) {
        device.state_ = PnpState::NoDevice;
        releasePdo(device);
        return;
    }

    const WDFDEVICE_INIT& config = device.device()->init();
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = config.pnpPowerCallbacks;
    const WDFDEVICE handle = device.handle();
    NTSTATUS status = STATUS_SUCCESS;
    if (config.pnpPowerCallbacksSet && callbacks.EvtDevicePrepareHardware != nullptr) {
        status = callbacks.EvtDevicePrepareHardware(handle, nullptr, nullptr);
    }
    if (NT_SUCCESS(status) && config.pnpPowerCallbacksSet && callbacks.EvtDeviceD0Entry != nullptr) {
        status = callbacks.EvtDeviceD0Entry(handle, WdfPowerDeviceD3Final);
    }
    device.startStatus_ = status;
    if (!NT_SUCCESS(status)) {
        // A failed start releases the hardware and the device goes.
        if (config.pnpPowerCallbacksSet && callbacks.EvtDeviceReleaseHardware != nullptr) {
            callbacks.EvtDeviceReleaseHardware(handle, nullptr);
        }
        Machine::current().interfaces().disableAll(device);
        device.state_ = PnpState::StartFailed;
        deleteDevice(device);
        return;
    }
    // Only now does user mode see the interfaces the driver enabled while it started, and
    // power-managed queues begin to present.
    device.device()->startIo();
    Machine::current().interfaces().publish(device, device.device());
    device.state_ = PnpState::Started;
}

void PnpManager::teardown(PnpDevice& device, bool surprise) {
    std::unique_lock lifecycle(device.lifecycle_);
    device.arrived_.wait(lifecycle, [&] { return device.state() != PnpState::Offered; });
    PnpState expected = PnpState::Started;
    if (!device.state_.compare_exchange_strong(expected, PnpState::Removing)) {
        return;
    }
    fx::Device* fxDevice = device.device();
    const WDFDEVICE_INIT& config = fxDevice->init();
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = config.pnpPowerCallbacks;
    const WDFDEVICE handle = device.handle();
    DeviceInterfaces& interfaces = Machine::current().interfaces();
    interfaces.withdraw(device);
    fxDevice->stopIo(surprise);
    if (surprise && config.pnpPowerCallbacksSet && callbacks.EvtDeviceSurpriseRemoval != nullptr) {
        // While requests still run: a long-running one polls what this callback sets.
        callbacks.EvtDeviceSurpriseRemoval(handle);
    }
    // No power-down callback runs under a request the driver still holds.
    fxDevice->waitUntilNoRequestHeld();
    if (config.pnpPowerCallbacksSet) {
        if (callbacks.EvtDeviceSelfManagedIoSuspend != nullptr) {
            callbacks.EvtDeviceSelfManagedIoSuspend(handle);
        }
        if (callbacks.EvtDeviceD0Exit != nullptr) {
            callbacks.EvtDeviceD0Exit(handle, WdfPowerDeviceD3Final);
        }
        if (callbacks.EvtDeviceReleaseHardware != nullptr) {
            callbacks.EvtDeviceReleaseHardware(handle, nullptr);
        }
    }
    // What the driver left enabled goes with the device.
    interfaces.disableAll(device);
    device.state_ = PnpState::Removed;
    PnpDevice* target = &device;
    fxDevice->deleteWhenClosed([this, target] { deleteDevice(*target); });
}

void PnpManager::removeDevice(PnpDevice& device) { teardown(device, false); }

void PnpManager::surpriseRemoveDevice(PnpDevice& device) { teardown(device, true); }

void PnpManager::deleteDevice(PnpDevice& device) {
    if (fx::Device* fxDevice = device.device_.exchange(nullptr)) {
        fx::Object::destroy(fxDevice);
    }
    releasePdo(device);
}

void PnpManager::releasePdo(PnpDevice& device) {
    if (device.ownsPdo_ && device.pdo_ != nullptr) {
        io_.deleteDevice(device.pdo_);
        device.pdo_ = nullptr;
    }
    device.ownsPdo_ = false;
}

bool PnpManager::unloadDriver() {
    if (driverObject_ == nullptr) {
        return true;
    }
    for (PnpDevice* device : devices()) {
        removeDevice(*device);
    }
    for (PnpDevice* device : devices()) {
        if (device->device() != nullptr) {
            return false;  // held open by a file
        }
    }
    if (driverObject_->DriverUnload != nullptr) {
        driverObject_->DriverUnload(driverObject_);
    }
    // A driver without an unload routine cannot clean up; its framework driver goes anyway.
    if (fx::Driver* driver = framework_.driver(); driver != nullptr && driver->wdm() == driverObject_) {
        fx::Object::destroy(driver);
    }
    unbindByMachine(binding_);
    io_.deleteDriver(driverObject_);
    driverObject_ = nullptr;
    return true;
}

void PnpManager::shutdown() {
    for (PnpDevice* device : devices()) {
        removeDevice(*device);
        // Handles first, through the I/O manager that holds them; then files opened directly.
        // The last close deletes a removed device.
        if (fx::Device* fxDevice = device->device()) {
            Machine::current().io().closeHandlesOf(fxDevice);
        }
        if (fx::Device* fxDevice = device->device()) {
            fxDevice->closeAllFiles();
        }
        deleteDevice(*device);
    }
    unloadDriver();
    if (busDriver_ != nullptr) {
        for (PnpDevice* device : devices()) {
            releasePdo(*device);
        }
        io_.deleteDriver(busDriver_);
        busDriver_ = nullptr;
    }
}

std::vector<PnpDevice*> PnpManager::devices() const {
    std::lock_guard lock(mutex_);
    std::vector<PnpDevice*> result;
    for (const auto& device : devices_) {
        result.push_back(device.get());
    }
    return result;
}

PnpDevice* PnpManager::findByPhysicalDevice(const DEVICE_OBJECT* pdo) const {
    std::lock_guard lock(mutex_);
    // Newest first: a bus may hand out a device object again after an earlier device left.
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if ((*it)->pdo_ == pdo && pdo != nullptr) {
            return it->get();
        }
    }
    return nullptr;
}

}  // namespace host
