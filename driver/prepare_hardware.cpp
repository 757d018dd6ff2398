// Hardware preparation: the device is started and answering.
#include "driver/callbacks.h"
#include "driver/device_context.h"

NTSTATUS OstDFUDeviceEvtDevicePrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST) {
    PFDO_DATA fdoData = FdoGetData(device);
    InterlockedExchange(&fdoData->DeviceActive, 1);
    // Configuration, identity probe and device interfaces arrive with the USB transport.
    InterlockedExchange(&fdoData->PrepareHardwareDone, 1);
    return STATUS_SUCCESS;
}
