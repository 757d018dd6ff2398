#include "tools/serve/transfer_log.h"

#include <nlohmann/json.hpp>

#include "tools/scenario/scenario.h"

namespace dfuhost {

namespace {

const char* statusWord(host::TransferStatus status) {
    switch (status) {
        case host::TransferStatus::Completed:
            return "completed";
        case host::TransferStatus::Stalled:
            return "stalled";
        case host::TransferStatus::TimedOut:
            return "timeout";
        case host::TransferStatus::Disconnected:
            return "disconnected";
    }
    return "unknown";
}

}  // namespace

std::string transferLine(std::uint64_t timeMicros, const std::string& device, const host::SetupPacket& setup,
                         std::span<const std::uint8_t> data, const host::TransferResult& result) {
    const auto wire = setup.toBytes();
    nlohmann::ordered_json line;
    line["time_us"] = timeMicros;
    line["device"] = device;
    line["setup"] = scenario::toHex(wire.data(), wire.size());
    line["data"] = scenario::toHex(data.data(), data.size());
    line["status"] = statusWord(result.status);
    line["length"] = result.actualLength;
    return line.dump();
}

TransferLog::TransferLog(const std::string& path, const host::Clock& clock)
    : clock_(clock), file_(std::fopen(path.c_str(), "w")) {
    if (file_ == nullptr) throw scenario::ScenarioError("cannot write the record file " + path);
}

TransferLog::~TransferLog() { std::fclose(file_); }

void TransferLog::write(const std::string& device, const host::SetupPacket& setup,
                        std::span<const std::uint8_t> data, const host::TransferResult& result) {
    const std::string line = transferLine(clock_.nowMicros(), device, setup, data, result);
    std::lock_guard lock(mutex_);
    std::fprintf(file_, "%s\n", line.c_str());
    std::fflush(file_);
}

}  // namespace dfuhost
