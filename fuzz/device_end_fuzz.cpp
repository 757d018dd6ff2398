// The device is the attacker: every answer it gives, for a whole arrival and for the control
// codes that follow, comes from the input. A bootloader model of a preset product stands
// behind the fuzzed device end, so an answer the input leaves alone is the true one and the
// seeds (a preset selector and nothing else) are the presets' real traffic; the input can
// instead stall a transfer, let it time out, cut the true answer short, replace it with bytes
// of its own (descriptors of any kind and length, status and state replies, upload data), or
// pull the cable. Then a caller sends codes with buffers of the input's choosing, the handle
// closes, the device goes, the driver unloads.
//
// Input: a preset selector (8 bits); the length of the device's part (16 bits) and that many
// bytes; the rest is the caller's part. The device's part is read one answer at a time:
//   action (8 bits): 0-3 the true answer; 4 stall; 5 time-out; 6 the true answer cut to the
//   next byte's count; 7 a forged answer of the next byte's count of bytes (OUT: taken as
//   sent); 0xFF the device drops off the bus.
// Once it runs out every answer is true. The caller's part is read as fuzz/caller_requests.h
// says.
//
// Checks beyond the sanitizers: the framework aborts on a request completed twice and every
// call must come back; no reply longer than its output buffer; no information count beyond the
// buffers, nor over bytes the driver did not write; orderly removal and unload succeed;
// nothing left in the pool.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <vector>

#include "client/updater.h"
#include "driver/product_table.h"
#include "fuzz/caller_requests.h"
#include "fuzz/fuzz_support.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace {

enum Action : std::uint8_t { kStall = 4, kTimeOut = 5, kShort = 6, kForged = 7 };
constexpr std::uint8_t kUnplug = 0xFF;

// The device end the driver talks to: the model's answers, rewritten as the input says.
class FuzzedDevice final : public host::DeviceEnd {
public:
    FuzzedDevice(std::shared_ptr<sim::Bootloader> rom, host::Clock& clock,
                 std::vector<std::uint8_t> answers)
        : rom_(std::move(rom)), clock_(clock), bytes_(std::move(answers)),
          answers_(bytes_.data(), bytes_.size()) {}

    host::TransferResult controlTransfer(const host::SetupPacket& setup,
                                         std::span<std::uint8_t> data,
                                         std::uint32_t timeoutMs) override {
        const Choice choice = next();
        if (choice.action == kUnplug) {
            rom_->unplug();  // fires the bus's disconnection; never under our lock
            return {host::TransferStatus::Disconnected, 0};
        }
        switch (choice.action % 8) {
            case kStall:
                return {host::TransferStatus::Stalled, 0};
            case kTimeOut:
                clock_.sleepMicros(std::uint64_t{timeoutMs} * 1000);
                return {host::TransferStatus::TimedOut, 0};
            case kShort: {
                host::TransferResult result = rom_->controlTransfer(setup, data, timeoutMs);
                result.actualLength = std::min<std::uint32_t>(result.actualLength, choice.count);
                return result;
            }
            case kForged: {
                if (!setup.isIn()) {
                    return {host::TransferStatus::Completed, static_cast<std::uint32_t>(data.size())};
                }
                const std::size_t n = std::min(choice.forged.size(), data.size());
                std::copy_n(choice.forged.begin(), n, data.begin());
                return {host::TransferStatus::Completed, static_cast<std::uint32_t>(n)};
            }
            default:
                return rom_->controlTransfer(setup, data, timeoutMs);
        }
    }
    void resetPort() override { rom_->resetPort(); }
    void cyclePort() override { rom_->cyclePort(); }
    host::UsbSpeed speed() const override { return rom_->speed(); }
    bool connected() const override { return rom_->connected(); }
    void setEvents(host::DeviceEndEvents* events) override { rom_->setEvents(events); }

private:
    struct Choice {
        std::uint8_t action = 0;
        std::uint8_t count = 0;
        std::vector<std::uint8_t> forged;
    };
    // The input is read under the lock; the answer is made without it, since the model may
    // call the bus back.
    Choice next() {
        std::lock_guard lock(mutex_);
        Choice choice;
        choice.action = answers_.u8();
        if (choice.action != kUnplug && choice.action % 8 == kShort) {
            choice.count = answers_.u8();
        } else if (choice.action != kUnplug && choice.action % 8 == kForged) {
            choice.forged = answers_.bytes(answers_.u8());
        }
        return choice;
    }

    std::shared_ptr<sim::Bootloader> rom_;
    host::Clock& clock_;
    std::mutex mutex_;
    const std::vector<std::uint8_t> bytes_;  // what answers_ reads
    ostdfu_fuzz::InputReader answers_;
};

ostdfu_fuzz::CallerReplies runInput(const std::uint8_t* data, std::size_t size, std::uint8_t fill) {
    ostdfu_fuzz::InputReader input(data, size);
    const auto rows = ProductRows();
    const unsigned productCode = rows[input.u8() % rows.size()].productCode;
    std::vector<std::uint8_t> answers = input.bytes(input.u16());
    ostdfu_test::ArrivalHarness h;
    auto rom = std::make_shared<sim::Bootloader>(presets::presetFor(productCode), h.machine().clock());
    ostdfu_test::Arrived device;
    try {
        device = h.plug(std::make_shared<FuzzedDevice>(rom, h.machine().clock(), std::move(answers)));
    } catch (const std::runtime_error&) {
        // The hub gave up on a device that did not enumerate: the driver never saw it.
    }
    return ostdfu_fuzz::callThenTearDown(input, h, device.pnp, fill);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ostdfu_fuzz::checkOnlyWrittenBytesReported(
        [data, size](std::uint8_t fill) { return runInput(data, size, fill); });
    return 0;
}
