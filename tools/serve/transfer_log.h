// `dfuhost serve --record FILE`: every transfer a served device carried, one JSON object a line,
// written as it happens so that a command that hangs still leaves its traffic behind.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

#include "host/interface/clock.h"
#include "host/interface/device_end.h"

namespace dfuhost {

// {"time_us": 1523, "device": "NAME", "setup": "a103000000000600", "data": "000000000200",
//  "status": "completed", "length": 6}
std::string transferLine(std::uint64_t timeMicros, const std::string& device, const host::SetupPacket& setup,
                         std::span<const std::uint8_t> data, const host::TransferResult& result);

class TransferLog {
public:
    // Throws scenario::ScenarioError when the file cannot be written.
    TransferLog(const std::string& path, const host::Clock& clock);
    ~TransferLog();
    TransferLog(const TransferLog&) = delete;
    TransferLog& operator=(const TransferLog&) = delete;

    // From any thread.
    void write(const std::string& device, const host::SetupPacket& setup, std::span<const std::uint8_t> data,
               const host::TransferResult& result);

private:
    const host::Clock& clock_;
    std::mutex mutex_;  // guards the file
    std::FILE* file_;
};

}  // namespace dfuhost
