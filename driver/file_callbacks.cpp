// File-object callbacks. Every open succeeds; the DFU session, not the open, gives one handle
// the device. While any handle to any device is open the system timer runs at its finest, so
// the millisecond waits of the DFU protocol last what they say.
#include "context/device_context.h"
#include "driver/callbacks.h"
#include "platform/kernel_helpers.h"
#include "platform/trace.h"

LONG StreamCount = 0;
ULONG TimerResolutionRequest = 1;

void ResetStreamCount() { InterlockedExchange(&StreamCount, 0); }

void IncrementStreamCount() {
    // Only the opener that took the count from 0 asks, so concurrent opens ask once.
    if (InterlockedIncrement(&StreamCount) == 1) {
        const ULONG resolution = ExSetTimerResolution(TimerResolutionRequest, TRUE);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER,
                    "timer resolution requested: %u (increment %u)", resolution,
                    KeQueryTimeIncrement());
    }
}

void DecrementStreamCount() {
    if (InterlockedDecrement(&StreamCount) == 0) {
        ExSetTimerResolution(0, FALSE);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "timer resolution released");
    }
}

void OstDFUDeviceEvtDeviceFileCreate(WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT) {
    IncrementStreamCount();
    WdfRequestComplete(request, STATUS_SUCCESS);
}

void OstDFUDeviceEvtFileCleanup(WDFFILEOBJECT fileObject) {
    PFDO_DATA fdoData = FdoGetData(WdfFileObjectGetDevice(fileObject));
    KMutexGuard guard(&fdoData->SessionLock);
    // Under the lock, so that a begin-DFU of this handle that has not taken the session yet
    // finds the mark and cannot record an owner that nothing would release.
    if (FILE_CONTEXT* file = FileGetData(fileObject); file != nullptr) {
        file->CleanedUp = TRUE;
    }
    if (fdoData->DfuSessionOwner != nullptr && fdoData->DfuSessionOwner == fileObject) {
        fdoData->DfuSessionOwner = nullptr;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "DFU session released by its handle");
    }
}

void OstDFUDeviceEvtFileClose(WDFFILEOBJECT) { DecrementStreamCount(); }
