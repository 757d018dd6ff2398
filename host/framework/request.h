// Framework requests and file objects. A request is either a standalone one (the create request
// of a file open) or an I/O-control request that the I/O manager built and hands to the
// device's queues; the device presents it and guards its state (see device.h).
#pragma once

#include <atomic>

#include "host/framework/object.h"

namespace host::fx {

class Device;
class Queue;

class FileObject final : public Object {
public:
    // The attributes the driver gave for its file objects (context type), or null.
    FileObject(Device& device, const WDF_OBJECT_ATTRIBUTES* attributes);
    Device& device() const { return device_; }

private:
    Device& device_;
};

// What the I/O manager built for an I/O control, by its transfer method.
struct IoctlBuffers {
    ULONG ioControlCode = 0;
    ULONG method = 0;            // the code's low two bits
    PVOID systemBuffer = nullptr;  // buffered: input and output; direct: the input
    SIZE_T inputLength = 0;
    SIZE_T outputLength = 0;
    PMDL mdl = nullptr;          // direct methods: the output buffer
    PIRP irp = nullptr;
};

class Request final : public Object {
public:
    // A standalone request, completed on its own.
    Request(FileObject* file, Object* parent = nullptr);
    // An I/O control for the device's queues.
    Request(FileObject* file, Device& device, const IoctlBuffers& buffers);

    FileObject* file() const { return file_; }
    Device* device() const { return device_; }
    const IoctlBuffers& buffers() const { return buffers_; }

    // Completing twice, or completing a request that a queue holds, is a driver bug: abort.
    void complete(NTSTATUS status, ULONG_PTR information);
    bool completed() const { return completed_.load(); }
    NTSTATUS status() const { return status_; }
    ULONG_PTR information() const { return information_; }

    // The minimum-size rule: STATUS_BUFFER_TOO_SMALL when the buffer is shorter than the
    // minimum or missing; STATUS_INVALID_DEVICE_REQUEST for a method without buffers of the
    // framework's (neither I/O) or a request that is not an I/O control.
    NTSTATUS retrieveInputBuffer(SIZE_T minimum, PVOID* buffer, SIZE_T* length) const;
    NTSTATUS retrieveOutputBuffer(SIZE_T minimum, PVOID* buffer, SIZE_T* length) const;

private:
    friend class Device;
    enum class State { Queued, Presented, Completed };

    // Sets the result; for queued requests the device calls it under its I/O lock.
    void setResult(NTSTATUS status, ULONG_PTR information);

    FileObject* file_;
    Device* device_ = nullptr;
    IoctlBuffers buffers_;
    std::atomic<bool> completed_{false};
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    // Guarded by the device's I/O lock.
    State state_ = State::Queued;
    Queue* queue_ = nullptr;  // the queue that holds or presented it
};

}  // namespace host::fx
