// What the updater needs to know about a device before it plans a flash, all from the control
// interface: the DFU interface number, wTransferSize, the memory areas from the driver's
// segment strings with the alternate setting of each, the product the driver identified, and
// whether the flash is read-protected.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/memory_layout.h"
#include "client/updater.h"

namespace client {

inline constexpr std::uint16_t kBootloaderVid = 0x0483;
inline constexpr std::uint16_t kBootloaderPid = 0xDF11;

// What an area is for the driver: its segment map names the internal flash (1), the
// one-time-programmable area (2), the option bytes (3) and a fourth area (4).
enum class AreaKind { Flash, Otp, OptionBytes, Other };

struct MemoryArea {
    std::uint8_t alternateSetting = 0;
    AreaKind kind = AreaKind::Flash;
    MemoryLayout layout;
    // Where the driver takes the area to begin (its segment base: the string's first address
    // field, not necessarily its lowest). The driver's own operations, the option-byte write
    // among them, go there.
    std::uint32_t driverBase = 0;
};

struct DeviceFacts {
    std::uint8_t interfaceNumber = 0;
    std::uint16_t transferSize = 0;
    // The application's IDs the driver identified; the bootloader's own (or 0) when it
    // identified none.
    std::uint16_t appVid = 0;
    std::uint16_t appPid = 0;
    bool readProtected = false;
    std::vector<MemoryArea> areas;

    bool productIdentified() const;
    const MemoryArea* areaFor(std::uint8_t alternateSetting) const;
    const MemoryArea* areaOf(AreaKind kind) const;
};

struct FactsResult {
    NTSTATUS status = STATUS_SUCCESS;
    std::string failure;  // which query failed, when status is a failure
    DeviceFacts facts;
};

FactsResult readDeviceFacts(const Handle& handle);

const char* areaKindName(AreaKind kind);

}  // namespace client
