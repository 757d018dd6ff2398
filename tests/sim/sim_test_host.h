// A fake clock and a small DFU host that talk to the bootloader model the way a driver would,
// so the suites can say "DNLOAD, then GETSTATUS" in one line each.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/interface/clock.h"
#include "host/interface/device_end.h"
#include "sim/bootloader.h"

namespace simtest {

class FakeClock final : public host::Clock {
public:
    std::uint64_t nowMicros() const override { return now_; }
    void sleepMicros(std::uint64_t micros) override {
        now_ += micros;
        sleeps.push_back(micros);
    }
    bool isVirtual() const override { return true; }
    void advanceMs(std::uint64_t ms) { now_ += ms * 1000; }

    std::vector<std::uint64_t> sleeps;

private:
    std::uint64_t now_ = 1'000'000;
};

class EventLog final : public host::DeviceEndEvents {
public:
    void deviceDisconnected() override { events.push_back("disconnected"); }
    void deviceReconnected() override { events.push_back("reconnected"); }
    std::vector<std::string> events;
};

struct Status {
    host::TransferStatus result = host::TransferStatus::Completed;
    std::uint8_t status = 0xEE;
    std::uint32_t pollMs = 0;
    std::uint8_t state = 0xEE;
};

using Bytes = std::vector<std::uint8_t>;

inline Bytes addressBytes(std::uint8_t command, std::uint32_t address) {
    return {command, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
}

class DfuHost {
public:
    explicit DfuHost(sim::Bootloader& device, std::uint8_t interfaceNumber = 0)
        : device_(device), interface_(interfaceNumber) {}

    host::TransferResult out(std::uint8_t request, std::uint16_t value, Bytes data = {}) {
        host::SetupPacket setup{0x21, request, value, interface_, static_cast<std::uint16_t>(data.size())};
        return device_.controlTransfer(setup, data, 500);
    }
    std::pair<host::TransferResult, Bytes> in(std::uint8_t request, std::uint16_t value, std::uint16_t length) {
        Bytes buffer(length, 0xCC);
        host::SetupPacket setup{0xA1, request, value, interface_, length};
        const host::TransferResult result = device_.controlTransfer(setup, buffer, 500);
        buffer.resize(result.actualLength);
        return {result, buffer};
    }

    host::TransferStatus detach() { return out(0, 255).status; }
    host::TransferStatus dnload(std::uint16_t block, Bytes data) { return out(1, block, std::move(data)).status; }
    std::pair<host::TransferStatus, Bytes> upload(std::uint16_t block, std::uint16_t length) {
        auto [result, bytes] = in(2, block, length);
        return {result.status, bytes};
    }
    Status getStatus() {
        auto [result, bytes] = in(3, 0, 6);
        Status s;
        s.result = result.status;
        if (bytes.size() == 6) {
            s.status = bytes[0];
            s.pollMs = bytes[1] | bytes[2] << 8 | bytes[3] << 16;
            s.state = bytes[4];
        }
        return s;
    }
    host::TransferStatus clrStatus() { return out(4, 0).status; }
    std::uint8_t getState() {
        auto [result, bytes] = in(5, 0, 1);
        return bytes.size() == 1 ? bytes[0] : 0xEE;
    }
    host::TransferStatus abort() { return out(6, 0).status; }

    // A DfuSe command or write as the ROM expects it: DNLOAD, the busy status, the announced
    // wait on the clock, then the final status.
    Status run(std::uint16_t block, Bytes data, FakeClock& clock) {
        dnload(block, std::move(data));
        const Status busy = getStatus();
        clock.advanceMs(busy.pollMs);
        return getStatus();
    }

private:
    sim::Bootloader& device_;
    std::uint16_t interface_;
};

}  // namespace simtest
