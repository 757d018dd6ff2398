#include "host/framework/io_target.h"

#include <map>
#include <mutex>

#include "host/framework/device.h"
#include "host/io/irp.h"
#include "host/machine.h"

namespace host::fx {

namespace {

// The default target of each framework device, made on first request and deleted with the
// device (its child).
std::mutex targetsMutex;
std::map<const Object*, IoTarget*> defaultTargets;

// Only a sender that saw STATUS_PENDING waits; one whose IRP came back completed from the call
// reads it at once, so nothing is signalled for it.
IO_COMPLETION_ROUTINE signalSender;
NTSTATUS signalSender(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PVOID argumentOf(const WDF_MEMORY_DESCRIPTOR* descriptor, bool* valid) {
    if (descriptor == nullptr) {
        return nullptr;
    }
    if (descriptor->Type != WdfMemoryDescriptorTypeBuffer) {
        *valid = false;
        return nullptr;
    }
    return descriptor->u.BufferType.Buffer;
}

}  // namespace

IoTarget::IoTarget(Object* parent, PDEVICE_OBJECT target)
    : Object(parent, nullptr), target_(target) {}

void IoTarget::onDelete() {
    std::lock_guard lock(targetsMutex);
    auto it = defaultTargets.find(parent());
    if (it != defaultTargets.end() && it->second == this) {
        defaultTargets.erase(it);
    }
}

SyncSendResult sendInternalIoctlSynchronously(PDEVICE_OBJECT target, ULONG ioControlCode,
                                              PVOID argument1, PVOID argument2, PVOID argument4,
                                              LONGLONG timeout) {
    SyncSendResult result;
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = argument1;
    next->Parameters.Others.Argument2 = argument2;
    next->Parameters.Others.Argument4 = argument4;
    // The code shares its slot with Argument3, which internal USB requests leave unused.
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    IoSetCompletionRoutine(irp, &signalSender, &event, TRUE, TRUE, TRUE);
    if (timeout < 0) {
        io::setSenderTimeoutMs(irp, static_cast<std::uint32_t>(-timeout / 10000));
    }

    const NTSTATUS sent = IofCallDriver(target, irp);
    bool timedOut = false;
    if (sent == STATUS_PENDING) {
        if (timeout < 0) {
            LARGE_INTEGER interval;
            interval.QuadPart = timeout;
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &interval) ==
                STATUS_TIMEOUT) {
                timedOut = true;
                IoCancelIrp(irp);
            }
        }
        // Returns at once once completion has signalled; after a cancel it waits for the lower
        // driver to give the IRP back.
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }

    result.status = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    if (timedOut && result.status == STATUS_CANCELLED) {
        result.status = STATUS_IO_TIMEOUT;
    }
    IoFreeIrp(irp);
    return result;
}

}  // namespace host::fx

// ---- platform entry points -------------------------------------------------------------------

WDFIOTARGET imp_WdfDeviceGetIoTarget(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFDEVICE device) {
    auto* fxDevice = host::fx::Object::from<host::fx::Device>(device);
    if (fxDevice == nullptr || fxDevice->attachedDevice() == nullptr) {
        return nullptr;
    }
    std::lock_guard lock(host::fx::targetsMutex);
    host::fx::IoTarget*& target = host::fx::defaultTargets[fxDevice];
    if (target == nullptr) {
        target = new host::fx::IoTarget(fxDevice, fxDevice->attachedDevice());
    }
    return target->handleAs<WDFIOTARGET>();
}

NTSTATUS imp_WdfIoTargetSendInternalIoctlOthersSynchronously(
    PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFIOTARGET ioTarget, WDFREQUEST request,
    ULONG ioctlCode, PWDF_MEMORY_DESCRIPTOR otherArg1, PWDF_MEMORY_DESCRIPTOR otherArg2,
    PWDF_MEMORY_DESCRIPTOR otherArg4, PWDF_REQUEST_SEND_OPTIONS requestOptions,
    ULONG_PTR* bytesReturned) {
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    auto* target = host::fx::Object::from<host::fx::IoTarget>(ioTarget);
    // Sending on behalf of a framework request is not offered: the driver never does.
    if (target == nullptr || request != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    bool valid = true;
    PVOID argument1 = host::fx::argumentOf(otherArg1, &valid);
    PVOID argument2 = host::fx::argumentOf(otherArg2, &valid);
    PVOID argument4 = host::fx::argumentOf(otherArg4, &valid);
    if (!valid) {
        return STATUS_INVALID_PARAMETER;
    }
    LONGLONG timeout = 0;
    if (requestOptions != nullptr && (requestOptions->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT)) {
        // Absolute times are not offered; relative ones are what the driver passes.
        if (requestOptions->Timeout > 0) {
            return STATUS_INVALID_PARAMETER;
        }
        timeout = requestOptions->Timeout;
    }
    const host::fx::SyncSendResult result = host::fx::sendInternalIoctlSynchronously(
        target->target(), ioctlCode, argument1, argument2, argument4, timeout);
    if (bytesReturned != nullptr) {
        *bytesReturned = result.information;
    }
    return result.status;
}
