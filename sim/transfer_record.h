// One control transfer as the device saw it, for tests to assert on the traffic.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "host/interface/device_end.h"

namespace sim {

struct TransferRecord {
    std::array<std::uint8_t, 8> setup{};  // wire form of the setup stage
    std::vector<std::uint8_t> data;       // OUT: the bytes sent; IN: the bytes answered
    host::TransferStatus result = host::TransferStatus::Completed;
    std::uint32_t actualLength = 0;
    std::uint64_t timeMicros = 0;  // clock time when the transfer reached the device

    std::uint8_t bmRequestType() const { return setup[0]; }
    std::uint8_t bRequest() const { return setup[1]; }
    std::uint16_t wValue() const { return static_cast<std::uint16_t>(setup[2] | setup[3] << 8); }
    std::uint16_t wIndex() const { return static_cast<std::uint16_t>(setup[4] | setup[5] << 8); }
    std::uint16_t wLength() const { return static_cast<std::uint16_t>(setup[6] | setup[7] << 8); }
};

}  // namespace sim
