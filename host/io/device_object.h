// Driver and device objects of the machine's own drivers (the USB bus driver, test filters),
// held for their lifetime. They are made by the machine's I/O objects, so they have names and
// can have the driver's device stacked on them. Their dispatch routines find their own state in
// DeviceExtension.
#pragma once

#include <string_view>

#include "platform/wdm.h"

namespace host {
class IoObjects;
}

namespace host::io {

class HostDriverObject {
  public:
    HostDriverObject(IoObjects& io, std::u16string_view name);  // e.g. u"\\Driver\\usbhub"
    ~HostDriverObject();
    HostDriverObject(const HostDriverObject&) = delete;
    HostDriverObject& operator=(const HostDriverObject&) = delete;

    PDRIVER_OBJECT get() { return object_; }
    void setDispatch(UCHAR majorFunction, PDRIVER_DISPATCH dispatch) {
        object_->MajorFunction[majorFunction] = dispatch;
    }

  private:
    IoObjects& io_;
    PDRIVER_OBJECT object_;
};

class HostDeviceObject {
  public:
    // name may be empty. extension: what the dispatch routines find in DeviceExtension.
    HostDeviceObject(IoObjects& io, HostDriverObject& driver, std::u16string_view name,
                     CHAR stackSize, PVOID extension);
    // A device with another still attached on top is a bug of the caller: the machine aborts.
    ~HostDeviceObject();
    HostDeviceObject(const HostDeviceObject&) = delete;
    HostDeviceObject& operator=(const HostDeviceObject&) = delete;

    PDEVICE_OBJECT get() { return object_; }
    // Stacks this device on top of lower's stack: an IRP sent here needs one location more.
    void attachTo(PDEVICE_OBJECT lower);

  private:
    IoObjects& io_;
    PDEVICE_OBJECT object_;
};

}  // namespace host::io
