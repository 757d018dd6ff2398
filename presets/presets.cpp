#include "presets/presets.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "context/product_data.h"
#include "driver/product_table.h"

namespace presets {

namespace {

// A bootloader whose flash carries exactly this layout is taken for a product that keeps its
// code in the option bytes even when the code cannot be read.
constexpr char kFallbackFlashLayout[] = "@Internal Flash  /0x08000000/128*0002Kg";
constexpr char kOptionBytesLayout[] = "@Option Bytes  /0x1FFFF800/01*016 e";
constexpr char kIdentityAreaLayout[] = "@OTP Memory /0x1FFF7800/01*512 e,01*016 e";
constexpr char kDeviceFeatureLayout[] = "@Device Feature/0xFFFF0000/01*004 e";

// Every product runs on a part with uniform 2 KiB pages, the unit in which the driver erases
// EEPROM sections (one erase command per transfer-size step), so an erase removes exactly the
// section. The smallest such flash is 32 KiB.
constexpr std::uint32_t kPageSize = 2048;
constexpr std::uint32_t kMinFlashPages = 16;

static_assert(static_cast<int>(sim::VersionLayout::BigEndianLastWord) ==
              static_cast<int>(VersionLayout::BigEndianLastWord));
static_assert(static_cast<int>(sim::VersionLayout::LittleEndianAt4) ==
              static_cast<int>(VersionLayout::LittleEndianAt4));
static_assert(static_cast<int>(sim::VersionLayout::LittleEndianAt8) ==
              static_cast<int>(VersionLayout::LittleEndianAt8));

const ProductRow* findRow(unsigned productCode) {
    for (const ProductRow& row : ProductRows()) {
        if (row.productCode == productCode) return &row;
    }
    return nullptr;
}

void applyCommon(sim::BootloaderConfig& config, const PresetOptions& options) {
    if (options.transferSize == 0) throw std::invalid_argument("a transfer size of 0 moves no data");
    config.serial = options.descriptorSerial;
    config.readProtected = options.readProtected;
    config.functional.wTransferSize = options.transferSize;
}

// The driver reads a version block of the row's read length, or of the transfer size.
std::uint32_t versionBlockSize(const ProductRow& row, const PresetOptions& options) {
    return row.versionReadLength != 0 ? row.versionReadLength : options.transferSize;
}

// The device steps block numbers by its transfer size, whatever length the read asks for.
std::uint32_t versionBlockAddress(const ProductRow& row, const PresetOptions& options) {
    return row.versionAddress + row.versionBlockOffset * std::uint32_t{options.transferSize};
}

bool hasEepromSection(const ProductRow& row) {
    return row.eeprom && row.eepromSectionAddress != 0 && row.sectionSize != 0;
}

// Smallest power-of-two count of pages that holds every byte the product keeps in flash.
std::uint32_t flashPages(const ProductRow& row, const PresetOptions& options) {
    std::uint64_t end = kFlashBase;
    if (row.readsVersion)
        end = std::max<std::uint64_t>(end, std::uint64_t{versionBlockAddress(row, options)} +
                                               versionBlockSize(row, options));
    if (hasEepromSection(row))
        end = std::max<std::uint64_t>(end, std::uint64_t{row.eepromSectionAddress} + row.sectionSize);
    const std::uint64_t needed = (end - kFlashBase + kPageSize - 1) / kPageSize;
    std::uint32_t pages = kMinFlashPages;
    while (pages < needed) pages *= 2;
    return pages;
}

std::string flashLayout(const ProductRow& row, const PresetOptions& options) {
    if (row.key == RowKey::OptionByteCode && row.optionByteCode == 3) return kFallbackFlashLayout;
    char text[64];
    std::snprintf(text, sizeof(text), "@Internal Flash  /0x%08X/%03u*0002Kg", kFlashBase,
                  flashPages(row, options));
    return text;
}

// The vendor ID the driver holds when it reads the version, which picks the version layout:
// option-byte products are given vendor A, others keep the record's unless it is blank.
std::uint16_t vendorIdWhenVersionIsRead(const ProductRow& row, std::uint16_t recordVendorId) {
    if (row.key == RowKey::OptionByteCode || recordVendorId == 0x0000 || recordVendorId == 0xFFFF)
        return row.defaultVendorId;
    return recordVendorId;
}

}  // namespace

sim::BootloaderConfig presetFor(unsigned productCode, const PresetOptions& options) {
    const ProductRow* found = findRow(productCode);
    if (found == nullptr) throw std::invalid_argument("no product has code " + std::to_string(productCode));
    const ProductRow& row = *found;
    const bool byOptionBytes = row.key == RowKey::OptionByteCode;

    sim::BootloaderConfig config;
    applyCommon(config, options);
    // Products identified by their option bytes run on parts without an identity area: the
    // driver must find no alternate setting 2 to look at the option bytes at all.
    config.segments = {{flashLayout(row, options), sim::SegmentKind::Flash, {}},
                       {kOptionBytesLayout, sim::SegmentKind::OptionBytes, {}}};
    if (!byOptionBytes) {
        config.segments.push_back({kIdentityAreaLayout, sim::SegmentKind::Otp, {}});
        config.segments.push_back({kDeviceFeatureLayout, sim::SegmentKind::DeviceFeature, {}});
    }

    sim::ImageBuilder image(config);
    std::optional<std::uint8_t> optionByteCode = options.optionByteCode;
    if (!optionByteCode && byOptionBytes) optionByteCode = row.optionByteCode;
    image.optionBytes(kOptionBytesAddress, optionByteCode);

    const std::uint16_t vendorId = options.vendorId.value_or(row.defaultVendorId);
    if (!byOptionBytes) {
        const sim::IdentityRecord record{
            row.productId, vendorId,
            options.variant.value_or(row.key == RowKey::AppPidVariant ? row.variant : std::uint16_t{0})};
        image.identityRecords(kIdentityAreaAddress, std::span(&record, 1));
    }
    if (row.readsVersion) {
        const auto layout = static_cast<sim::VersionLayout>(
            VersionLayoutFor(vendorIdWhenVersionIsRead(row, vendorId), row.productId));
        image.versionBlock(versionBlockAddress(row, options), versionBlockSize(row, options), layout,
                           options.firmwareVersion, options.firmwareSecondary);
    }
    if (hasEepromSection(row)) {
        sim::EepromSerial serial;
        serial.serial = options.serial;
        serial.firstKey = static_cast<std::uint16_t>(row.serialFirstKey);
        if (row.serialFirstKey != 0) serial.precedingByte = options.serialRecordByte;
        image.eepromSection(row.eepromSectionAddress, row.sectionSize, options.eepromFormat, serial);
    }
    return config;
}

sim::BootloaderConfig blankBootloader(const PresetOptions& options) {
    sim::BootloaderConfig config;
    applyCommon(config, options);
    return config;
}

sim::BootloaderConfig unidentifiedBootloader(std::uint16_t productId, const PresetOptions& options) {
    const std::uint16_t variant = options.variant.value_or(0);
    if (productId == 0xFFFF) throw std::invalid_argument("product ID 0xFFFF is an erased record");
    if (FindRowByProductId(productId, variant) != nullptr || IsVariantProductId(productId))
        throw std::invalid_argument("the product table knows product ID " + std::to_string(productId));
    sim::BootloaderConfig config = blankBootloader(options);
    const sim::IdentityRecord record{productId, options.vendorId.value_or(VENDOR_ID_A), variant};
    sim::ImageBuilder(config).identityRecords(kIdentityAreaAddress, std::span(&record, 1));
    return config;
}

}  // namespace presets
