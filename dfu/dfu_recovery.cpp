#include "context/device_context.h"
#include "dfu/dfu_requests.h"
#include "platform/trace.h"

NTSTATUS DfuSetIdle(WDFDEVICE device) {
    const ULONG busyWaits = FdoGetData(device)->NumDfuBootIterBusyWaits;
    const ULONG limit = busyWaits < DFU_SET_IDLE_MAX_ROUNDS ? busyWaits : DFU_SET_IDLE_MAX_ROUNDS;

    if (!NT_SUCCESS(DfuAbort(device))) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "ABORT refused");
        return STATUS_UNSUCCESSFUL;
    }
    // A failed GETSTATUS leaves the cleared reply, which reads as appIDLE: not idle yet. A device
    // that has left the bus never will be: its first vanished request ends the rounds.
    DfuStatusReply reply;
    reply.clear();
    bool gone = DfuGetStatus(device, &reply, nullptr) == STATUS_NO_SUCH_DEVICE;
    UCHAR state = reply.bState();

    ULONG rounds = 0;
    while (!gone && rounds < limit && state != dfuIDLE) {
        reply.clear();
        gone = DfuClrStatus(device) == STATUS_NO_SUCH_DEVICE ||
               DfuGetStatus(device, &reply, nullptr) == STATUS_NO_SUCH_DEVICE;
        state = reply.bState();
        ++rounds;
    }
    if (state == dfuIDLE) {
        return STATUS_SUCCESS;
    }
    TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "still %s after %u rounds%s", DfuStateName(state),
                rounds, gone ? ", device gone" : "");
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS EnsureDfuIDLE(WDFDEVICE device) {
    UCHAR state = 0;
    NTSTATUS status = DfuGetState(device, &state);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    switch (state) {
        case dfuIDLE:
            return STATUS_SUCCESS;
        case dfuDNLOAD_SYNC:
        case dfuDNLOAD_IDLE:
        case dfuMANIFEST_SYNC:
        case dfuUPLOAD_IDLE:
            status = DfuAbort(device);
            break;
        case dfuERROR:
            status = DfuClrStatus(device);
            break;
        default:
            // Busy, manifesting or not in DFU at all: report it, do not wait for it.
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "cannot leave %s", DfuStateName(state));
            return STATUS_INVALID_DEVICE_STATE;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    state = 0;
    status = DfuGetState(device, &state);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return state == dfuIDLE ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}
