// The two queues of the control interface: every I/O control arrives on the parallel default
// queue; codes it does not handle go on to the sequential one.
#pragma once

#include "platform/wdf.h"

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL OstDFUDeviceEvtIoDeviceControlParallel;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL OstDFUDeviceEvtIoDeviceControlSequential;
