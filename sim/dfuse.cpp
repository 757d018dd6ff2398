#include "sim/dfuse.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

std::uint32_t readLe32(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Where block number `block` lands, or nothing past the address space. Blocks are numbered in
// steps of wTransferSize whatever the request's length: hosts send a shorter last block, and it
// must land right after the full ones before it.
std::optional<std::uint32_t> blockAddress(std::uint32_t pointer, std::uint16_t block, std::uint16_t transferSize) {
    const std::uint64_t address = std::uint64_t{pointer} + std::uint64_t{block - 2u} * transferSize;
    if (address >= kAddressSpace) return std::nullopt;
    return static_cast<std::uint32_t>(address);
}

DfuStatus statusOf(MemoryResult result, DfuStatus accessDenied) {
    switch (result) {
    case MemoryResult::Ok:
        return DfuStatus::Ok;
    case MemoryResult::OutsideMemory:
        return DfuStatus::ErrTarget;
    case MemoryResult::AccessDenied:
        return accessDenied;
    case MemoryResult::NotErased:
        return DfuStatus::ErrProg;
    }
    return DfuStatus::ErrUnknown;
}

}  // namespace

Dfuse::Dfuse(const BootloaderConfig& config, DeviceMemory& memory)
    : config_(config), memory_(memory), pointer_(config.initialAddressPointer), readProtected_(config.readProtected) {}

bool Dfuse::supports(std::uint8_t command) const {
    return command != kCommandGet &&
           std::find(config_.getCommands.begin(), config_.getCommands.end(), command) != config_.getCommands.end();
}

Execution Dfuse::execute(std::uint16_t block, std::span<const std::uint8_t> data) {
    if (block == 0) return command(data);
    return write(block, data);
}

Execution Dfuse::command(std::span<const std::uint8_t> data) {
    // A command the ROM does not list, or one with the wrong length, is a malformed packet.
    const Execution malformed{Operation::Invalid, DfuStatus::ErrStalledPkt, false};
    if (data.empty() || !supports(data[0])) return malformed;
    const std::uint8_t code = data[0];

    if (code == kCommandSetAddress && data.size() == 5) {
        // Allowed under read protection: the host needs it to reach the option bytes.
        const std::uint32_t address = readLe32(data.subspan(1));
        if (memory_.regionAt(address) == nullptr) return {Operation::SetAddress, DfuStatus::ErrTarget, false};
        pointer_ = address;
        return {Operation::SetAddress, DfuStatus::Ok, false};
    }
    if (code == kCommandErase && data.size() == 5) {
        if (readProtected_) return {Operation::PageErase, DfuStatus::ErrVendor, false};
        const MemoryResult result = memory_.erasePage(readLe32(data.subspan(1)));
        return {Operation::PageErase, statusOf(result, DfuStatus::ErrErase), false};
    }
    if (code == kCommandErase && data.size() == 1) {
        if (readProtected_) return {Operation::MassErase, DfuStatus::ErrVendor, false};
        memory_.eraseAllFlash();
        return {Operation::MassErase, DfuStatus::Ok, false};
    }
    if (code == kCommandReadUnprotect && data.size() == 1) {
        // The ROM lifts the protection by erasing the whole flash, then resets itself.
        memory_.eraseAllFlash();
        readProtected_ = false;
        return {Operation::ReadUnprotect, DfuStatus::Ok, true};
    }
    return malformed;
}

Execution Dfuse::write(std::uint16_t block, std::span<const std::uint8_t> data) {
    const std::optional<std::uint32_t> address = blockAddress(pointer_, block, config_.functional.wTransferSize);
    const MemoryRegion* region = address ? memory_.regionAt(*address) : nullptr;
    const bool optionBytes = region != nullptr && region->kind == SegmentKind::OptionBytes;
    const Operation operation = optionBytes ? Operation::OptionByteWrite : Operation::Write;
    if (readProtected_) return {operation, DfuStatus::ErrVendor, false};
    if (region == nullptr) return {operation, DfuStatus::ErrTarget, false};

    const DfuStatus status = statusOf(memory_.program(*address, data), DfuStatus::ErrWrite);
    // New option bytes take effect through a reset, which the ROM starts by itself.
    return {operation, status, optionBytes && status == DfuStatus::Ok};
}

UploadResult Dfuse::upload(std::uint16_t block, std::span<std::uint8_t> out) {
    if (block == 0) {
        const std::size_t n = std::min(out.size(), config_.getCommands.size());
        std::copy_n(config_.getCommands.begin(), n, out.begin());
        return {false, DfuStatus::Ok, n};
    }
    if (block == 1) return {true, DfuStatus::ErrStalledPkt, 0};
    if (readProtected_) return {true, DfuStatus::ErrVendor, 0};
    const std::optional<std::uint32_t> address = blockAddress(pointer_, block, config_.functional.wTransferSize);
    const std::size_t n = address ? memory_.readForHost(*address, out) : 0;
    if (n == 0) return {true, DfuStatus::ErrTarget, 0};
    return {false, DfuStatus::Ok, n};
}

}  // namespace sim
