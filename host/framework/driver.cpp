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
    }
}

}  // namespace host::fx

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath,
                         PWDF_OBJECT_ATTRIBUTES driverAttributes, PWDF_DRIVER_CONFIG config,
                         WDFDRIVER* driver) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::DriverCreate)) {
        return *failure;
    }
    if (driverObject == nullptr || config == nullptr || config->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
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
    if (driver != nullptr) {
        *driver = created->handleAs<WDFDRIVER>();
    }
    return STATUS_SUCCESS;
}

WDFDRIVER WdfGetDriver() {
    host::fx::Driver* driver = host::Machine::current().framework().driver();
    return driver == nullptr ? nullptr : driver->handleAs<WDFDRIVER>();
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER driver) {
    auto* fx = host::fx::Object::from<host::fx::Driver>(driver);
    return fx == nullptr ? nullptr : fx->wdm();
}
