// Class of the driver's own device interface, which every started device publishes.
#pragma once

#include "updater_interface/public_types.h"

// {1A8758AA-4297-4D87-80BD-56BE721F66D0}
inline constexpr GUID GUID_DEVINTERFACE_OSTDFU_DRIVER = {
    0x1A8758AA, 0x4297, 0x4D87, {0x80, 0xBD, 0x56, 0xBE, 0x72, 0x1F, 0x66, 0xD0}};
