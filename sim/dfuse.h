// ST's DfuSe extension on top of DFU 1.1: the commands carried by DNLOAD block 0, writes and
// reads at the address pointer, and read protection. The DFU state machine decides when these
// run; this class decides what they do to the memory and what status they end with.
#pragma once

#include <cstdint>
#include <span>

#include "sim/config.h"
#include "sim/dfu_types.h"
#include "sim/memory.h"

namespace sim {

inline constexpr std::uint8_t kCommandGet = 0x00;
inline constexpr std::uint8_t kCommandSetAddress = 0x21;
inline constexpr std::uint8_t kCommandErase = 0x41;
inline constexpr std::uint8_t kCommandReadUnprotect = 0x92;

enum class Operation { SetAddress, PageErase, MassErase, ReadUnprotect, Write, OptionByteWrite, Invalid };

struct Execution {
    Operation operation = Operation::Invalid;
    DfuStatus status = DfuStatus::Ok;  // reported by the GETSTATUS after the busy one
    bool resetsDevice = false;         // the chip resets right after its busy status
};

struct UploadResult {
    bool stalled = false;
    DfuStatus status = DfuStatus::Ok;  // why, when stalled
    std::size_t length = 0;
};

class Dfuse {
public:
    Dfuse(const BootloaderConfig& config, DeviceMemory& memory);

    // Carries out one downloaded block. block is the DNLOAD's wValue (0 or >= 2); data is its
    // whole data stage. Block n >= 2 lands at pointer + (n - 2) x wTransferSize.
    Execution execute(std::uint16_t block, std::span<const std::uint8_t> data);
    // Answers UPLOAD: block 0 is Get commands, n >= 2 reads out.size() (wLength) bytes at
    // pointer + (n - 2) x wTransferSize.
    UploadResult upload(std::uint16_t block, std::span<std::uint8_t> out);

    std::uint32_t addressPointer() const { return pointer_; }
    void resetAddressPointer() { pointer_ = config_.initialAddressPointer; }
    bool readProtected() const { return readProtected_; }
    void setReadProtected(bool on) { readProtected_ = on; }

private:
    Execution command(std::span<const std::uint8_t> data);
    Execution write(std::uint16_t block, std::span<const std::uint8_t> data);
    bool supports(std::uint8_t command) const;

    const BootloaderConfig& config_;
    DeviceMemory& memory_;
    std::uint32_t pointer_;
    bool readProtected_;
};

}  // namespace sim
