// The framework's function table as the machine provides it: data, one row per entry point, in
// the framework's own order. A loaded image calls through it; a driver compiled here calls the
// same entry points directly.
#include "host/framework/framework.h"

namespace host::fx {

namespace {

#define OSTDFU_FRAMEWORK_FUNCTION(name) \
    { name##TableIndex, #name, reinterpret_cast<WDFFUNC>(imp_##name) }

// Entry points are of many types; the table holds them as the framework does, untyped.
const FrameworkFunction kFunctions[] = {
    OSTDFU_FRAMEWORK_FUNCTION(WdfDeviceWdmGetDeviceObject),
    OSTDFU_FRAMEWORK_FUNCTION(WdfDeviceWdmGetAttachedDevice),
    OSTDFU_FRAMEWORK_FUNCTION(WdfDeviceWdmGetPhysicalDevice),
    OSTDFU_FRAMEWORK_FUNCTION(WdfDeviceGetIoTarget),
    OSTDFU_FRAMEWORK_FUNCTION(WdfDeviceInitSetPnpPowerEventCallbacks),
    OSTDFU_FRAMEWORK_FUNCTION(WdfDeviceInitSetPowerPageable),
    OSTDFU_FRAMEWORK_FUNCTION(WdfDeviceInitSetFileObjectConfig),
    OSTDFU_FRAMEWORK_FUNCTION(WdfDeviceCreate),
    OSTDFU_FRAMEWORK_FUNCTION(WdfDeviceSetPnpCapabilities),
    OSTDFU_FRAMEWORK_FUNCTION(WdfDriverCreate),
    OSTDFU_FRAMEWORK_FUNCTION(WdfDriverWdmGetDriverObject),
    OSTDFU_FRAMEWORK_FUNCTION(WdfFdoInitWdmGetPhysicalDevice),
    OSTDFU_FRAMEWORK_FUNCTION(WdfFileObjectGetDevice),
    OSTDFU_FRAMEWORK_FUNCTION(WdfIoQueueCreate),
    OSTDFU_FRAMEWORK_FUNCTION(WdfIoQueueGetDevice),
    OSTDFU_FRAMEWORK_FUNCTION(WdfIoTargetSendInternalIoctlOthersSynchronously),
    OSTDFU_FRAMEWORK_FUNCTION(WdfMemoryCreate),
    OSTDFU_FRAMEWORK_FUNCTION(WdfMemoryGetBuffer),
    OSTDFU_FRAMEWORK_FUNCTION(WdfObjectGetTypedContextWorker),
    OSTDFU_FRAMEWORK_FUNCTION(WdfObjectDelete),
    OSTDFU_FRAMEWORK_FUNCTION(WdfRequestComplete),
    OSTDFU_FRAMEWORK_FUNCTION(WdfRequestCompleteWithInformation),
    OSTDFU_FRAMEWORK_FUNCTION(WdfRequestRetrieveInputBuffer),
    OSTDFU_FRAMEWORK_FUNCTION(WdfRequestRetrieveOutputBuffer),
    OSTDFU_FRAMEWORK_FUNCTION(WdfRequestGetFileObject),
    OSTDFU_FRAMEWORK_FUNCTION(WdfRequestForwardToIoQueue),
    OSTDFU_FRAMEWORK_FUNCTION(WdfRequestWdmGetIrp),
    OSTDFU_FRAMEWORK_FUNCTION(WdfUsbTargetDeviceCreate),
    OSTDFU_FRAMEWORK_FUNCTION(WdfUsbTargetDeviceGetDeviceDescriptor),
    OSTDFU_FRAMEWORK_FUNCTION(WdfUsbTargetDeviceRetrieveConfigDescriptor),
    OSTDFU_FRAMEWORK_FUNCTION(WdfUsbTargetDeviceGetNumInterfaces),
    OSTDFU_FRAMEWORK_FUNCTION(WdfUsbTargetDeviceSelectConfig),
    OSTDFU_FRAMEWORK_FUNCTION(WdfUsbInterfaceGetInterfaceNumber),
    OSTDFU_FRAMEWORK_FUNCTION(WdfUsbInterfaceGetNumEndpoints),
    OSTDFU_FRAMEWORK_FUNCTION(WdfUsbInterfaceSelectSetting),
    OSTDFU_FRAMEWORK_FUNCTION(WdfUsbTargetDeviceGetInterface),
    OSTDFU_FRAMEWORK_FUNCTION(WdfUsbInterfaceGetNumConfiguredPipes),
};

#undef OSTDFU_FRAMEWORK_FUNCTION

}  // namespace

std::span<const FrameworkFunction> frameworkFunctions() {
    return kFunctions;
}

}  // namespace host::fx
