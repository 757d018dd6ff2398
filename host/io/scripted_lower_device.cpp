#include "host/io/scripted_lower_device.h"

#include <algorithm>

#include "host/io/irp.h"
#include "host/machine.h"

namespace host::io {

ScriptedLowerDevice::ScriptedLowerDevice(Completion completion)
    : driver_(Machine::current().ioObjects(), u"\\Driver\\ScriptedLower"),
      device_(Machine::current().ioObjects(), driver_, u"", 1, this),
      completion_(completion) {
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver_.setDispatch(major, &ScriptedLowerDevice::dispatch);
    }
    worker_ = std::thread([this] { completeFromThread(); });
}

ScriptedLowerDevice::~ScriptedLowerDevice() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
    while (completeOldest(STATUS_CANCELLED)) {
    }
    while (completeCancelled()) {
    }
}

void ScriptedLowerDevice::attachTo(PDEVICE_OBJECT lower) {
    lower_ = lower;
    device_.attachTo(lower);
}

void ScriptedLowerDevice::setCompletion(Completion completion) {
    std::lock_guard lock(mutex_);
    completion_ = completion;
}

void ScriptedLowerDevice::setOnCancel(OnCancel onCancel) {
    std::lock_guard lock(mutex_);
    onCancel_ = onCancel;
}

void ScriptedLowerDevice::setAnswer(Answer answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
}

std::vector<ScriptedLowerDevice::Seen> ScriptedLowerDevice::seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

std::size_t ScriptedLowerDevice::heldCount() const {
    std::lock_guard lock(mutex_);
    return held_.size();
}

std::size_t ScriptedLowerDevice::cancelRequests() const {
    std::lock_guard lock(mutex_);
    return cancelRequests_;
}

std::size_t ScriptedLowerDevice::completions() const {
    std::lock_guard lock(mutex_);
    return completions_;
}

void ScriptedLowerDevice::waitForHeld(std::size_t count) const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return held_.size() >= count; });
}

void ScriptedLowerDevice::waitForCancelRequests(std::size_t count) const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return cancelRequests_ >= count; });
}

NTSTATUS ScriptedLowerDevice::dispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return static_cast<ScriptedLowerDevice*>(deviceObject->DeviceExtension)->handle(irp);
}

NTSTATUS ScriptedLowerDevice::handle(PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    Seen seen;
    seen.majorFunction = location->MajorFunction;
    seen.minorFunction = location->MinorFunction;
    if (location->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        seen.ioControlCode = location->Parameters.DeviceIoControl.IoControlCode;
        seen.argument1 = location->Parameters.Others.Argument1;
        seen.argument2 = location->Parameters.Others.Argument2;
        seen.argument4 = location->Parameters.Others.Argument4;
    }
    seen.userBuffer = irp->UserBuffer;

    std::unique_lock lock(mutex_);
    seen_.push_back(seen);
    const Completion completion = completion_;
    if (completion == Completion::AtOnce) {
        Answer answer = answer_;
        lock.unlock();
        complete(irp, answer);
        return answer.status;
    }
    if (completion == Completion::PassDown) {
        lock.unlock();
        copyCurrentStackLocationToNext(irp);
        return IofCallDriver(lower_, irp);
    }

    IoMarkIrpPending(irp);
    setCancelRoutine(irp, &ScriptedLowerDevice::cancel);
    // Cancelled before the routine was in place: IoCancelIrp found none, so it is ours to end.
    const bool cancelledAlready = std::atomic_ref<BOOLEAN>(irp->Cancel).load() != FALSE &&
                                  setCancelRoutine(irp, nullptr) != nullptr;
    if (cancelledAlready) {
        ++cancelRequests_;
        if (onCancel_ == OnCancel::HoldCancelled) {
            cancelHeld_.push_back(irp);
            changed_.notify_all();
            return STATUS_PENDING;
        }
        changed_.notify_all();
        lock.unlock();
        complete(irp, Answer{STATUS_CANCELLED, 0, {}});
        return STATUS_PENDING;
    }
    held_.push_back(irp);
    if (completion == Completion::FromThread) {
        ++toCompleteFromThread_;
    }
    changed_.notify_all();
    return STATUS_PENDING;
}

void ScriptedLowerDevice::cancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
    auto* self = static_cast<ScriptedLowerDevice*>(deviceObject->DeviceExtension);
    std::unique_lock lock(self->mutex_);
    self->held_.erase(std::remove(self->held_.begin(), self->held_.end(), irp), self->held_.end());
    ++self->cancelRequests_;
    if (self->onCancel_ == OnCancel::HoldCancelled) {
        self->cancelHeld_.push_back(irp);
        self->changed_.notify_all();
        return;
    }
    self->changed_.notify_all();
    lock.unlock();
    self->complete(irp, Answer{STATUS_CANCELLED, 0, {}});
}

bool ScriptedLowerDevice::completeOldest(NTSTATUS status, ULONG_PTR information) {
    Answer answer;
    PIRP irp = nullptr;
    {
        std::lock_guard lock(mutex_);
        answer = answer_;
        // An IRP whose cancel routine is already running belongs to that routine.
        for (auto it = held_.begin(); it != held_.end(); ++it) {
            if (setCancelRoutine(*it, nullptr) != nullptr) {
                irp = *it;
                held_.erase(it);
                break;
            }
        }
    }
    if (irp == nullptr) {
        return false;
    }
    answer.status = status;
    answer.information = information;
    complete(irp, answer);
    return true;
}

bool ScriptedLowerDevice::completeCancelled() {
    PIRP irp = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (cancelHeld_.empty()) {
            return false;
        }
        irp = cancelHeld_.front();
        cancelHeld_.pop_front();
    }
    complete(irp, Answer{STATUS_CANCELLED, 0, {}});
    return true;
}

void ScriptedLowerDevice::complete(PIRP irp, const Answer& answer) {
    if (answer.effect) {
        answer.effect(irp);
    }
    irp->IoStatus.Status = answer.status;
    irp->IoStatus.Information = answer.information;
    {
        std::lock_guard lock(mutex_);
        ++completions_;
    }
    changed_.notify_all();
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void ScriptedLowerDevice::completeFromThread() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || toCompleteFromThread_ > 0; });
        if (toCompleteFromThread_ == 0) {
            return;
        }
        --toCompleteFromThread_;
        const Answer answer = answer_;
        lock.unlock();
        completeOldest(answer.status, answer.information);
        lock.lock();
    }
}

}  // namespace host::io
