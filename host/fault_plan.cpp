#include "host/fault_plan.h"

#include <array>

namespace host {

namespace {

constexpr std::array<std::pair<FaultSite, const char*>, 14> kSiteNames = {{
    {FaultSite::IrpAllocation, "IrpAllocation"},
    {FaultSite::DeviceCreate, "DeviceCreate"},
    {FaultSite::QueueCreate, "QueueCreate"},
    {FaultSite::DriverCreate, "DriverCreate"},
    {FaultSite::RegistryOpen, "RegistryOpen"},
    {FaultSite::DeviceProperty, "DeviceProperty"},
    {FaultSite::ErrorLogEntry, "ErrorLogEntry"},
    {FaultSite::FrameworkObject, "FrameworkObject"},
    {FaultSite::CallbackCreate, "CallbackCreate"},
    {FaultSite::CallbackRegister, "CallbackRegister"},
    {FaultSite::InterfaceRegister, "InterfaceRegister"},
    {FaultSite::InterfaceState, "InterfaceState"},
    {FaultSite::VersionQuery, "VersionQuery"},
    {FaultSite::BusInterface, "BusInterface"},
}};

}  // namespace

std::optional<FaultSite> faultSiteNamed(std::string_view name) {
    for (const auto& [site, known] : kSiteNames) {
        if (name == known) {
            return site;
        }
    }
    return std::nullopt;
}

void FaultPlan::failAllocation(ULONG tag, std::uint64_t nth) {
    std::lock_guard lock(mutex_);
    failingAllocations_.insert({tag, allocationCounts_[tag] + nth});
}

void FaultPlan::failCall(FaultSite site, std::uint64_t nth, NTSTATUS status) {
    std::lock_guard lock(mutex_);
    failingCalls_[{site, callCounts_[site] + nth}] = status;
}

void FaultPlan::clear() {
    std::lock_guard lock(mutex_);
    failingAllocations_.clear();
    failingCalls_.clear();
}

bool FaultPlan::allocationFails(ULONG tag) {
    std::lock_guard lock(mutex_);
    std::uint64_t n = ++allocationCounts_[tag];
    return !failingAllocations_.empty() && failingAllocations_.erase({tag, n}) != 0;
}

std::optional<NTSTATUS> FaultPlan::callFails(FaultSite site) {
    std::lock_guard lock(mutex_);
    std::uint64_t n = ++callCounts_[site];
    if (failingCalls_.empty()) {
        return std::nullopt;
    }
    auto it = failingCalls_.find({site, n});
    if (it == failingCalls_.end()) {
        return std::nullopt;
    }
    NTSTATUS status = it->second;
    failingCalls_.erase(it);
    return status;
}

std::uint64_t FaultPlan::allocationsSeen(ULONG tag) const {
    std::lock_guard lock(mutex_);
    auto it = allocationCounts_.find(tag);
    return it == allocationCounts_.end() ? 0 : it->second;
}

std::map<ULONG, std::uint64_t> FaultPlan::allocationCounts() const {
    std::lock_guard lock(mutex_);
    return allocationCounts_;
}

std::uint64_t FaultPlan::callsSeen(FaultSite site) const {
    std::lock_guard lock(mutex_);
    auto it = callCounts_.find(site);
    return it == callCounts_.end() ? 0 : it->second;
}

}  // namespace host
