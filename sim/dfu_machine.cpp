#include "sim/dfu_machine.h"

#include <algorithm>
#include <limits>

namespace sim {

namespace {

constexpr std::uint8_t kWillDetach = 0x08;

bool isIn(const host::SetupPacket& setup) { return setup.isIn(); }

bool directionFits(DfuRequest request, const host::SetupPacket& setup) {
    switch (request) {
    case DfuRequest::Upload:
    case DfuRequest::GetStatus:
    case DfuRequest::GetState:
        return isIn(setup);
    default:
        return !isIn(setup);
    }
}

bool isAppState(DfuState state) { return state == DfuState::AppIdle || state == DfuState::AppDetach; }

}  // namespace

DfuMachine::DfuMachine(const BootloaderConfig& config, DeviceMemory& memory, host::Clock& clock)
    : config_(config), clock_(clock), dfuse_(config, memory) {
    powerUp();
}

void DfuMachine::powerUp() {
    busReset();
    // A chip reset ends whatever work was running.
    busyUntilMicros_ = 0;
    bootErrorPending_ = config_.quirks.firstStatusFirmwareError;
}

void DfuMachine::busReset() {
    state_ = DfuState::DfuIdle;
    status_ = DfuStatus::Ok;
    pending_.reset();
    extraBusyLeft_ = 0;
    dfuse_.resetAddressPointer();
}

void DfuMachine::forceState(DfuState state, DfuStatus status) {
    state_ = state;
    status_ = status;
    pending_.reset();
    outcome_ = DfuStatus::Ok;
    if (state == DfuState::DnBusy) busyUntilMicros_ = std::numeric_limits<std::uint64_t>::max();
    if (state == DfuState::DnloadSync) {
        // A harmless pending block: set the pointer to where it already is.
        const std::uint32_t at = dfuse_.addressPointer();
        pending_ = Block{0,
                         {kCommandSetAddress, static_cast<std::uint8_t>(at), static_cast<std::uint8_t>(at >> 8),
                          static_cast<std::uint8_t>(at >> 16), static_cast<std::uint8_t>(at >> 24)}};
    }
}

bool DfuMachine::stillWorking() const {
    return clock_.nowMicros() < busyUntilMicros_ || extraBusyLeft_ > 0;
}

bool DfuMachine::statusStalledWhileWorking() const {
    const bool erasingOrWriting = busyOperation_ == Operation::PageErase || busyOperation_ == Operation::MassErase ||
                                  busyOperation_ == Operation::Write;
    return config_.quirks.stallStatusWhileBusy && erasingOrWriting;
}

// ST's stack erases or programs inside the completion of the status that announced the work, so
// the device takes no request, standard ones included, until the work is done. A bus reset does
// not end the work either: the chip goes on until it is finished.
std::uint64_t DfuMachine::holdMicros(const host::SetupPacket& setup) const {
    if (config_.quirks.answersWhileBusy || state_ != DfuState::DnBusy) return 0;
    const std::uint64_t now = clock_.nowMicros();
    if (now >= busyUntilMicros_) return 0;
    const bool getStatus = (setup.bmRequestType & 0x60) == 0x20 &&
                           setup.bRequest == static_cast<std::uint8_t>(DfuRequest::GetStatus);
    if (getStatus && statusStalledWhileWorking()) return 0;
    return busyUntilMicros_ - now;
}

DfuState DfuMachine::state() const {
    if (state_ == DfuState::DnBusy && !stillWorking()) return DfuState::DnloadSync;
    return state_;
}

// dfuDNBUSY ends by itself when the work is done (DFU 1.1: back to dfuDNLOAD-SYNC, block complete).
void DfuMachine::settle() { state_ = state(); }

const OperationTiming& DfuMachine::timingOf(Operation operation) const {
    const Timings& t = config_.timings;
    switch (operation) {
    case Operation::SetAddress:
        return t.setAddress;
    case Operation::PageErase:
        return t.pageErase;
    case Operation::MassErase:
        return t.massErase;
    case Operation::ReadUnprotect:
        return t.readUnprotect;
    case Operation::Write:
        return t.write;
    case Operation::OptionByteWrite:
        return t.optionByteWrite;
    case Operation::Invalid:
        break;
    }
    return t.setAddress;  // a refused command announces no work
}

ClassAnswer DfuMachine::handle(const host::SetupPacket& setup, std::span<std::uint8_t> data) {
    if (setup.bRequest > static_cast<std::uint8_t>(DfuRequest::Abort)) return reject();
    const auto request = static_cast<DfuRequest>(setup.bRequest);
    if (!directionFits(request, setup)) return reject();
    settle();
    switch (request) {
    case DfuRequest::Detach:
        return detach();
    case DfuRequest::Dnload:
        return dnload(setup, data);
    case DfuRequest::Upload:
        return upload(setup, data);
    case DfuRequest::GetStatus:
        return getStatus(data);
    case DfuRequest::ClrStatus:
        return clrStatus();
    case DfuRequest::GetState:
        return getState(data);
    case DfuRequest::Abort:
        return abort();
    }
    return reject();
}

// A request the current state does not take: stalled, and in DFU mode the device enters dfuERROR.
// dfuERROR keeps the status that put it there; dfuMANIFEST-WAIT-RESET waits only for a reset;
// application mode has no error state.
ClassAnswer DfuMachine::reject() {
    if (!isAppState(state_) && state_ != DfuState::Error && state_ != DfuState::ManifestWaitReset) {
        state_ = DfuState::Error;
        status_ = DfuStatus::ErrStalledPkt;
        pending_.reset();
    }
    return {host::TransferStatus::Stalled, 0, BusAction::None};
}

ClassAnswer DfuMachine::dnload(const host::SetupPacket& setup, std::span<std::uint8_t> data) {
    if (state_ != DfuState::DfuIdle && state_ != DfuState::DnloadIdle) return reject();
    if (data.empty()) {
        // DfuSe "leave": the next GETSTATUS manifests and the application starts at the pointer.
        state_ = DfuState::ManifestSync;
        return {};
    }
    // Block 1 means nothing to DfuSe; a block larger than wTransferSize does not fit the ROM's buffer.
    if (setup.wValue == 1 || data.size() > config_.functional.wTransferSize) return reject();
    pending_ = Block{setup.wValue, {data.begin(), data.end()}};
    state_ = DfuState::DnloadSync;
    return {host::TransferStatus::Completed, static_cast<std::uint32_t>(data.size()), BusAction::None};
}

ClassAnswer DfuMachine::upload(const host::SetupPacket& setup, std::span<std::uint8_t> data) {
    if (state_ != DfuState::DfuIdle && state_ != DfuState::UploadIdle) return reject();
    if (data.empty()) {
        state_ = DfuState::DfuIdle;
        return {};
    }
    if (data.size() > config_.functional.wTransferSize) return reject();
    const UploadResult result = dfuse_.upload(setup.wValue, data);
    if (result.stalled) {
        state_ = DfuState::Error;
        status_ = result.status;
        return {host::TransferStatus::Stalled, 0, BusAction::None};
    }
    // A short frame ends the upload.
    state_ = result.length < data.size() ? DfuState::DfuIdle : DfuState::UploadIdle;
    return {host::TransferStatus::Completed, static_cast<std::uint32_t>(result.length), BusAction::None};
}

ClassAnswer DfuMachine::statusReply(std::span<std::uint8_t> data, DfuStatus status, std::uint32_t pollMs,
                                    DfuState state, BusAction after) {
    const std::uint8_t reply[6] = {static_cast<std::uint8_t>(status),
                                   static_cast<std::uint8_t>(pollMs),
                                   static_cast<std::uint8_t>(pollMs >> 8),
                                   static_cast<std::uint8_t>(pollMs >> 16),
                                   static_cast<std::uint8_t>(state),
                                   0};
    const std::size_t n = std::min(data.size(), sizeof reply);
    std::copy_n(reply, n, data.begin());
    return {host::TransferStatus::Completed, static_cast<std::uint32_t>(n), after};
}

ClassAnswer DfuMachine::startBlock(std::span<std::uint8_t> data) {
    const Execution execution = dfuse_.execute(pending_->number, pending_->data);
    pending_.reset();
    const OperationTiming& timing = timingOf(execution.operation);
    const std::uint32_t busyMs = config_.quirks.pollTimeoutShorterThanBusy ? timing.busyMs : timing.pollTimeoutMs;
    outcome_ = execution.status;
    busyOperation_ = execution.operation;
    busyPollMs_ = timing.pollTimeoutMs;
    busyUntilMicros_ = clock_.nowMicros() + std::uint64_t{busyMs} * 1000;
    extraBusyLeft_ = config_.quirks.extraBusyReplies;
    state_ = DfuState::DnBusy;
    return statusReply(data, DfuStatus::Ok, timing.pollTimeoutMs, DfuState::DnBusy,
                       execution.resetsDevice ? BusAction::Reenumerate : BusAction::None);
}

ClassAnswer DfuMachine::getStatus(std::span<std::uint8_t> data) {
    if (bootErrorPending_) {
        // Seen on an F4 ROM: the first status after power-up reports a firmware error.
        bootErrorPending_ = false;
        state_ = DfuState::Error;
        status_ = DfuStatus::ErrFirmware;
        pending_.reset();
        return statusReply(data, status_, 0, state_);
    }
    const Quirks& quirks = config_.quirks;
    switch (state_) {
    case DfuState::DnloadSync:
        if (pending_) return startBlock(data);
        if (outcome_ == DfuStatus::Ok) {
            state_ = DfuState::DnloadIdle;
        } else {
            state_ = DfuState::Error;
            status_ = outcome_;
        }
        return statusReply(data, status_, 0, state_);
    case DfuState::DnBusy: {
        const bool inRealWork = clock_.nowMicros() < busyUntilMicros_;
        if (inRealWork && statusStalledWhileWorking()) return {host::TransferStatus::Stalled, 0, BusAction::None};
        if (!inRealWork && extraBusyLeft_ > 0) --extraBusyLeft_;
        return statusReply(data, DfuStatus::Ok, busyPollMs_, DfuState::DnBusy);
    }
    case DfuState::ManifestSync:
        state_ = DfuState::Manifest;
        if (quirks.disconnectBeforeLeaveStatus) return {host::TransferStatus::Disconnected, 0, BusAction::Leave};
        return statusReply(data, DfuStatus::Ok, config_.timings.leave.pollTimeoutMs, DfuState::Manifest,
                           quirks.stayInManifest ? BusAction::None : BusAction::Leave);
    case DfuState::Manifest:
        // Reached only with Quirks::stayInManifest: this second poll is the last answer.
        return statusReply(data, DfuStatus::Ok, 0, DfuState::Manifest, BusAction::Leave);
    default:
        return statusReply(data, status_, 0, state_);
    }
}

ClassAnswer DfuMachine::getState(std::span<std::uint8_t> data) {
    if (data.empty()) return {};
    data[0] = static_cast<std::uint8_t>(state_);
    return {host::TransferStatus::Completed, 1, BusAction::None};
}

ClassAnswer DfuMachine::clrStatus() {
    if (state_ == DfuState::Error) {
        state_ = DfuState::DfuIdle;
        status_ = DfuStatus::Ok;
        return {};
    }
    // ST's stack takes a CLRSTATUS out of turn as a protocol error of its own and acknowledges
    // it; the states the ROM never enters keep DFU 1.1's answer.
    if (config_.quirks.strictClrStatus || isAppState(state_) || state_ == DfuState::ManifestWaitReset)
        return reject();
    state_ = DfuState::Error;
    status_ = DfuStatus::ErrUnknown;
    pending_.reset();
    return {};
}

ClassAnswer DfuMachine::abort() {
    const bool idleState =
        state_ == DfuState::DfuIdle || state_ == DfuState::DnloadIdle || state_ == DfuState::UploadIdle;
    const bool syncState = state_ == DfuState::DnloadSync || state_ == DfuState::ManifestSync;
    if (config_.quirks.strictAbort && !idleState) return reject();
    // ST's stack acknowledges ABORT everywhere and acts on it only where a transfer can be
    // dropped; dfuERROR keeps its error for CLRSTATUS to clear.
    if (!idleState && !syncState) return {};
    state_ = DfuState::DfuIdle;
    status_ = DfuStatus::Ok;
    pending_.reset();
    return {};
}

// The ROM honours DETACH in its idle-like states; with bitWillDetach it drops off the bus and
// comes back, otherwise it only returns to dfuIDLE.
ClassAnswer DfuMachine::detach() {
    if (state_ == DfuState::AppIdle) {
        state_ = DfuState::AppDetach;
        return {};
    }
    const bool accepted = state_ == DfuState::DfuIdle || state_ == DfuState::DnloadSync ||
                          state_ == DfuState::DnloadIdle || state_ == DfuState::ManifestSync ||
                          state_ == DfuState::UploadIdle;
    if (!accepted) return reject();
    state_ = DfuState::DfuIdle;
    status_ = DfuStatus::Ok;
    pending_.reset();
    const bool willDetach = (config_.functional.bmAttributes & kWillDetach) != 0;
    return {host::TransferStatus::Completed, 0, willDetach ? BusAction::Reenumerate : BusAction::None};
}

}  // namespace sim
