// Bootloader models whose device memory makes them one product of the driver's table, so that
// tests, scenarios and the demo bus say "a product-49 device" instead of assembling identity
// records, option bytes, version blocks and EEPROM sections by hand. docs/bootloader-model.md
// describes what each preset holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/config.h"
#include "sim/image_builder.h"

namespace presets {

// A product ID that no row of the table has: the identity record of a device the driver cannot
// classify.
inline constexpr std::uint16_t kUnknownProductId = 0x7E57;

struct PresetOptions {
    // Manufacturer serial number, stored in the product's EEPROM section (if it has one).
    std::uint64_t serial = 0x8877665544332211;
    // Byte stored under the key just before the serial (when that key exists).
    std::uint8_t serialRecordByte = 0x5A;
    sim::EepromFormat eepromFormat = sim::EepromFormat::SixValueRecords;

    // Firmware version words of the application image, in the product's layout. The secondary
    // word exists only in layout 3.
    std::uint16_t firmwareVersion = 0x0312;
    std::uint16_t firmwareSecondary = 0x0007;

    // The bootloader's serial-number string descriptor; empty optional: no string.
    std::optional<std::string> descriptorSerial = std::string("315A28A0B956");

    // Vendor ID of the identity record; default: the product's default vendor. 0x0000 and 0xFFFF
    // make the driver fall back to that default too.
    std::optional<std::uint16_t> vendorId;
    // Variant word of the identity record; default: the row's variant for products that share a
    // product ID, 0 otherwise.
    std::optional<std::uint16_t> variant;
    // Product code written into the option bytes; default: the row's code for products identified
    // by their option bytes, none (erased data bytes) otherwise.
    std::optional<std::uint8_t> optionByteCode;

    bool readProtected = false;
    // wTransferSize of the functional descriptor; the driver reads version blocks of this size.
    std::uint16_t transferSize = 2048;
};

// The bootloader of the product with this product code. Throws std::invalid_argument for a code
// that no row has, or options that the product's memory cannot hold.
sim::BootloaderConfig presetFor(unsigned productCode, const PresetOptions& options = {});

// A bootloader with no identity written: the model's default ROM, identity area erased. Only the
// descriptor serial, read protection and transfer size of the options apply.
sim::BootloaderConfig blankBootloader(const PresetOptions& options = {});

// A blank bootloader whose identity record names a product ID that no row has (vendor ID A).
// Throws std::invalid_argument if the table does know productId, or it is the erased 0xFFFF.
sim::BootloaderConfig unidentifiedBootloader(std::uint16_t productId = kUnknownProductId,
                                             const PresetOptions& options = {});

// Where the presets put the identity area and the option bytes.
inline constexpr std::uint32_t kIdentityAreaAddress = 0x1FFF7800;
inline constexpr std::uint32_t kOptionBytesAddress = 0x1FFFF800;
inline constexpr std::uint32_t kFlashBase = 0x08000000;

}  // namespace presets
