// The device's framework callbacks outside the control path, registered by device add: power,
// hardware preparation and release, context cleanup, and the file-object callbacks.
#pragma once

#include "platform/wdf.h"

EVT_WDF_DEVICE_PREPARE_HARDWARE OstDFUDeviceEvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE OstDFUDeviceEvtDeviceReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY OstDFUDeviceEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT OstDFUDeviceEvtDeviceD0Exit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND OstDFUDeviceSelfManagedIoSuspend;
EVT_WDF_DEVICE_SURPRISE_REMOVAL OstDFUDeviceIoSurpriseRemoval;
EVT_WDF_OBJECT_CONTEXT_CLEANUP OstDFUDeviceEvtDeviceContextCleanup;

EVT_WDF_DEVICE_FILE_CREATE OstDFUDeviceEvtDeviceFileCreate;
EVT_WDF_FILE_CLEANUP OstDFUDeviceEvtFileCleanup;
EVT_WDF_FILE_CLOSE OstDFUDeviceEvtFileClose;

// Open file objects on all devices of the driver; the first raises the system timer
// resolution, the last withdraws the request.
extern LONG StreamCount;
// Desired timer resolution in 100 ns units: the finest the system offers.
extern ULONG TimerResolutionRequest;
void IncrementStreamCount();
void DecrementStreamCount();
// A freshly loaded image has no open handles.
void ResetStreamCount();

// Name of a framework power state, for traces.
const char* PowerStateName(WDF_POWER_DEVICE_STATE state);
