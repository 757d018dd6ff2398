// Carrying out a plan on one device, and reading and verifying its memory: through the driver's
// session (BEGIN_DFU selects the memory area), its own codes where it has them (set idle,
// option-byte write, leave) and the class pass-through for the rest. Each call is the work for
// one device and keeps no state outside its arguments, so several devices can be served at once,
// one thread each.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "client/device_facts.h"
#include "client/firmware_image.h"
#include "client/flash_plan.h"

namespace client {

enum class Phase { Erase, Download, Verify, Read, Leave };
const char* phaseName(Phase phase);

struct ProgressUpdate {
    Phase phase = Phase::Erase;
    std::uint64_t done = 0;   // bytes
    std::uint64_t total = 0;  // bytes
};

struct RunControl {
    std::function<void(const ProgressUpdate&)> progress;  // may be empty
    std::stop_token stop;                                 // asked to stop: ends between blocks
};

struct RunOutcome {
    bool ok = false;
    bool cancelled = false;
    NTSTATUS status = STATUS_SUCCESS;  // of the transfer that failed, when one did
    Phase phase = Phase::Erase;        // where it ended
    std::uint64_t erasedBytes = 0;
    std::uint64_t writtenBytes = 0;
    std::uint64_t verifiedBytes = 0;
    std::string message;  // what happened, and how far it got when it did not finish
    // It failed on the way to the device (a stall, a time-out, the device gone), not because the
    // device refused the work or holds what the image cannot change: the work is idempotent,
    // so the same run again, once the device is back, finishes it.
    bool transient = false;
};

// Erases the planned pages, downloads the runs and, when asked, reads them back to compare.
// Before anything is erased, the one-time-programmable bytes the plan writes are read: each must
// be blank or already the image's, or nothing is done. A stall or time-out is recovered and the
// step resent a few times; a device that goes ends the run with what was done so far. The plan's read unprotect is not done here: it makes the device
// re-enumerate, so the caller does it and plans again on the new arrival.
RunOutcome executeFlash(const Handle& handle, const DeviceFacts& device, const FlashPlan& plan, bool verify,
                        const RunControl& control);

// Reads `length` bytes at `address` of the memory area at `alternateSetting` into `bytes`.
RunOutcome readMemory(const Handle& handle, const DeviceFacts& device, std::uint8_t alternateSetting,
                      std::uint32_t address, std::size_t length, std::vector<std::uint8_t>& bytes,
                      const RunControl& control);

// Compares every element of the image with the device's memory; the message names the first
// address that differs.
RunOutcome verifyImage(const Handle& handle, const DeviceFacts& device, const FirmwareImage& image,
                       const RunControl& control);

// Leaves DFU through the driver (the application starts at the flash's base) and polls the
// status until the bootloader has gone from the bus; ok when it has.
RunOutcome leaveDfu(const Handle& handle, const DeviceFacts& device);

}  // namespace client
