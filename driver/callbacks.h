// The device's framework callbacks outside the control path, registered by device add: power,
// hardware preparation and release, context cleanup, and the file-object callbacks.
#pragma once

#include "platform/wdf.h"

NTSTATUS OstDFUDeviceEvtDevicePrepareHardware(WDFDEVICE device, WDFCMRESLIST resourcesRaw,
                                              WDFCMRESLIST resourcesTranslated);
NTSTATUS OstDFUDeviceEvtDeviceReleaseHardware(WDFDEVICE device, WDFCMRESLIST resourcesTranslated);
NTSTATUS OstDFUDeviceEvtDeviceD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previousState);
NTSTATUS OstDFUDeviceEvtDeviceD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE targetState);
NTSTATUS OstDFUDeviceSelfManagedIoSuspend(WDFDEVICE device);
void OstDFUDeviceIoSurpriseRemoval(WDFDEVICE device);
void OstDFUDeviceEvtDeviceContextCleanup(WDFOBJECT device);

void OstDFUDeviceEvtDeviceFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT fileObject);
void OstDFUDeviceEvtFileCleanup(WDFFILEOBJECT fileObject);
void OstDFUDeviceEvtFileClose(WDFFILEOBJECT fileObject);

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
