#include "host/framework/driver.h"

#include "host/fault_plan.h"
#include "host/framework/framework.h"
#include "host/machine.h"

namespace host::fx {

Driver::Driver(PDRIVER_OBJECT wdm, std::u16string registryPath, const WDF_DRIVER_CONFIG& config,
               const WDF_OBJECT_ATTRIBUTES* attributes)
    : Object(nullptr, attributes),
      wdm_(wdm),
      registryPath_(std::move(registryPath)),
      config_(config) {
    if (attributes != nullptr) {
        attributes_ = *attributes;
    }
}

Driver::~Driver() {
    Framework& framework = Machine::current().framework();
    if (framework.driver() == this) {
        framework.setDriver(nullptr);
        if (PWDF_DRIVER_GLOBALS globals = framework.globals(); globals != nullptr) {
            globals->Driver = nullptr;
        }
    }
}

}  // namespace host::fx

namespace {

// The unload routine the framework gives every driver object it creates a driver for: the
// framework driver goes, after its devices, with its cleanup callback.
DRIVER_UNLOAD FrameworkDriverUnload;
void FrameworkDriverUnload(PDRIVER_OBJECT driverObject) {
    host::fx::Framework& framework = host::Machine::current().framework();
    if (host::fx::Driver* driver = framework.driver();
        driver != nullptr && driver->wdm() == driverObject) {
        host::fx::Object::destroy(driver);
    }
}

}  // namespace

NTSTATUS imp_WdfDriverCreate(PWDF_DRIVER_GLOBALS driverGlobals, PDRIVER_OBJECT driverObject,
                             PCUNICODE_STRING registryPath, PWDF_OBJECT_ATTRIBUTES driverAttributes,
                             PWDF_DRIVER_CONFIG config, WDFDRIVER* driver) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::DriverCreate)) {
        return *failure;
    }
    if (driverObject == nullptr || config == nullptr || config->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (driverGlobals == nullptr || driverGlobals != machine.framework().globals()) {
        return STATUS_INVALID_PARAMETER;  // a driver the framework did not bind
    }
    if (machine.framework().driver() != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;  // one framework driver per driver image
    }
    std::u16string path;
    if (registryPath != nullptr && registryPath->Buffer != nullptr) {
        path.assign(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
    }
    auto* created = new host::fx::Driver(driverObject, std::move(path), *config, driverAttributes);
    machine.framework().setDriver(created);
    driverGlobals->Driver = created->handleAs<WDFDRIVER>();
    driverObject->DriverUnload = FrameworkDriverUnload;
    if (driver != nullptr) {
        *driver = created->handleAs<WDFDRIVER>();
    }
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT imp_WdfDriverWdmGetDriverObject(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                                               WDFDRIVER driver) {
    auto* fx = host::fx::Object::from<host::fx::Driver>(driver);
    return fx == nullptr ? nullptr : fx->wdm();
}
