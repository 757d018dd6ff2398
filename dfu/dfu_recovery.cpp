#include "context/device_context.h"
#include "dfu/dfu_requests.h"
#include "platform/trace.h"

NTSTATUS DfuSetIdle(WDFDEVICE device) {
    const ULONG limit = FdoGetData(device)->NumDfuBootIterBusyWaits;

    if (!NT_SUCCESS(DfuAbort(device))) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "ABORT refused");
        return STATUS_UNSUCCESSFUL;
    }
    // A failed GETSTATUS leaves the cleared reply, which reads as appIDLE: not idle yet.
    DfuStatusReply reply;
    reply.clear();
    DfuGetStatus(device, &reply, nullptr);
    UCHAR state = reply.bState();

    ULONG rounds = 0;
    while (rounds < limit && state != dfuIDLE) {
        DfuClrStatus(device);
        reply.clear();
        DfuGetStatus(device, &reply, nullptr);
        state = reply.bState();
        ++rounds;
    }
    if (state == dfuIDLE) {
        return STATUS_SUCCESS;
    }
    TraceEvents(TRACE_LEVEL_WARNING, TRACE_DFU, "still %s after %u rounds", DfuStateName(state),
                rounds);
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
