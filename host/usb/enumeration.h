// What the hub learns of a device that arrives at a port, as the PnP manager needs it: the
// hardware IDs built from the device descriptor and the serial-number string. These requests are
// the hub's own, made before any driver: they reach the device end (and its record) directly and
// stay out of the bus record, which is the driver's traffic.
#pragma once

#include <optional>

#include "host/pnp/pnp_manager.h"
#include "host/usb/bus.h"

namespace host::usb {

// The description to offer the device with (its physical device object included), or nullopt
// when the device does not give a whole device descriptor.
std::optional<PnpDeviceDescription> enumerate(Device& device);

}  // namespace host::usb
