// IRPs as the I/O manager keeps them: one pool block holds the machine's bookkeeping, the IRP
// and its stack locations, so a leaked IRP shows in the pool report under its tag.
#include "host/io/irp.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "host/fault_plan.h"
#include "host/machine.h"
#include "platform/kernel_helpers.h"

namespace host::io {

namespace {

constexpr ULONG kSystemBufferTag = PoolTag("IoSb");
constexpr ULONG kMdlTag = PoolTag("IoMd");
// The object type the system's IRPs carry in their first member.
constexpr CSHORT kIrpObjectType = 6;

enum : ULONG {
    METHOD_BUFFERED = 0,
    METHOD_IN_DIRECT = 1,
    METHOD_OUT_DIRECT = 2,
    METHOD_NEITHER = 3
};

struct IrpState {
    std::atomic<CancelRoutine> cancelRoutine{nullptr};
    // Both are written before the IRP is handed down and read by drivers that received it, which
    // orders them already: the accesses need no fence of their own.
    std::atomic<std::uint32_t> senderTimeoutMs{0};
    // The sender's location: the IRP is the lower stack's while CurrentLocation is below it.
    std::atomic<int> topLocation{0};

    // Set for IRPs from IoBuildDeviceIoControlRequest, which the I/O manager finishes itself.
    bool builtByIoManager = false;
    PKEVENT event = nullptr;
    PIO_STATUS_BLOCK statusBlock = nullptr;
    ULONG method = METHOD_BUFFERED;
    PVOID outputBuffer = nullptr;
    ULONG outputLength = 0;
};

// The IRP comes first, so the block is found from the IRP a driver hands back.
struct IrpBlock {
    IRP irp;
    IrpState state;
    // IO_STACK_LOCATION[StackCount] follow.
};

[[noreturn]] void driverBug(const char* what) {
    std::fprintf(stderr, "I/O manager: %s\n", what);
    std::abort();
}

IrpBlock* blockOf(PIRP irp) {
    return reinterpret_cast<IrpBlock*>(irp);
}
IrpState& stateOf(PIRP irp) {
    return blockOf(irp)->state;
}

CHAR currentLocation(PIRP irp) {
    return std::atomic_ref<CHAR>(irp->CurrentLocation).load();
}

bool cancelFlag(PIRP irp) {
    return std::atomic_ref<BOOLEAN>(irp->Cancel).load() != FALSE;
}

void clearStackLocation(PIO_STACK_LOCATION location) {
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control = 0;
    location->Parameters = {};
    location->FileObject = nullptr;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;
}

void releaseBuffers(PIRP irp) {
    if (irp->AssociatedIrp.SystemBuffer != nullptr) {
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    if (irp->MdlAddress != nullptr) {
        ExFreePoolWithTag(irp->MdlAddress, kMdlTag);
        irp->MdlAddress = nullptr;
    }
}

void destroy(PIRP irp) {
    releaseBuffers(irp);
    IrpBlock* block = blockOf(irp);
    block->state.~IrpState();
    ExFreePoolWithTag(block, kIrpTag);
}

// The I/O manager's part once completion has passed the top of the stack.
void finishAtTop(PIRP irp) {
    IrpState& state = stateOf(irp);
    if (!state.builtByIoManager) {
        driverBug(
            "an IRP from IoAllocateIrp completed past its top without "
            "STATUS_MORE_PROCESSING_REQUIRED: its sender can never free it");
    }
    if (state.method == METHOD_BUFFERED && state.outputBuffer != nullptr &&
        irp->AssociatedIrp.SystemBuffer != nullptr && NT_SUCCESS(irp->IoStatus.Status)) {
        const ULONG_PTR count = std::min<ULONG_PTR>(irp->IoStatus.Information, state.outputLength);
        std::memcpy(state.outputBuffer, irp->AssociatedIrp.SystemBuffer, count);
    }
    PKEVENT event = state.event;
    if (state.statusBlock != nullptr) {
        *state.statusBlock = irp->IoStatus;
    }
    // The waiter may return and drop its event and status block as soon as the event is set,
    // so nothing of the caller's is touched after it.
    destroy(irp);
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace

CancelRoutine setCancelRoutine(PIRP irp, CancelRoutine routine) {
    return stateOf(irp).cancelRoutine.exchange(routine);
}

bool ownedByLowerStack(PIRP irp) {
    const int top = stateOf(irp).topLocation.load(std::memory_order_acquire);
    return top != 0 && currentLocation(irp) < top;
}

void setSenderTimeoutMs(PIRP irp, std::uint32_t milliseconds) {
    stateOf(irp).senderTimeoutMs.store(milliseconds, std::memory_order_relaxed);
}

std::uint32_t senderTimeoutMs(PIRP irp) {
    return stateOf(irp).senderTimeoutMs.load(std::memory_order_relaxed);
}

void copyCurrentStackLocationToNext(PIRP irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    *next = *current;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
}

void skipCurrentStackLocation(PIRP irp) {
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}

}  // namespace host::io

// ---- platform entry points -------------------------------------------------------------------

using host::io::IrpBlock;
using host::io::IrpState;

PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN /*chargeQuota*/) {
    if (stackSize < 1) {
        host::io::driverBug("IoAllocateIrp with a stack size below 1");
    }
    if (host::Machine::current().faults().callFails(host::FaultSite::IrpAllocation)) {
        return nullptr;
    }
    const std::size_t bytes = sizeof(IrpBlock) + sizeof(IO_STACK_LOCATION) * stackSize;
    // Cleared right below: the pool's fill pattern would only be written over.
    void* memory = host::Machine::current().pool().allocate(
        NonPagedPoolNx, bytes, host::io::kIrpTag, host::Pool::Fill::None);
    if (memory == nullptr) {
        return nullptr;
    }
    std::memset(memory, 0, bytes);
    auto* block = static_cast<IrpBlock*>(memory);
    new (&block->state) IrpState();
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(block + 1);
    PIRP irp = &block->irp;
    irp->Type = host::io::kIrpObjectType;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + sizeof(IO_STACK_LOCATION) * stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
    irp->RequestorMode = KernelMode;
    return irp;
}

void IoFreeIrp(PIRP irp) {
    if (irp == nullptr) {
        return;
    }
    if (host::io::ownedByLowerStack(irp)) {
        host::io::driverBug("IoFreeIrp of an IRP that a lower driver still owns");
    }
    if (host::io::stateOf(irp).cancelRoutine.load() != nullptr) {
        host::io::driverBug("IoFreeIrp of an IRP with a cancel routine set");
    }
    host::io::destroy(irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
    PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    IrpState& state = host::io::stateOf(irp);
    state.builtByIoManager = true;
    state.event = event;
    state.statusBlock = ioStatusBlock;
    state.method = ioControlCode & 3;
    state.outputBuffer = outputBuffer;
    state.outputLength = outputBufferLength;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;

    const auto fail = [&]() -> PIRP {
        IoFreeIrp(irp);
        return nullptr;
    };
    switch (state.method) {
        case host::io::METHOD_BUFFERED: {
            const ULONG size = std::max(inputBufferLength, outputBufferLength);
            if (size != 0) {
                auto* buffer = static_cast<std::uint8_t*>(host::Machine::current().pool().allocate(
                    NonPagedPoolNx, size, host::io::kSystemBufferTag, host::Pool::Fill::None));
                if (buffer == nullptr) {
                    return fail();
                }
                // The input, then zeros: a driver that reports more than it wrote hands back
                // zeros, never old pool contents.
                ULONG copied = 0;
                if (inputBuffer != nullptr && inputBufferLength != 0) {
                    std::memcpy(buffer, inputBuffer, inputBufferLength);
                    copied = inputBufferLength;
                }
                std::memset(buffer + copied, 0, size - copied);
                irp->AssociatedIrp.SystemBuffer = buffer;
            }
            break;
        }
        case host::io::METHOD_IN_DIRECT:
        case host::io::METHOD_OUT_DIRECT:
            if (inputBufferLength != 0) {
                void* buffer = ExAllocatePoolWithTag(NonPagedPoolNx, inputBufferLength,
                                                     host::io::kSystemBufferTag);
                if (buffer == nullptr) {
                    return fail();
                }
                std::memcpy(buffer, inputBuffer, inputBufferLength);
                irp->AssociatedIrp.SystemBuffer = buffer;
            }
            if (outputBufferLength != 0) {
                auto* mdl = static_cast<PMDL>(
                    ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), host::io::kMdlTag));
                if (mdl == nullptr) {
                    return fail();
                }
                *mdl = {};
                mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
                mdl->MappedSystemVa = outputBuffer;
                mdl->ByteCount = outputBufferLength;
                irp->MdlAddress = mdl;
            }
            break;
        default:
            next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
            irp->UserBuffer = outputBuffer;
            break;
    }
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    IrpState& state = host::io::stateOf(irp);
    if (irp->CurrentLocation <= 1) {
        host::io::driverBug("IofCallDriver with no stack location left");
    }
    if (!host::io::ownedByLowerStack(irp)) {
        state.topLocation.store(irp->CurrentLocation, std::memory_order_release);
    }
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    location->DeviceObject = deviceObject;
    PDRIVER_DISPATCH dispatch = nullptr;
    if (deviceObject->DriverObject != nullptr &&
        location->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION) {
        dispatch = deviceObject->DriverObject->MajorFunction[location->MajorFunction];
    }
    if (dispatch == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return dispatch(deviceObject, irp);
}

BOOLEAN IoCancelIrp(PIRP irp) {
    std::atomic_ref<BOOLEAN>(irp->Cancel).store(TRUE);
    host::io::CancelRoutine routine = host::io::stateOf(irp).cancelRoutine.exchange(nullptr);
    if (routine == nullptr) {
        return FALSE;
    }
    // The routine was still set, so its driver holds the IRP and has not begun completing it:
    // the current location is stable.
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    return TRUE;
}

void IoCompleteRequest(PIRP irp, CHAR /*priorityBoost*/) {
    if (!host::io::ownedByLowerStack(irp) || irp->CurrentLocation > irp->StackCount) {
        host::io::driverBug(
            "IoCompleteRequest of an IRP that no driver below its sender holds "
            "(completed twice?)");
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        host::io::driverBug("IoCompleteRequest with STATUS_PENDING");
    }
    if (host::io::stateOf(irp).cancelRoutine.load() != nullptr) {
        host::io::driverBug("IoCompleteRequest of an IRP whose cancel routine is still set");
    }

    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    host::io::skipCurrentStackLocation(irp);
    do {
        irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        const bool success = NT_SUCCESS(irp->IoStatus.Status);
        const UCHAR control = location->Control;
        const bool invoke = location->CompletionRoutine != nullptr &&
                            ((success && (control & SL_INVOKE_ON_SUCCESS)) ||
                             (!success && (control & SL_INVOKE_ON_ERROR)) ||
                             (host::io::cancelFlag(irp) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
            PVOID context = location->Context;
            host::io::clearStackLocation(location);
            PDEVICE_OBJECT owner = irp->CurrentLocation == irp->StackCount + 1
                                       ? nullptr
                                       : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            // After STATUS_MORE_PROCESSING_REQUIRED the IRP is its owner's again and may be gone
            // already: it is not touched.
            if (routine(owner, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
        } else {
            if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
                IoMarkIrpPending(irp);
            }
            host::io::clearStackLocation(location);
        }
        host::io::skipCurrentStackLocation(irp);
        ++location;
    } while (irp->CurrentLocation <= irp->StackCount + 1);

    host::io::finishAtTop(irp);
}
