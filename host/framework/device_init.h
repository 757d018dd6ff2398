// What a driver's add-device callback configures before the device exists. The PnP manager
// fills the physical device and driver; the framework's init calls record the rest; device
// creation copies it into the device.
#pragma once

#include "platform/wdf.h"

namespace host::fx {
class Driver;
}

struct WDFDEVICE_INIT {
    host::fx::Driver* driver = nullptr;
    PDEVICE_OBJECT physicalDevice = nullptr;
    bool powerPageable = false;
    bool pnpPowerCallbacksSet = false;
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks{};
    bool fileObjectConfigSet = false;
    WDF_FILEOBJECT_CONFIG fileObjectConfig{};
    bool fileObjectAttributesSet = false;
    WDF_OBJECT_ATTRIBUTES fileObjectAttributes{};
};
