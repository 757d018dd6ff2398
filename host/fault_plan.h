// Failures on purpose: the n-th pool allocation of a tag, or the n-th call of a system service,
// fails the way the real one would. Tests sweep every site with it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "platform/ntstatus.h"

namespace host {

enum class FaultSite {
    IrpAllocation,        // IoAllocateIrp, IoBuildDeviceIoControlRequest
    DeviceCreate,         // WdfDeviceCreate
    QueueCreate,          // WdfIoQueueCreate (default and sequential alike)
    DriverCreate,         // WdfDriverCreate
    RegistryOpen,         // ZwOpenKey, IoOpenDeviceRegistryKey
    DeviceProperty,       // IoGetDeviceProperty
    ErrorLogEntry,        // IoAllocateErrorLogEntry
    FrameworkObject,      // other framework object creation (memory, USB target)
    CallbackCreate,       // ExCreateCallback
    CallbackRegister,     // ExRegisterCallback
    InterfaceRegister,    // IoRegisterDeviceInterface
    InterfaceState,       // IoSetDeviceInterfaceState
    VersionQuery,         // RtlGetVersion
    BusInterface,         // the bus driver's answer to the USBDI interface query
};

// The site a scenario file names ("IrpAllocation"); nullopt for a name no site has.
std::optional<FaultSite> faultSiteNamed(std::string_view name);

class FaultPlan {
public:
    // Fails the nth (1-based) allocation of tag from now on counting.
    void failAllocation(ULONG tag, std::uint64_t nth);
    // Fails the nth (1-based) call of a service with the given status.
    void failCall(FaultSite site, std::uint64_t nth,
                  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
    void clear();

    // Called by the machine at each site; counts the call and says whether it fails.
    bool allocationFails(ULONG tag);
    std::optional<NTSTATUS> callFails(FaultSite site);

    std::uint64_t allocationsSeen(ULONG tag) const;
    // Every tag allocated so far, with its count: the allocation sites a run reached.
    std::map<ULONG, std::uint64_t> allocationCounts() const;
    std::uint64_t callsSeen(FaultSite site) const;

private:
    mutable std::mutex mutex_;
    std::map<ULONG, std::uint64_t> allocationCounts_;
    std::set<std::pair<ULONG, std::uint64_t>> failingAllocations_;
    std::map<FaultSite, std::uint64_t> callCounts_;
    std::map<std::pair<FaultSite, std::uint64_t>, NTSTATUS> failingCalls_;
};

}  // namespace host
