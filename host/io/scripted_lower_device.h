// A lower driver whose behaviour a test chooses: it completes at once, returns STATUS_PENDING
// and completes from its own thread, holds the IRP until the test completes it or it is
// cancelled, or passes it down. It is how tests put a sender's waits, time-outs and
// cancellation under control without depending on real time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host/io/device_object.h"

namespace host::io {

class ScriptedLowerDevice {
  public:
    enum class Completion {
        AtOnce,      // completes inside its dispatch routine, returns the status
        FromThread,  // returns STATUS_PENDING; its own thread completes the IRP right after
        Held,        // returns STATUS_PENDING; completes only through completeOldest() or cancel
        PassDown,    // copies its stack location to the next and calls the device below
    };
    enum class OnCancel {
        CompleteCancelled,  // the cancel routine completes the IRP with STATUS_CANCELLED at once
        HoldCancelled,      // it keeps the IRP until completeCancelled(): a slow lower driver
    };

    // What an IRP is completed with; effect runs on the IRP just before (to fill a URB, say).
    struct Answer {
        NTSTATUS status = STATUS_SUCCESS;
        ULONG_PTR information = 0;
        std::function<void(PIRP)> effect;
    };

    // What the device saw of each IRP, in order of arrival.
    struct Seen {
        UCHAR majorFunction = 0;
        UCHAR minorFunction = 0;
        ULONG ioControlCode = 0;
        PVOID argument1 = nullptr;
        PVOID argument2 = nullptr;
        PVOID argument4 = nullptr;
        PVOID userBuffer = nullptr;
    };

    // Its driver and device object are made by the current machine's I/O objects.
    explicit ScriptedLowerDevice(Completion completion = Completion::AtOnce);
    // Held IRPs still here are completed with STATUS_CANCELLED, so no sender waits forever.
    ~ScriptedLowerDevice();
    ScriptedLowerDevice(const ScriptedLowerDevice&) = delete;
    ScriptedLowerDevice& operator=(const ScriptedLowerDevice&) = delete;

    PDEVICE_OBJECT device() { return device_.get(); }
    // For PassDown: the device this one sits on.
    void attachTo(PDEVICE_OBJECT lower);

    void setCompletion(Completion completion);
    void setOnCancel(OnCancel onCancel);
    void setAnswer(Answer answer);

    std::vector<Seen> seen() const;
    std::size_t heldCount() const;
    std::size_t cancelRequests() const;
    std::size_t completions() const;

    // Real waits without a limit, for a test that runs the sender on another thread.
    void waitForHeld(std::size_t count) const;
    void waitForCancelRequests(std::size_t count) const;

    // Completes the oldest held IRP from the calling thread; false when none is held.
    bool completeOldest(NTSTATUS status, ULONG_PTR information = 0);
    // Completes the oldest IRP whose cancellation was held, with STATUS_CANCELLED.
    bool completeCancelled();

  private:
    static DRIVER_DISPATCH dispatch;
    static void cancel(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS handle(PIRP irp);
    void complete(PIRP irp, const Answer& answer);
    void completeFromThread();

    HostDriverObject driver_;
    HostDeviceObject device_;
    PDEVICE_OBJECT lower_ = nullptr;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Completion completion_;
    OnCancel onCancel_ = OnCancel::CompleteCancelled;
    Answer answer_;
    std::vector<Seen> seen_;
    std::deque<PIRP> held_;
    std::deque<PIRP> cancelHeld_;
    std::size_t cancelRequests_ = 0;
    std::size_t completions_ = 0;
    std::size_t toCompleteFromThread_ = 0;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace host::io
