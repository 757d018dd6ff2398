// The framework device: created by the add-device callback with its typed context; owns the
// driver's own DEVICE_OBJECT, attached on top of the physical device's stack. Everything the
// driver configured is kept here so tests can inspect it.
//
// It also presents I/O controls to the driver's queues, on the thread of the caller that sent
// them: a parallel queue lets several callers into its handler at once, a sequential queue one
// at a time (the others wait, first come first served), a manual queue keeps what it is given.
// Power-managed queues present only while the device is started. Removal stops the
// presentation, completes what still waits in a queue with STATUS_CANCELLED and lets the PnP
// manager wait until the driver holds no request before it runs the power-down callbacks.
#pragma once

#include <condition_variable>
#include <functional>
#include <optional>
#include <vector>

#include "host/framework/device_init.h"
#include "host/framework/object.h"

namespace host::fx {

class Driver;
class Queue;
class FileObject;
class Request;

// Where the device stands for I/O: before its start requests wait in power-managed queues;
// from the start of a removal on nothing is presented any more.
enum class IoState { NotStarted, Started, Removing };

class Device final : public Object {
public:
    Device(Driver& driver, const WDFDEVICE_INIT& init, const WDF_OBJECT_ATTRIBUTES* attributes,
           PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT attachedDevice);
    ~Device() override;

    Driver& driver() const { return driver_; }
    PDEVICE_OBJECT deviceObject() const { return deviceObject_; }
    PDEVICE_OBJECT attachedDevice() const { return attachedDevice_; }
    PDEVICE_OBJECT physicalDevice() const { return init_.physicalDevice; }

    // ---- the recorded configuration ----
    const WDFDEVICE_INIT& init() const { return init_; }
    WDF_EXECUTION_LEVEL executionLevel() const { return executionLevel_; }
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope() const { return synchronizationScope_; }
    const std::optional<WDF_DEVICE_PNP_CAPABILITIES>& pnpCapabilities() const { return pnpCaps_; }
    void setPnpCapabilities(const WDF_DEVICE_PNP_CAPABILITIES& caps) { pnpCaps_ = caps; }
    std::vector<Queue*> queues() const;
    Queue* defaultQueue() const;
    void addQueue(Queue* queue);
    void removeQueue(Queue* queue);

    // ---- file objects: the create, cleanup and close callbacks as the I/O manager runs them
    // Keeps the device from being deleted until the open that follows; the removal status
    // when the device is going.
    NTSTATUS reserveOpen();
    // Creates a file object and runs the create callback; the status it completed with. A
    // device that is being removed refuses with its removal status. reserved: the caller
    // holds a reservation from reserveOpen, which this consumes.
    NTSTATUS openFile(FileObject** file, bool reserved = false);
    // The cleanup callback (the last handle went) and the close callback (the last reference
    // went, the file object goes with it). The I/O manager runs them apart when requests of
    // the file are still in progress at cleanup.
    void cleanupFile(FileObject* file);
    void releaseFile(FileObject* file);
    // Cleanup then close.
    void closeFile(FileObject* file);
    std::size_t openFiles() const;
    // Closes every open file, as the I/O manager does when the handles' owners go.
    void closeAllFiles();
    // Runs deleter now when no file is open, else after the last close: the device outlives
    // its removal while handles remain.
    void deleteWhenClosed(std::function<void()> deleter);

    // ---- I/O: presentation to the queues
    // Presents an I/O control on the default queue, on the calling thread, and returns once it
    // is complete (by the driver, or by the framework when the device is going).
    void processRequest(Request& request);
    void completeRequest(Request& request, NTSTATUS status, ULONG_PTR information);
    NTSTATUS forwardRequest(Request& request, Queue& destination);

    // The PnP manager's part: after D0 entry; at the start of a removal; before the
    // power-down callbacks.
    void startIo();
    void stopIo(bool surprise);
    void waitUntilNoRequestHeld();
    IoState ioState() const;
    // What a request or an open gets once removal has begun: STATUS_NO_SUCH_DEVICE after a
    // surprise removal (the hardware is gone), STATUS_DELETE_PENDING after an orderly one.
    NTSTATUS removalStatus() const;
    // Requests the driver holds now (presented and not completed or forwarded), and requests
    // waiting in the device's queues to be presented.
    std::size_t requestsHeld() const;
    std::size_t requestsQueued() const;

private:
    bool canPresentLocked(const Request& request) const;
    void takeDeleterIfUnusedLocked(std::function<void()>& deleter);

    Driver& driver_;
    WDFDEVICE_INIT init_;
    PDEVICE_OBJECT deviceObject_;
    PDEVICE_OBJECT attachedDevice_;
    WDF_EXECUTION_LEVEL executionLevel_ = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope_ = WdfSynchronizationScopeInheritFromParent;
    std::optional<WDF_DEVICE_PNP_CAPABILITIES> pnpCaps_;
    mutable std::mutex mutex_;
    std::vector<Queue*> queues_;
    std::vector<FileObject*> files_;
    std::size_t reservedOpens_ = 0;
    std::function<void()> deleter_;
    // I/O state and the queues' requests are guarded by mutex_ as well; one lock per device
    // keeps presentation, completion and removal simple to reason about.
    std::condition_variable ioChanged_;
    IoState ioState_ = IoState::NotStarted;
    NTSTATUS removalStatus_ = STATUS_DELETE_PENDING;
    std::size_t held_ = 0;
};

}  // namespace host::fx
