// DFU 1.1 and DfuSe spoken through the driver's class pass-through, as an updater does it: one
// control request per call on the DFU interface, GETSTATUS polled with the bootloader's own
// poll time-out, and the recovery of a request that stalled or timed out.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "client/updater.h"

namespace client {

// DNLOAD and UPLOAD carry 16-bit block numbers and data blocks start at 2 (0 is a DfuSe command
// or Get Commands, 1 is refused): one address pointer reaches this many blocks, and a longer
// run of reads or writes takes a new pointer for each such stretch.
inline constexpr std::size_t kMaxBlocksPerPointer = 0xFFFF - 2;
inline std::size_t bytesPerPointer(std::uint16_t transferSize) { return kMaxBlocksPerPointer * transferSize; }

enum class DfuState : std::uint8_t {
    AppIdle = 0,
    AppDetach = 1,
    Idle = 2,
    DnloadSync = 3,
    DnBusy = 4,
    DnloadIdle = 5,
    ManifestSync = 6,
    Manifest = 7,
    ManifestWaitReset = 8,
    UploadIdle = 9,
    Error = 10,
};

struct DfuStatusReply {
    std::uint8_t status = 0;
    std::uint32_t pollTimeoutMs = 0;
    DfuState state = DfuState::Idle;
};

// How one step ended: the transfer's NTSTATUS, or the device's own dfuERROR status.
struct StepResult {
    NTSTATUS transfer = STATUS_SUCCESS;
    std::uint8_t dfuStatus = 0;  // nonzero: the device reported dfuERROR with it

    bool ok() const { return NT_SUCCESS(transfer) && dfuStatus == 0; }
    // A stall, a time-out or an error the device reported: worth recovering and resending.
    // Anything else (the device has gone) is not.
    bool recoverable() const;
    std::string describe() const;
};

class DfuLink {
public:
    DfuLink(const Handle& handle, std::uint8_t interfaceNumber, std::uint16_t transferSize)
        : handle_(handle), interface_(interfaceNumber), transferSize_(transferSize) {}

    std::uint16_t transferSize() const { return transferSize_; }

    StepResult getStatus(DfuStatusReply& reply);
    StepResult clearStatus();
    StepResult abort();
    // DNLOAD of a block, then GETSTATUS until the device is done with it.
    StepResult download(std::uint16_t block, std::span<const std::uint8_t> data);
    // At most `length` bytes of a block; fewer mean the upload ended.
    StepResult upload(std::uint16_t block, std::size_t length, std::vector<std::uint8_t>& bytes);

    // DfuSe commands, each a block-0 download.
    StepResult setAddressPointer(std::uint32_t address);
    StepResult erasePage(std::uint32_t address);

    // Back to a state that takes the next request: CLRSTATUS from dfuERROR, ABORT otherwise.
    void recover();

private:
    StepResult classOut(std::uint8_t request, std::uint16_t value, std::span<const std::uint8_t> data);
    StepResult waitWhileBusy();

    const Handle& handle_;
    std::uint8_t interface_;
    std::uint16_t transferSize_;
};

}  // namespace client
