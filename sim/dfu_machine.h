// The DFU 1.1 state machine of the bootloader's DFU interface, as ST's device stack runs it: a
// downloaded block runs at the next GETSTATUS, which answers dfuDNBUSY; the device then works
// and serves nothing until it is done; the GETSTATUS after the work answers dfuDNLOAD-IDLE or
// dfuERROR. Busy times run on the host clock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "host/interface/clock.h"
#include "host/interface/device_end.h"
#include "sim/config.h"
#include "sim/dfu_types.h"
#include "sim/dfuse.h"

namespace sim {

// What the bus must do after a class request has been answered.
enum class BusAction {
    None,
    Reenumerate,  // the chip restarts: off the bus and back as a fresh bootloader
    Leave,        // the chip starts the application: off the bus for good
};

struct ClassAnswer {
    host::TransferStatus status = host::TransferStatus::Completed;
    std::uint32_t length = 0;
    BusAction after = BusAction::None;
};

class DfuMachine {
public:
    DfuMachine(const BootloaderConfig& config, DeviceMemory& memory, host::Clock& clock);

    // One DFU class request; data is the data stage (wLength bytes, or fewer if the host gave
    // less room).
    ClassAnswer handle(const host::SetupPacket& setup, std::span<std::uint8_t> data);

    // Chip reset: dfuIDLE, pointer at its initial value, boot-time quirks armed again.
    void powerUp();
    // USB bus reset: the protocol starts over; the chip keeps running.
    void busReset();

    // How long a request arriving now must wait before the device takes it (0: at once).
    std::uint64_t holdMicros(const host::SetupPacket& setup) const;

    DfuState state() const;
    DfuStatus status() const { return status_; }
    Dfuse& dfuse() { return dfuse_; }
    const Dfuse& dfuse() const { return dfuse_; }
    // Puts the machine in any state, for tests of states the ROM never enters by itself.
    void forceState(DfuState state, DfuStatus status);

private:
    struct Block {
        std::uint16_t number = 0;
        std::vector<std::uint8_t> data;
    };

    ClassAnswer dnload(const host::SetupPacket& setup, std::span<std::uint8_t> data);
    ClassAnswer upload(const host::SetupPacket& setup, std::span<std::uint8_t> data);
    ClassAnswer getStatus(std::span<std::uint8_t> data);
    ClassAnswer getState(std::span<std::uint8_t> data);
    ClassAnswer clrStatus();
    ClassAnswer abort();
    ClassAnswer detach();
    ClassAnswer startBlock(std::span<std::uint8_t> data);
    ClassAnswer reject();
    ClassAnswer statusReply(std::span<std::uint8_t> data, DfuStatus status, std::uint32_t pollMs, DfuState state,
                            BusAction after = BusAction::None);
    void settle();
    bool stillWorking() const;
    bool statusStalledWhileWorking() const;
    const OperationTiming& timingOf(Operation operation) const;

    const BootloaderConfig& config_;
    host::Clock& clock_;
    Dfuse dfuse_;
    DfuState state_ = DfuState::DfuIdle;
    DfuStatus status_ = DfuStatus::Ok;
    std::optional<Block> pending_;             // received, not yet started (dfuDNLOAD-SYNC)
    DfuStatus outcome_ = DfuStatus::Ok;        // of the last block, once it has run
    Operation busyOperation_ = Operation::Invalid;
    std::uint64_t busyUntilMicros_ = 0;
    std::uint32_t busyPollMs_ = 0;
    std::uint32_t extraBusyLeft_ = 0;
    bool bootErrorPending_ = false;
};

}  // namespace sim
