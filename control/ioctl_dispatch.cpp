#include "control/ioctl_dispatch.h"

#include "control/ioctl_table.h"
#include "platform/trace.h"
#include "updater_interface/ioctl.h"

namespace {

const IoctlEntry* FindEntry(ULONG code) {
    for (const IoctlEntry& entry : IoctlEntries()) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

NTSTATUS RetrieveBuffers(const IoctlEntry& entry, IoctlCall& call) {
    if (entry.inputMinimum != NO_BUFFER) {
        NTSTATUS status = WdfRequestRetrieveInputBuffer(call.request, entry.inputMinimum,
                                                        &call.input, &call.inputLength);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (entry.outputMinimum != NO_BUFFER) {
        const SIZE_T minimum = entry.outputMinimum == INSTANCE_STRING_BYTES
                                   ? call.fdo->InstanceStringSize
                                   : entry.outputMinimum;
        return WdfRequestRetrieveOutputBuffer(call.request, minimum, &call.output,
                                              &call.outputLength);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Perform(const IoctlEntry& entry, IoctlCall& call) {
    if (entry.buffersBeforePrecondition) {
        NTSTATUS status = RetrieveBuffers(entry, call);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = entry.precondition(call);
        return NT_SUCCESS(status) ? entry.body(call) : status;
    }
    if (entry.precondition != nullptr) {
        NTSTATUS status = entry.precondition(call);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    NTSTATUS status = RetrieveBuffers(entry, call);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return entry.body(call);
}

}  // namespace

void OstDFUDeviceEvtIoDeviceControlParallel(WDFQUEUE queue, WDFREQUEST request,
                                            SIZE_T outputBufferLength, SIZE_T inputBufferLength,
                                            ULONG ioControlCode) {
    WDFDEVICE device = WdfIoQueueGetDevice(queue);
    PFDO_DATA fdo = FdoGetData(device);
    const IoctlEntry* entry = FindEntry(ioControlCode);
    if (entry == nullptr) {
        NTSTATUS status = WdfRequestForwardToIoQueue(request, fdo->SequentialQueue);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_CONTROL, "code 0x%x not forwarded: 0x%x",
                        ioControlCode, static_cast<unsigned>(status));
            WdfRequestComplete(request, status);
        }
        return;
    }
    IoctlCall call = {device, fdo, request, outputBufferLength, inputBufferLength,
                      nullptr, 0, nullptr, 0, 0};
    NTSTATUS status = Perform(*entry, call);
    TraceEvents(NT_SUCCESS(status) ? TRACE_LEVEL_VERBOSE : TRACE_LEVEL_WARNING, TRACE_CONTROL,
                "code 0x%x: 0x%x, %llu bytes", ioControlCode, static_cast<unsigned>(status),
                static_cast<unsigned long long>(call.information));
    WdfRequestCompleteWithInformation(request, status, NT_SUCCESS(status) ? call.information : 0);
}

void OstDFUDeviceEvtIoDeviceControlSequential(WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T,
                                              ULONG ioControlCode) {
    const NTSTATUS status = ioControlCode == IOCTL_DFU_SEQUENTIAL_PING
                                ? STATUS_SUCCESS
                                : STATUS_INVALID_DEVICE_REQUEST;
    WdfRequestCompleteWithInformation(request, status, 0);
}
