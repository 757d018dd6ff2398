// The emulated machine: the one system the platform calls act on. A test or a tool builds a
// Machine, and for its lifetime every platform call (pool, waits, registry, I/O) goes to it.
#pragma once

#include <memory>

#include "host/clock.h"
#include "host/dispatcher.h"
#include "host/eventlog/event_log.h"
#include "host/fault_plan.h"
#include "host/framework/framework.h"
#include "host/image/driver_images.h"
#include "host/io/device_interfaces.h"
#include "host/io/io_manager.h"
#include "host/ob/object_manager.h"
#include "host/pnp/io_objects.h"
#include "host/pnp/pnp_manager.h"
#include "host/pool.h"
#include "host/registry/registry.h"
#include "host/trace_sink.h"
#include "host/usb/bus.h"

namespace host {

struct MachineOptions {
    bool virtualClock = true;
    // The version the system reports to the driver.
    unsigned osMajor = 10;
    unsigned osMinor = 0;
    unsigned osBuild = 19045;
};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine platform calls act on; there is at most one at a time.
    static Machine& current();
    static bool exists();

    const MachineOptions& options() const { return options_; }
    void setOsVersion(unsigned major, unsigned minor) {
        options_.osMajor = major;
        options_.osMinor = minor;
    }

    Pool& pool() { return pool_; }
    FaultPlan& faults() { return faults_; }
    Clock& clock() { return *clock_; }
    WaitLog& waits() { return waits_; }
    Dispatcher& dispatcher() { return dispatcher_; }
    TraceSink& trace() { return trace_; }
    TimerResolution& timerResolution() { return timerResolution_; }
    ObjectManager& objects() { return objects_; }
    Registry& registry() { return registry_; }
    EventLog& eventLog() { return eventLog_; }
    IoObjects& ioObjects() { return ioObjects_; }
    fx::Framework& framework() { return framework_; }
    image::DriverImages& driverImages() { return driverImages_; }
    DeviceInterfaces& interfaces() { return interfaces_; }
    IoManager& io() { return io_; }
    usb::Bus& usb() { return usb_; }
    PnpManager& pnp() { return pnp_; }

private:
    MachineOptions options_;
    FaultPlan faults_;
    Pool pool_;
    std::unique_ptr<Clock> clock_;
    WaitLog waits_;
    Dispatcher dispatcher_;
    TraceSink trace_;
    TimerResolution timerResolution_;
    ObjectManager objects_;
    Registry registry_{objects_};
    EventLog eventLog_;
    IoObjects ioObjects_;
    fx::Framework framework_;
    // Before the PnP manager: an image's code must stay mapped until its driver has unloaded.
    image::DriverImages driverImages_{framework_};
    DeviceInterfaces interfaces_;
    IoManager io_{interfaces_};
    // Its devices are the physical device objects below the driver: it goes after the PnP
    // manager has removed the driver's devices from them.
    usb::Bus usb_{ioObjects_};
    // Last: its shutdown runs driver callbacks that use everything above.
    PnpManager pnp_{ioObjects_, framework_};
};

}  // namespace host
