// The two queues of the control interface: every I/O control arrives on the parallel default
// queue; codes it does not handle go on to the sequential one.
#pragma once

#include "platform/wdf.h"

void OstDFUDeviceEvtIoDeviceControlParallel(WDFQUEUE queue, WDFREQUEST request,
                                            SIZE_T outputBufferLength, SIZE_T inputBufferLength,
                                            ULONG ioControlCode);
void OstDFUDeviceEvtIoDeviceControlSequential(WDFQUEUE queue, WDFREQUEST request,
                                              SIZE_T outputBufferLength, SIZE_T inputBufferLength,
                                              ULONG ioControlCode);
