#include "sim/bootloader.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kTypeStandard = 0x00;
constexpr std::uint8_t kTypeClass = 0x20;
constexpr std::uint8_t kRecipientMask = 0x1F;
constexpr std::uint8_t kRecipientInterface = 0x01;
constexpr std::uint8_t kGetDescriptor = 6;

}  // namespace

Bootloader::Bootloader(BootloaderConfig config, host::Clock& clock)
    : config_(std::move(config)),
      clock_(clock),
      descriptors_(buildDescriptors(config_)),
      memory_(config_.segments),
      machine_(config_, memory_, clock_),
      standard_(config_, descriptors_) {}

Bootloader::~Bootloader() = default;

bool Bootloader::isDfuRequest(const host::SetupPacket& setup) const {
    return (setup.bmRequestType & kTypeMask) == kTypeClass &&
           (setup.bmRequestType & kRecipientMask) == kRecipientInterface &&
           (setup.wIndex & 0xFF) == descriptors_.dfuInterfaceNumber && (setup.wIndex >> 8) == 0;
}

std::optional<FaultRequest> Bootloader::faultKind(const host::SetupPacket& setup) const {
    if ((setup.bmRequestType & kTypeMask) == kTypeStandard && setup.bRequest == kGetDescriptor)
        return FaultRequest::GetDescriptor;
    if (!isDfuRequest(setup)) return std::nullopt;
    switch (static_cast<DfuRequest>(setup.bRequest)) {
    case DfuRequest::Detach:
        return FaultRequest::Detach;
    case DfuRequest::Dnload:
        return FaultRequest::Dnload;
    case DfuRequest::Upload:
        return FaultRequest::Upload;
    case DfuRequest::GetStatus:
        return FaultRequest::GetStatus;
    case DfuRequest::ClrStatus:
        return FaultRequest::ClrStatus;
    case DfuRequest::GetState:
        return FaultRequest::GetState;
    case DfuRequest::Abort:
        return FaultRequest::Abort;
    }
    return std::nullopt;
}

host::TransferResult Bootloader::controlTransfer(const host::SetupPacket& setup, std::span<std::uint8_t> data,
                                                 std::uint32_t timeoutMs) {
    const std::uint64_t arrivalMicros = clock_.nowMicros();
    const std::uint64_t limitMicros = std::uint64_t{timeoutMs} * 1000;
    // Never touch more than the caller's buffer holds, whatever wLength claims.
    const std::span<std::uint8_t> stage = data.first(std::min<std::size_t>(setup.wLength, data.size()));
    std::uint64_t waitedMicros = 0;
    std::vector<BusEvent> events;
    Outcome outcome;
    // A device at work takes the request when it is done, or the request runs out of time first
    // (the device stays busy). The wait is slept without the lock, so that others may look at the
    // device meanwhile, and measured again afterwards.
    for (;;) {
        std::unique_lock lock(mutex_);
        const std::uint64_t hold = presence_ == Presence::Attached ? machine_.holdMicros(setup) : 0;
        if (hold == 0) {
            outcome = serve(setup, stage, arrivalMicros, events);
            break;
        }
        if (waitedMicros + hold > limitMicros) {
            outcome.status = host::TransferStatus::TimedOut;
            record(setup, stage, arrivalMicros, outcome);
            break;
        }
        lock.unlock();
        clock_.sleepMicros(hold);
        waitedMicros += hold;
    }
    fire(events);
    // An unanswered request costs the caller what is left of its time-out.
    if (outcome.status == host::TransferStatus::TimedOut) clock_.sleepMicros(limitMicros - waitedMicros);
    return {outcome.status, outcome.length};
}

Bootloader::Outcome Bootloader::serve(const host::SetupPacket& setup, std::span<std::uint8_t> stage,
                                      std::uint64_t arrivalMicros, std::vector<BusEvent>& events) {
    Outcome outcome;
    if (presence_ != Presence::Attached) {
        outcome.status = host::TransferStatus::Disconnected;
    } else if (const std::optional<Fault> fault = faults_.onTransfer(faultKind(setup))) {
        outcome = applyFault(*fault, setup, stage);
    } else {
        outcome = dispatch(setup, stage);
    }
    record(setup, stage, arrivalMicros, outcome);

    if (outcome.unplug) {
        presence_ = Presence::Unplugged;
        events.push_back(BusEvent::Disconnected);
    } else if (outcome.after == BusAction::Reenumerate) {
        events.push_back(BusEvent::Disconnected);
        restart(events);
    } else if (outcome.after == BusAction::Leave) {
        applicationStart_ = machine_.dfuse().addressPointer();
        presence_ = Presence::InApplication;
        events.push_back(BusEvent::Disconnected);
    }
    return outcome;
}

void Bootloader::record(const host::SetupPacket& setup, std::span<const std::uint8_t> stage,
                        std::uint64_t arrivalMicros, const Outcome& outcome) {
    TransferRecord entry;
    entry.setup = setup.toBytes();
    entry.timeMicros = arrivalMicros;
    if (!setup.isIn())
        entry.data.assign(stage.begin(), stage.end());
    else if (outcome.status == host::TransferStatus::Completed)
        entry.data.assign(stage.begin(), stage.begin() + outcome.length);
    entry.result = outcome.status;
    entry.actualLength = outcome.length;
    records_.push_back(std::move(entry));
}

Bootloader::Outcome Bootloader::dispatch(const host::SetupPacket& setup, std::span<std::uint8_t> data) {
    if ((setup.bmRequestType & kTypeMask) == kTypeStandard) {
        const StandardAnswer answer = standard_.handle(setup, data);
        return {answer.status, answer.length, BusAction::None, false};
    }
    if (!isDfuRequest(setup)) return {host::TransferStatus::Stalled, 0, BusAction::None, false};
    const ClassAnswer answer = machine_.handle(setup, data);
    return {answer.status, answer.length, answer.after, false};
}

Bootloader::Outcome Bootloader::applyFault(const Fault& fault, const host::SetupPacket& setup,
                                           std::span<std::uint8_t> data) {
    switch (fault.action) {
    case FaultAction::Stall:
        return {host::TransferStatus::Stalled, 0, BusAction::None, false};
    case FaultAction::Timeout:
        return {host::TransferStatus::TimedOut, 0, BusAction::None, false};
    case FaultAction::Unplug:
        return {host::TransferStatus::Disconnected, 0, BusAction::None, true};
    case FaultAction::Reply:
        break;
    }
    if (!setup.isIn()) return {host::TransferStatus::Completed, static_cast<std::uint32_t>(data.size()), {}, false};
    const std::size_t n = std::min(fault.reply.size(), data.size());
    std::copy_n(fault.reply.begin(), n, data.begin());
    return {host::TransferStatus::Completed, static_cast<std::uint32_t>(n), BusAction::None, false};
}

// The chip starts over as at power-up and enumerates again.
void Bootloader::restart(std::vector<BusEvent>& events) {
    machine_.powerUp();
    standard_.reset();
    presence_ = Presence::Attached;
    events.push_back(BusEvent::Reconnected);
}

void Bootloader::fire(const std::vector<BusEvent>& events) {
    host::DeviceEndEvents* listener = nullptr;
    {
        std::lock_guard lock(mutex_);
        listener = events_;
    }
    if (listener == nullptr) return;
    // Called without the lock, so that the listener may call back into the device.
    for (BusEvent event : events) {
        if (event == BusEvent::Disconnected)
            listener->deviceDisconnected();
        else
            listener->deviceReconnected();
    }
}

void Bootloader::resetPort() {
    std::lock_guard lock(mutex_);
    if (presence_ != Presence::Attached) return;
    machine_.busReset();
    standard_.reset();
}

void Bootloader::cyclePort() {
    std::vector<BusEvent> events;
    {
        std::lock_guard lock(mutex_);
        if (presence_ == Presence::Unplugged) return;
        // A bootloader that left DFU comes back too: the boot pins still select system memory.
        if (presence_ == Presence::Attached) events.push_back(BusEvent::Disconnected);
        restart(events);
    }
    fire(events);
}

void Bootloader::unplug() {
    bool wasAttached = false;
    {
        std::lock_guard lock(mutex_);
        wasAttached = presence_ == Presence::Attached;
        presence_ = Presence::Unplugged;
    }
    if (wasAttached) fire({BusEvent::Disconnected});
}

void Bootloader::plug() {
    std::vector<BusEvent> events;
    {
        std::lock_guard lock(mutex_);
        if (presence_ == Presence::Attached) return;
        restart(events);
    }
    fire(events);
}

host::UsbSpeed Bootloader::speed() const { return config_.speed; }

bool Bootloader::connected() const {
    std::lock_guard lock(mutex_);
    return presence_ == Presence::Attached;
}

void Bootloader::setEvents(host::DeviceEndEvents* events) {
    std::lock_guard lock(mutex_);
    events_ = events;
}

Presence Bootloader::presence() const {
    std::lock_guard lock(mutex_);
    return presence_;
}

std::optional<std::uint32_t> Bootloader::applicationStartAddress() const {
    std::lock_guard lock(mutex_);
    return applicationStart_;
}

std::vector<std::uint8_t> Bootloader::read(std::uint32_t address, std::size_t length) const {
    std::lock_guard lock(mutex_);
    return memory_.read(address, length);
}

void Bootloader::write(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    memory_.write(address, bytes);
}

std::uint32_t Bootloader::crc32() const {
    std::lock_guard lock(mutex_);
    return memory_.crc32();
}

DfuState Bootloader::state() const {
    std::lock_guard lock(mutex_);
    return machine_.state();
}

DfuStatus Bootloader::status() const {
    std::lock_guard lock(mutex_);
    return machine_.status();
}

std::uint32_t Bootloader::addressPointer() const {
    std::lock_guard lock(mutex_);
    return machine_.dfuse().addressPointer();
}

std::uint8_t Bootloader::alternateSetting() const {
    std::lock_guard lock(mutex_);
    return standard_.dfuAlternateSetting();
}

std::uint8_t Bootloader::configuration() const {
    std::lock_guard lock(mutex_);
    return standard_.configuration();
}

bool Bootloader::readProtected() const {
    std::lock_guard lock(mutex_);
    return machine_.dfuse().readProtected();
}

void Bootloader::setReadProtected(bool on) {
    std::lock_guard lock(mutex_);
    machine_.dfuse().setReadProtected(on);
}

void Bootloader::forceState(DfuState state, DfuStatus status) {
    std::lock_guard lock(mutex_);
    machine_.forceState(state, status);
}

void Bootloader::addFault(const Fault& fault) {
    std::lock_guard lock(mutex_);
    faults_.add(fault);
}

void Bootloader::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::vector<TransferRecord> Bootloader::transfers() const {
    std::lock_guard lock(mutex_);
    return records_;
}

void Bootloader::clearTransfers() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace sim
