// The parts of the result document that describe the machine rather than one action: a device
// as its context shows it, the event log, the bus traffic and the driver's waits. The same
// pieces serve `run` and the other commands' --json output.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "host/eventlog/event_log.h"
#include "tools/system/driver_on_bus.h"

namespace dfuhost {

using Json = nlohmann::ordered_json;

// "0x%08x" and "0x%016x".
std::string hex32(std::uint32_t value);
std::string hex64(std::uint64_t value);
// "{1a8758aa-4297-4d87-80bd-56be721f66d0}".
std::string guidString(const GUID& guid);

// The snapshot of one device: the driver's context fields, its interfaces, the capabilities
// record and a CRC-32 of the model's memory. Context fields are null while the driver has no
// device for it.
Json deviceSnapshot(DriverOnBus& system, const DeviceSlot& device);
Json eventsJson(const host::EventLog& log);
Json usbJson(const std::vector<UsbRecord>& records);
// Milliseconds, whole where the wait was whole.
Json waitsJson(const host::WaitLog& waits);

}  // namespace dfuhost
