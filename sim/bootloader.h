// The ST system-memory bootloader in DFU mode as a device end of the emulated bus: chapter 9 and
// the DFU interface on the default pipe, device memory, planted faults, and a record of every
// control transfer. Thread-safe: the driver may talk to it from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "host/interface/clock.h"
#include "host/interface/device_end.h"
#include "sim/config.h"
#include "sim/descriptors.h"
#include "sim/dfu_machine.h"
#include "sim/faults.h"
#include "sim/memory.h"
#include "sim/standard_requests.h"
#include "sim/transfer_record.h"

namespace sim {

// Where the chip is, as far as the bus can tell.
enum class Presence {
    Attached,       // the bootloader is on the bus
    InApplication,  // it left DFU; the port sees no bootloader until a port cycle brings it back
    Unplugged,      // the cable is out (a fault or unplug()); only plug() brings it back
};

class Bootloader final : public host::DeviceEnd {
public:
    // Throws std::invalid_argument for a configuration no device could have.
    Bootloader(BootloaderConfig config, host::Clock& clock);
    ~Bootloader() override;

    // host::DeviceEnd
    host::TransferResult controlTransfer(const host::SetupPacket& setup, std::span<std::uint8_t> data,
                                         std::uint32_t timeoutMs) override;
    void resetPort() override;
    void cyclePort() override;
    host::UsbSpeed speed() const override;
    bool connected() const override;
    void setEvents(host::DeviceEndEvents* events) override;

    // The cable.
    void unplug();
    void plug();
    Presence presence() const;
    // Where the application was started by the last leave, if any.
    std::optional<std::uint32_t> applicationStartAddress() const;

    // Memory, bypassing the protocol.
    std::vector<std::uint8_t> read(std::uint32_t address, std::size_t length) const;
    void write(std::uint32_t address, std::span<const std::uint8_t> bytes);
    std::uint32_t crc32() const;

    // Protocol state.
    DfuState state() const;
    DfuStatus status() const;
    std::uint32_t addressPointer() const;
    std::uint8_t alternateSetting() const;
    std::uint8_t configuration() const;
    bool readProtected() const;
    void setReadProtected(bool on);
    void forceState(DfuState state, DfuStatus status);

    // Faults and the record.
    void addFault(const Fault& fault);
    void clearFaults();
    std::vector<TransferRecord> transfers() const;
    void clearTransfers();

    const BootloaderConfig& config() const { return config_; }
    const Descriptors& descriptors() const { return descriptors_; }

private:
    enum class BusEvent { Disconnected, Reconnected };
    struct Outcome {
        host::TransferStatus status = host::TransferStatus::Completed;
        std::uint32_t length = 0;
        BusAction after = BusAction::None;
        bool unplug = false;
    };

    // The caller holds the lock. serve() answers a request the device takes now; a request the
    // busy device never took is only recorded, and counts for no fault.
    Outcome serve(const host::SetupPacket& setup, std::span<std::uint8_t> stage, std::uint64_t arrivalMicros,
                  std::vector<BusEvent>& events);
    void record(const host::SetupPacket& setup, std::span<const std::uint8_t> stage, std::uint64_t arrivalMicros,
                const Outcome& outcome);
    Outcome dispatch(const host::SetupPacket& setup, std::span<std::uint8_t> data);
    Outcome applyFault(const Fault& fault, const host::SetupPacket& setup, std::span<std::uint8_t> data);
    bool isDfuRequest(const host::SetupPacket& setup) const;
    std::optional<FaultRequest> faultKind(const host::SetupPacket& setup) const;
    void restart(std::vector<BusEvent>& events);
    void fire(const std::vector<BusEvent>& events);

    const BootloaderConfig config_;
    host::Clock& clock_;
    const Descriptors descriptors_;

    mutable std::mutex mutex_;  // guards everything below
    DeviceMemory memory_;
    DfuMachine machine_;
    StandardRequests standard_;
    FaultPlan faults_;
    std::vector<TransferRecord> records_;
    Presence presence_ = Presence::Attached;
    std::optional<std::uint32_t> applicationStart_;
    host::DeviceEndEvents* events_ = nullptr;
};

}  // namespace sim
