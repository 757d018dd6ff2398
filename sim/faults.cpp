#include "sim/faults.h"

namespace sim {

void FaultPlan::clear() {
    faults_.clear();
    seen_.fill(0);
}

std::optional<Fault> FaultPlan::onTransfer(std::optional<FaultRequest> kind) {
    ++seen_[static_cast<std::size_t>(FaultRequest::Any)];
    if (kind) ++seen_[static_cast<std::size_t>(*kind)];
    for (const Fault& fault : faults_) {
        const std::uint32_t occurrence = seen_[static_cast<std::size_t>(fault.request)];
        if (fault.request != FaultRequest::Any && kind != fault.request) continue;
        const std::uint64_t first = fault.nth == 0 ? 1 : fault.nth;
        if (occurrence < first) continue;
        if (fault.count != 0 && occurrence >= first + fault.count) continue;
        return fault;
    }
    return std::nullopt;
}

}  // namespace sim
