#include "host/framework/queue.h"

#include "host/fault_plan.h"
#include "host/framework/device.h"
#include "host/machine.h"

namespace host::fx {

Queue::Queue(Device& device, const WDF_IO_QUEUE_CONFIG& config,
             const WDF_OBJECT_ATTRIBUTES* attributes)
    : Object(&device, attributes), device_(device), config_(config) {
    device_.addQueue(this);
}

Queue::~Queue() { device_.removeQueue(this); }

ULONG Queue::presentationLimit() const {
    switch (config_.DispatchType) {
        case WdfIoQueueDispatchSequential:
            return 1;
        case WdfIoQueueDispatchParallel: {
            // 0 and -1 both mean that the driver set no limit.
            const ULONG limit = config_.Settings.Parallel.NumberOfPresentedRequests;
            return limit == 0 ? 0xFFFFFFFF : limit;
        }
        default:
            return 0;  // manual: the driver pulls, nothing is presented
    }
}

}  // namespace host::fx

NTSTATUS imp_WdfIoQueueCreate(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFDEVICE device,
                              PWDF_IO_QUEUE_CONFIG config, PWDF_OBJECT_ATTRIBUTES queueAttributes,
                              WDFQUEUE* queue) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::QueueCreate)) {
        return *failure;
    }
    auto* owner = host::fx::Object::from<host::fx::Device>(device);
    if (owner == nullptr || config == nullptr || config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        config->DispatchType == WdfIoQueueDispatchInvalid ||
        config->DispatchType > WdfIoQueueDispatchManual) {
        return STATUS_INVALID_PARAMETER;
    }
    if (config->DefaultQueue && owner->defaultQueue() != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;  // a device has one default queue
    }
    auto* created = new host::fx::Queue(*owner, *config, queueAttributes);
    if (queue != nullptr) {
        *queue = created->handleAs<WDFQUEUE>();
    }
    return STATUS_SUCCESS;
}

WDFDEVICE imp_WdfIoQueueGetDevice(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFQUEUE queue) {
    return host::fx::Object::from<host::fx::Queue>(queue)->device().handleAs<WDFDEVICE>();
}
