#include "host/io/device_object.h"

#include "host/pnp/io_objects.h"

namespace host::io {

HostDriverObject::HostDriverObject(IoObjects& io, std::u16string_view name)
    : io_(io), object_(io.createDriver(name)) {}

HostDriverObject::~HostDriverObject() {
    io_.deleteDriver(object_);
}

HostDeviceObject::HostDeviceObject(IoObjects& io, HostDriverObject& driver,
                                   std::u16string_view name, CHAR stackSize, PVOID extension)
    : io_(io), object_(io.createDevice(driver.get(), name, stackSize)) {
    object_->DeviceExtension = extension;
}

HostDeviceObject::~HostDeviceObject() {
    io_.deleteDevice(object_);
}

void HostDeviceObject::attachTo(PDEVICE_OBJECT lower) {
    io_.attachToStack(object_, lower);
}

}  // namespace host::io
