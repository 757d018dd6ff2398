// What a flash will do to a device, decided before anything is sent: every element checked
// against writable memory, the flash pages or sectors it touches erased once each and nothing
// else, the downloads in wTransferSize blocks. What cannot be done safely is refused here, so that a
// refusal never leaves a half-erased device.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/device_facts.h"
#include "client/firmware_image.h"

namespace client {

struct PlanOptions {
    bool optionBytes = false;  // allow writing the option bytes (a wrong value can lock the chip)
    bool otp = false;          // allow writing the one-time-programmable area (for good)
    bool unprotect = false;    // a read-protected device is unprotected first: its flash is erased
    bool anyProduct = false;   // take an image whose suffix names a product the driver did not identify
};

struct PlannedErase {
    std::uint8_t alternateSetting = 0;
    std::uint32_t address = 0;
    std::uint32_t size = 0;
};

struct FlashPlan {
    bool readUnprotect = false;
    std::vector<PlannedErase> erases;  // in address order, each page once
    // The image's elements that hold bytes, in the order they are written: the option bytes last.
    std::vector<const ImageElement*> writes;
    std::vector<std::string> warnings;
    std::uint16_t transferSize = 0;

    std::uint64_t eraseBytes() const;
    std::uint64_t writeBytes() const;
};

// The device cannot take the image as asked. The message says what and where.
class PlanRefusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An image that names no alternate settings gets, for each element, the setting of the area
// whose sectors hold its first byte (the internal flash when none does, so that the plan names
// the flash in its refusal).
FirmwareImage placeByAddress(FirmwareImage image, const DeviceFacts& device);

// Throws PlanRefusal. The plan points into `image`, which must outlive it.
FlashPlan planFlash(const FirmwareImage& image, const DeviceFacts& device, const PlanOptions& options);

// The product check alone: an empty string when the image may go on the device, else why not.
// 0xFFFF in a suffix field matches anything, and so does the bootloader's own 0483:DF11, which
// generic tools write when they know no product.
std::string productMismatch(const FirmwareImage& image, const DeviceFacts& device);

}  // namespace client
