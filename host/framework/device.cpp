#include "host/framework/device.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "host/fault_plan.h"
#include "host/framework/driver.h"
#include "host/framework/queue.h"
#include "host/framework/request.h"
#include "host/machine.h"

namespace host::fx {

Device::Device(Driver& driver, const WDFDEVICE_INIT& init, const WDF_OBJECT_ATTRIBUTES* attributes,
               PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT attachedDevice)
    : Object(&driver, attributes),
      driver_(driver),
      init_(init),
      deviceObject_(deviceObject),
      attachedDevice_(attachedDevice) {
    if (attributes != nullptr) {
        executionLevel_ = attributes->ExecutionLevel;
        synchronizationScope_ = attributes->SynchronizationScope;
    }
    deviceObject_->DeviceExtension = static_cast<Object*>(this);  // what Object::from expects
}

Device::~Device() {
    // After the context cleanup callback, which may still log on the device object.
    Machine::current().ioObjects().deleteDevice(deviceObject_);
}

std::vector<Queue*> Device::queues() const {
    std::lock_guard lock(mutex_);
    return queues_;
}

Queue* Device::defaultQueue() const {
    std::lock_guard lock(mutex_);
    for (Queue* queue : queues_) {
        if (queue->isDefault()) {
            return queue;
        }
    }
    return nullptr;
}

void Device::addQueue(Queue* queue) {
    std::lock_guard lock(mutex_);
    queues_.push_back(queue);
}

void Device::removeQueue(Queue* queue) {
    std::lock_guard lock(mutex_);
    queues_.erase(std::remove(queues_.begin(), queues_.end(), queue), queues_.end());
}

NTSTATUS Device::reserveOpen() {
    std::lock_guard lock(mutex_);
    if (ioState_ == IoState::Removing) {
        return removalStatus_;
    }
    ++reservedOpens_;
    return STATUS_SUCCESS;
}

void Device::takeDeleterIfUnusedLocked(std::function<void()>& deleter) {
    if (files_.empty() && reservedOpens_ == 0 && deleter_) {
        deleter = std::move(deleter_);
        deleter_ = nullptr;
    }
}

NTSTATUS Device::openFile(FileObject** file, bool reserved) {
    if (file != nullptr) {
        *file = nullptr;
    }
    FileObject* created = nullptr;
    std::function<void()> deleter;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        if (reserved) {
            --reservedOpens_;
        }
        if (ioState_ == IoState::Removing) {
            status = removalStatus_;
            takeDeleterIfUnusedLocked(deleter);
        } else {
            created = new FileObject(
                *this, init_.fileObjectAttributesSet ? &init_.fileObjectAttributes : nullptr);
            files_.push_back(created);
        }
    }
    if (created == nullptr) {
        if (deleter) {
            deleter();  // may delete this device: nothing may follow
        }
        return status;
    }
    const WDF_FILEOBJECT_CONFIG& config = init_.fileObjectConfig;
    if (init_.fileObjectConfigSet && config.EvtDeviceFileCreate != nullptr) {
        Request request(created);
        config.EvtDeviceFileCreate(handleAs<WDFDEVICE>(), request.handleAs<WDFREQUEST>(),
                                   created->handleAs<WDFFILEOBJECT>());
        if (!request.completed()) {
            std::fprintf(stderr, "framework: a create request left pending is not supported\n");
            std::abort();
        }
        status = request.status();
    }
    if (!NT_SUCCESS(status)) {
        {
            std::lock_guard lock(mutex_);
            files_.erase(std::remove(files_.begin(), files_.end(), created), files_.end());
            takeDeleterIfUnusedLocked(deleter);
        }
        Object::destroy(created);
        if (deleter) {
            deleter();  // may delete this device: nothing may follow
        }
        return status;
    }
    if (file != nullptr) {
        *file = created;
    }
    return status;
}

void Device::cleanupFile(FileObject* file) {
    const WDF_FILEOBJECT_CONFIG& config = init_.fileObjectConfig;
    if (init_.fileObjectConfigSet && config.EvtFileCleanup != nullptr) {
        config.EvtFileCleanup(file->handleAs<WDFFILEOBJECT>());
    }
}

void Device::releaseFile(FileObject* file) {
    const WDF_FILEOBJECT_CONFIG& config = init_.fileObjectConfig;
    if (init_.fileObjectConfigSet && config.EvtFileClose != nullptr) {
        config.EvtFileClose(file->handleAs<WDFFILEOBJECT>());
    }
    std::function<void()> deleter;
    {
        std::lock_guard lock(mutex_);
        files_.erase(std::remove(files_.begin(), files_.end(), file), files_.end());
        takeDeleterIfUnusedLocked(deleter);
    }
    Object::destroy(file);
    if (deleter) {
        deleter();  // may delete this device: nothing may follow
    }
}

void Device::closeFile(FileObject* file) {
    cleanupFile(file);
    releaseFile(file);
}

std::size_t Device::openFiles() const {
    std::lock_guard lock(mutex_);
    return files_.size();
}

void Device::closeAllFiles() {
    for (;;) {
        FileObject* file = nullptr;
        bool last = false;
        {
            std::lock_guard lock(mutex_);
            if (files_.empty()) {
                return;
            }
            file = files_.back();
            last = files_.size() == 1;
        }
        // The last close may delete this device when its removal is pending.
        closeFile(file);
        if (last) {
            return;
        }
    }
}

void Device::deleteWhenClosed(std::function<void()> deleter) {
    {
        std::lock_guard lock(mutex_);
        if (!files_.empty() || reservedOpens_ != 0) {
            deleter_ = std::move(deleter);
            return;
        }
    }
    deleter();
}

// ---- I/O -------------------------------------------------------------------------------------

bool Device::canPresentLocked(const Request& request) const {
    if (request.state_ != Request::State::Queued || ioState_ == IoState::Removing) {
        return false;
    }
    const Queue& queue = *request.queue_;
    if (queue.powerManaged() && ioState_ != IoState::Started) {
        return false;
    }
    const ULONG limit = queue.presentationLimit();
    if (queue.presented_ >= limit) {
        return false;
    }
    // First come, first served among the free places.
    const std::size_t free = limit - queue.presented_;
    const auto position = static_cast<std::size_t>(
        std::find(queue.waiting_.begin(), queue.waiting_.end(), &request) - queue.waiting_.begin());
    return position < free;
}

void Device::processRequest(Request& request) {
    std::unique_lock lock(mutex_);
    if (ioState_ == IoState::Removing) {
        request.state_ = Request::State::Completed;
        request.setResult(removalStatus_, 0);
        return;
    }
    Queue* queue = nullptr;
    for (Queue* candidate : queues_) {
        if (candidate->isDefault()) {
            queue = candidate;
        }
    }
    if (queue == nullptr) {
        // Nobody to take it: the framework refuses what the driver left no queue for.
        request.state_ = Request::State::Completed;
        request.setResult(STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    request.queue_ = queue;
    request.state_ = Request::State::Queued;
    queue->waiting_.push_back(&request);
    // The caller's thread presents its own request, from whichever queue holds it by then,
    // and stays until someone completes it.
    for (;;) {
        ioChanged_.wait(lock, [&] {
            return request.state_ == Request::State::Completed || canPresentLocked(request);
        });
        if (request.state_ == Request::State::Completed) {
            return;
        }
        Queue* presenting = request.queue_;
        std::erase(presenting->waiting_, &request);
        ++presenting->presented_;
        ++held_;
        request.state_ = Request::State::Presented;
        const PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL handler = presenting->config().EvtIoDeviceControl;
        if (handler == nullptr) {
            --presenting->presented_;
            --held_;
            request.state_ = Request::State::Completed;
            request.setResult(STATUS_INVALID_DEVICE_REQUEST, 0);
            ioChanged_.notify_all();
            return;
        }
        const IoctlBuffers& buffers = request.buffers();
        lock.unlock();
        handler(presenting->handleAs<WDFQUEUE>(), request.handleAs<WDFREQUEST>(),
                buffers.outputLength, buffers.inputLength, buffers.ioControlCode);
        lock.lock();
    }
}

void Device::completeRequest(Request& request, NTSTATUS status, ULONG_PTR information) {
    std::lock_guard lock(mutex_);
    if (request.state_ == Request::State::Completed) {
        std::fprintf(stderr, "framework: request completed twice\n");
        std::abort();
    }
    if (request.state_ == Request::State::Queued) {
        std::fprintf(stderr, "framework: request completed while a queue holds it\n");
        std::abort();
    }
    --request.queue_->presented_;
    --held_;
    request.state_ = Request::State::Completed;
    request.setResult(status, information);
    // Under the lock: the waiting caller may free the request as soon as it runs again.
    ioChanged_.notify_all();
}

NTSTATUS Device::forwardRequest(Request& request, Queue& destination) {
    std::lock_guard lock(mutex_);
    if (request.state_ != Request::State::Presented) {
        std::fprintf(stderr, "framework: a request forwarded that the driver does not own\n");
        std::abort();
    }
    if (&destination.device() != this || &destination == request.queue_) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (ioState_ == IoState::Removing) {
        return STATUS_INVALID_DEVICE_STATE;  // the driver still owns it and completes it
    }
    --request.queue_->presented_;
    --held_;
    request.queue_ = &destination;
    request.state_ = Request::State::Queued;
    destination.waiting_.push_back(&request);
    ioChanged_.notify_all();
    return STATUS_SUCCESS;
}

void Device::startIo() {
    std::lock_guard lock(mutex_);
    if (ioState_ == IoState::NotStarted) {
        ioState_ = IoState::Started;
        ioChanged_.notify_all();
    }
}

void Device::stopIo(bool surprise) {
    std::lock_guard lock(mutex_);
    if (ioState_ == IoState::Removing) {
        return;
    }
    ioState_ = IoState::Removing;
    removalStatus_ = surprise ? STATUS_NO_SUCH_DEVICE : STATUS_DELETE_PENDING;
    for (Queue* queue : queues_) {
        for (Request* waiting : queue->waiting_) {
            waiting->state_ = Request::State::Completed;
            waiting->setResult(STATUS_CANCELLED, 0);
        }
        queue->waiting_.clear();
    }
    ioChanged_.notify_all();
}

void Device::waitUntilNoRequestHeld() {
    std::unique_lock lock(mutex_);
    ioChanged_.wait(lock, [&] { return held_ == 0; });
}

IoState Device::ioState() const {
    std::lock_guard lock(mutex_);
    return ioState_;
}

NTSTATUS Device::removalStatus() const {
    std::lock_guard lock(mutex_);
    return removalStatus_;
}

std::size_t Device::requestsHeld() const {
    std::lock_guard lock(mutex_);
    return held_;
}

std::size_t Device::requestsQueued() const {
    std::lock_guard lock(mutex_);
    std::size_t queued = 0;
    for (const Queue* queue : queues_) {
        queued += queue->waiting_.size();
    }
    return queued;
}

}  // namespace host::fx

// ---- platform entry points -------------------------------------------------------------------

void imp_WdfDeviceInitSetPowerPageable(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                       PWDFDEVICE_INIT deviceInit) {
    deviceInit->powerPageable = true;
}

PDEVICE_OBJECT imp_WdfFdoInitWdmGetPhysicalDevice(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                                  PWDFDEVICE_INIT deviceInit) {
    return deviceInit->physicalDevice;
}

void imp_WdfDeviceInitSetPnpPowerEventCallbacks(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                                PWDFDEVICE_INIT deviceInit,
                                                PWDF_PNPPOWER_EVENT_CALLBACKS callbacks) {
    deviceInit->pnpPowerCallbacks = *callbacks;
    deviceInit->pnpPowerCallbacksSet = true;
}

void imp_WdfDeviceInitSetFileObjectConfig(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                          PWDFDEVICE_INIT deviceInit,
                                          PWDF_FILEOBJECT_CONFIG fileObjectConfig,
                                          PWDF_OBJECT_ATTRIBUTES fileObjectAttributes) {
    deviceInit->fileObjectConfig = *fileObjectConfig;
    deviceInit->fileObjectConfigSet = true;
    if (fileObjectAttributes != nullptr) {
        deviceInit->fileObjectAttributes = *fileObjectAttributes;
        deviceInit->fileObjectAttributesSet = true;
    }
}

NTSTATUS imp_WdfDeviceCreate(PWDF_DRIVER_GLOBALS /*driverGlobals*/, PWDFDEVICE_INIT* deviceInit,
                             PWDF_OBJECT_ATTRIBUTES deviceAttributes, WDFDEVICE* device) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::DeviceCreate)) {
        return *failure;
    }
    if (deviceInit == nullptr || *deviceInit == nullptr || device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    WDFDEVICE_INIT& init = **deviceInit;
    if (init.driver == nullptr || init.physicalDevice == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    host::IoObjects& io = machine.ioObjects();
    PDEVICE_OBJECT fdo = io.createDevice(init.driver->wdm(), u"", 1);
    PDEVICE_OBJECT below = io.attachToStack(fdo, init.physicalDevice);
    auto* created = new host::fx::Device(*init.driver, init, deviceAttributes, fdo, below);
    *deviceInit = nullptr;  // consumed: the PnP manager keeps the storage
    *device = created->handleAs<WDFDEVICE>();
    return STATUS_SUCCESS;
}

void imp_WdfDeviceSetPnpCapabilities(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFDEVICE device,
                                     PWDF_DEVICE_PNP_CAPABILITIES caps) {
    host::fx::Object::from<host::fx::Device>(device)->setPnpCapabilities(*caps);
}

PDEVICE_OBJECT imp_WdfDeviceWdmGetDeviceObject(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                               WDFDEVICE device) {
    return host::fx::Object::from<host::fx::Device>(device)->deviceObject();
}

PDEVICE_OBJECT imp_WdfDeviceWdmGetAttachedDevice(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                                 WDFDEVICE device) {
    return host::fx::Object::from<host::fx::Device>(device)->attachedDevice();
}

PDEVICE_OBJECT imp_WdfDeviceWdmGetPhysicalDevice(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                                 WDFDEVICE device) {
    return host::fx::Object::from<host::fx::Device>(device)->physicalDevice();
}
