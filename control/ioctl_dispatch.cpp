#include "control/ioctl_dispatch.h"

#include "platform/trace.h"

// The control codes arrive with the control interface; until then no request is understood.
void OstDFUDeviceEvtIoDeviceControlParallel(WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T,
                                            ULONG ioControlCode) {
    TraceEvents(TRACE_LEVEL_WARNING, TRACE_CONTROL, "code 0x%x not handled", ioControlCode);
    WdfRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST);
}

void OstDFUDeviceEvtIoDeviceControlSequential(WDFQUEUE, WDFREQUEST request, SIZE_T, SIZE_T,
                                              ULONG ioControlCode) {
    TraceEvents(TRACE_LEVEL_WARNING, TRACE_CONTROL, "code 0x%x not handled", ioControlCode);
    WdfRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST);
}
