// A framework I/O queue: its configuration as the driver gave it, and the requests it holds.
// The device presents them (device.h); the queue's own state is guarded by the device's I/O
// lock.
#pragma once

#include <deque>

#include "host/framework/object.h"

namespace host::fx {

class Device;
class Request;

class Queue final : public Object {
public:
    Queue(Device& device, const WDF_IO_QUEUE_CONFIG& config, const WDF_OBJECT_ATTRIBUTES* attributes);
    ~Queue() override;

    Device& device() const { return device_; }
    const WDF_IO_QUEUE_CONFIG& config() const { return config_; }
    bool isDefault() const { return config_.DefaultQueue != FALSE; }
    // Queues of a function driver are power-managed unless the driver says otherwise.
    bool powerManaged() const { return config_.PowerManaged != WdfFalse; }
    // Requests presented at once at most: 1 for a sequential queue, 0 for a manual one.
    ULONG presentationLimit() const;

private:
    friend class Device;
    Device& device_;
    WDF_IO_QUEUE_CONFIG config_;
    // Guarded by the device's I/O lock.
    std::deque<Request*> waiting_;
    ULONG presented_ = 0;
};

}  // namespace host::fx
