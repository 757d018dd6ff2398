// Faults a test or scenario plants in the bootloader: the n-th occurrence of a request (and the
// count after it) is stalled, left unanswered, answered by unplugging, or answered with scripted
// bytes, before the model's own logic sees it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

enum class FaultRequest {
    Dnload,
    Upload,
    GetStatus,
    GetState,
    ClrStatus,
    Abort,
    Detach,
    GetDescriptor,
    Any,  // every control transfer, standard requests included
};

enum class FaultAction {
    Stall,    // the request is stalled; the model does not see it and its state stays
    Timeout,  // no answer: the transfer times out after its time-out, on the model's clock
    Unplug,   // the device drops off the bus instead of answering and stays away until plug()
    Reply,    // IN: the scripted bytes (cut to wLength) are the answer; OUT: acknowledged, ignored
};

struct Fault {
    FaultRequest request = FaultRequest::Any;
    std::uint32_t nth = 1;    // 1-based occurrence of `request` at which the fault starts
    std::uint32_t count = 1;  // occurrences it covers; 0 = every one from nth on
    FaultAction action = FaultAction::Stall;
    std::vector<std::uint8_t> reply;
};

class FaultPlan {
public:
    void add(const Fault& fault) { faults_.push_back(fault); }
    // Drops the faults and restarts the occurrence counts.
    void clear();
    // Counts one transfer that reached the device (of kind `kind`, if it is one of the named
    // requests) and returns the first planted fault that covers it.
    std::optional<Fault> onTransfer(std::optional<FaultRequest> kind);

private:
    static constexpr std::size_t kKinds = static_cast<std::size_t>(FaultRequest::Any) + 1;
    std::vector<Fault> faults_;
    std::array<std::uint32_t, kKinds> seen_{};
};

}  // namespace sim
