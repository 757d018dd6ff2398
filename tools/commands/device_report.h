// What the updater can learn about a device through the driver's interface, gathered with the
// client library: the one-line summary of `list` and the full decoding of `info`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/commands/session.h"

namespace dfuhost {

struct DeviceSummary {
    std::string name;
    std::string location;
    std::string pnpState;
    bool published = false;  // the driver interface can be opened
    NTSTATUS queryStatus = STATUS_SUCCESS;  // first failing query, if any
    ULONG productCode = 0;
    std::string productName;
    std::uint16_t appVid = 0;
    std::uint16_t appPid = 0;
    std::uint16_t appVariant = 0;
    std::optional<ULONG> firmwareVersion;    // when the version location is known
    std::optional<std::uint64_t> serial;     // the manufacturer serial, when one was read
    unsigned serialBytes = 0;
    ULONG readProtect = 0;
    std::vector<std::string> interfaces;     // driver, product, companion: the visible ones
};

DeviceSummary summarize(Session& session, DeviceSlot& device);
// The two halves of summarize, for callers that ask the driver from another thread than the
// one that runs the bus: what the bus knows (name, place, state, published interfaces), and
// what the driver answers through its interface at `link`.
DeviceSummary placeSummary(DriverOnBus& system, DeviceSlot& device);
void querySummary(DeviceSummary& summary, const std::u16string& link);
// Columns of `list`; the header matches.
std::string summaryHeader();
std::string summaryLine(const DeviceSummary& summary);
Json summaryJson(const DeviceSummary& summary);

// The name of a product code in the table; "STM32 bootloader" for the code the driver gives a
// bootloader it could not place.
std::string productName(ULONG productCode);

// `info`: every query of the control interface, decoded. Returns the exit code.
int printInfo(Session& session, DeviceSlot& device);

}  // namespace dfuhost
