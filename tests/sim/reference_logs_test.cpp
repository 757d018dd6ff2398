// The downloads recorded from two real ROMs (an F107, bootloader 20.00, and an F4, 21.00),
// replayed against models built like them: the same status answers, state for state, with the
// poll time-outs the F4 announces, and the file in memory afterwards.
#include <gtest/gtest.h>

#include <numeric>

#include "sim/bootloader.h"
#include "sim_test_host.h"

namespace {

using simtest::addressBytes;
using simtest::Bytes;
using simtest::DfuHost;
using simtest::FakeClock;

constexpr std::uint8_t kIdle = 2, kDnBusy = 4, kDnloadIdle = 5, kError = 10;
constexpr std::uint8_t kOk = 0, kErrFirmware = 10;

struct Answer {
    std::uint8_t state, status;
    std::uint32_t pollMs;
    friend bool operator==(const Answer&, const Answer&) = default;
};

std::ostream& operator<<(std::ostream& out, const Answer& a) {
    return out << "{state " << int(a.state) << ", status " << int(a.status) << ", poll " << a.pollMs << "}";
}

sim::BootloaderConfig f107() {
    sim::BootloaderConfig config;
    config.bcdDevice = 0x2000;
    config.product = "STM32 0x418 DFU Bootloader";
    config.serial = "STM32";
    config.deviceStatus = 0x0000;
    config.segments = {{"@Internal Flash  /0x08000000/128*002Kg", sim::SegmentKind::Flash, {}},
                       {"@Option Bytes  /0x1FFFF800/01*016 g", sim::SegmentKind::OptionBytes, {}}};
    return config;
}

sim::BootloaderConfig f4() {
    sim::BootloaderConfig config;
    config.bcdDevice = 0x2100;
    config.segments = {{"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", sim::SegmentKind::Flash, {}},
                       {"@Option Bytes  /0x1FFFC000/01*016 g", sim::SegmentKind::OptionBytes, {}},
                       {"@OTP Memory /0x1FFF7800/01*512 g,01*016 g", sim::SegmentKind::Otp, {}},
                       {"@Device Feature/0xFFFF0000/01*004 g", sim::SegmentKind::DeviceFeature, {}}};
    config.quirks.firstStatusFirmwareError = true;
    return config;
}

// The host of the logs: it checks the status first (clearing an error), then for every chunk of
// the file erases the page when the chunk starts one, sets the address pointer to the chunk and
// downloads it as block 2, each command followed by statuses until dfuDNLOAD-IDLE, waiting the
// announced poll time-out in between.
class LoggedHost {
public:
    LoggedHost(sim::Bootloader& device, FakeClock& clock) : host_(device), clock_(clock) {}

    void checkStatus() {
        if (status().state == kError) {
            host_.clrStatus();
            status();
        }
    }
    void download(std::uint32_t base, const Bytes& file, std::uint32_t pageSize) {
        for (std::size_t at = 0; at < file.size(); at += 2048) {
            const std::uint32_t address = base + static_cast<std::uint32_t>(at);
            if (address % pageSize == 0) command(0, addressBytes(0x41, address));
            command(0, addressBytes(0x21, address));
            command(2, Bytes(file.begin() + at, file.begin() + std::min(at + 2048, file.size())));
        }
    }
    const std::vector<Answer>& answers() const { return answers_; }

private:
    Answer status() {
        const simtest::Status s = host_.getStatus();
        answers_.push_back({s.state, s.status, s.pollMs});
        return answers_.back();
    }
    void command(std::uint16_t block, Bytes data) {
        host_.dnload(block, std::move(data));
        for (Answer a = status(); a.state == kDnBusy; a = status()) clock_.advanceMs(a.pollMs);
    }

    DfuHost host_;
    FakeClock& clock_;
    std::vector<Answer> answers_;
};

Bytes file(std::size_t n) {
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0x5A});
    return bytes;
}

// Each chunk as the ROM answers it: erase (when the chunk starts a page), set address, write.
void expectChunk(std::vector<Answer>& expected, bool erase) {
    if (erase) expected.insert(expected.end(), {{kDnBusy, kOk, 100}, {kDnloadIdle, kOk, 0}});
    expected.insert(expected.end(), {{kDnBusy, kOk, 0}, {kDnloadIdle, kOk, 0}, {kDnBusy, kOk, 104},
                                     {kDnloadIdle, kOk, 0}});
}

TEST(ReferenceLogs, F107DownloadsEightPagesOfTwoKilobytes) {
    FakeClock clock;
    sim::Bootloader device(f107(), clock);
    LoggedHost host(device, clock);
    const Bytes image = file(16384);
    host.checkStatus();
    host.download(0x08000000, image, 2048);

    std::vector<Answer> expected = {{kIdle, kOk, 0}};  // "state = dfuIDLE, status = 0"
    for (int page = 0; page < 8; ++page) expectChunk(expected, true);
    EXPECT_EQ(host.answers(), expected);
    EXPECT_EQ(device.read(0x08000000, image.size()), image);
}

TEST(ReferenceLogs, F4ClearsItsFirmwareErrorThenDownloadsIntoOneSector) {
    FakeClock clock;
    sim::Bootloader device(f4(), clock);
    LoggedHost host(device, clock);
    const Bytes image = file(2308);
    host.checkStatus();
    host.download(0x08000000, image, 16384);

    // "state = dfuERROR, status = 10", cleared, then "state = dfuIDLE, status = 0"; one erase of
    // the 16 KiB sector, then chunks of 2048 and 260 bytes.
    std::vector<Answer> expected = {{kError, kErrFirmware, 0}, {kIdle, kOk, 0}};
    expectChunk(expected, true);
    expectChunk(expected, false);
    EXPECT_EQ(host.answers(), expected);
    EXPECT_EQ(device.read(0x08000000, image.size()), image);
}

}  // namespace
