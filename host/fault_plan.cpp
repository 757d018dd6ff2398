#include "host/fault_plan.h"

namespace host {

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

std::uint64_t FaultPlan::callsSeen(FaultSite site) const {
    std::lock_guard lock(mutex_);
    auto it = callCounts_.find(site);
    return it == callCounts_.end() ? 0 : it->second;
}

}  // namespace host
