// Planted faults, the ROM misbehaviours, busy time against the announced poll time-out, and the
// transfer record.
#include <gtest/gtest.h>

#include "sim/bootloader.h"
#include "sim_test_host.h"

namespace {

using host::TransferStatus;
using sim::Fault;
using sim::FaultAction;
using sim::FaultRequest;
using simtest::addressBytes;
using simtest::Bytes;
using simtest::DfuHost;
using simtest::EventLog;
using simtest::FakeClock;

constexpr auto C = TransferStatus::Completed;
constexpr auto S = TransferStatus::Stalled;
constexpr auto D = TransferStatus::Disconnected;
constexpr auto T = TransferStatus::TimedOut;

struct Rig {
    explicit Rig(sim::BootloaderConfig config = {}) : device(std::move(config), clock), host(device) {
        device.setEvents(&events);
    }
    FakeClock clock;
    sim::Bootloader device;
    DfuHost host;
    EventLog events;
};

TEST(Faults, CoverTheNthOccurrenceAndTheCountAfterIt) {
    struct Case {
        std::uint32_t nth, count;
        std::vector<TransferStatus> answers;
    };
    const Case cases[] = {
        {2, 2, {C, S, S, C, C}},
        {1, 1, {S, C, C, C, C}},
        {4, 0, {C, C, C, S, S}},  // count 0: from the 4th on
        {0, 1, {S, C, C, C, C}},  // nth 0 counts as the first
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.device.addFault({FaultRequest::GetStatus, c.nth, c.count, FaultAction::Stall, {}});
        std::vector<TransferStatus> answers;
        for (int i = 0; i < 5; ++i) {
            answers.push_back(rig.host.getStatus().result);
            rig.host.getState();  // other requests do not count against a GETSTATUS fault
        }
        EXPECT_EQ(answers, c.answers) << "nth " << c.nth << " count " << c.count;
        EXPECT_EQ(rig.device.state(), sim::DfuState::DfuIdle) << "a planted stall does not reach the state machine";
    }
}

TEST(Faults, ActionsStallTimeOutUnplugOrReply) {
    Rig rig;
    rig.device.addFault({FaultRequest::Abort, 1, 1, FaultAction::Timeout, {}});
    rig.device.addFault({FaultRequest::GetStatus, 1, 1, FaultAction::Reply, {0x00, 0x10, 0x27, 0x00, 0x04, 0x00, 0x99}});
    rig.device.addFault({FaultRequest::Dnload, 1, 1, FaultAction::Reply, {}});
    rig.device.addFault({FaultRequest::GetDescriptor, 1, 1, FaultAction::Unplug, {}});

    const std::uint64_t before = rig.clock.nowMicros();
    EXPECT_EQ(rig.host.abort(), T);
    EXPECT_EQ(rig.clock.nowMicros() - before, 500'000u) << "the whole 500 ms time-out passes";

    const simtest::Status scripted = rig.host.getStatus();
    EXPECT_EQ(scripted.pollMs, 10000u);
    EXPECT_EQ(scripted.state, 4) << "the scripted bytes, cut to wLength 6";
    EXPECT_EQ(rig.host.dnload(0, {0x55}), C);
    EXPECT_EQ(rig.device.state(), sim::DfuState::DfuIdle) << "a scripted OUT answer is acknowledged and ignored";

    Bytes descriptor(18);
    EXPECT_EQ(rig.device.controlTransfer({0x80, 6, 0x0100, 0, 18}, descriptor, 500).status, D);
    EXPECT_EQ(rig.events.events, std::vector<std::string>{"disconnected"});
    EXPECT_EQ(rig.host.getState(), 0xEE);
    rig.device.cyclePort();
    EXPECT_FALSE(rig.device.connected()) << "only plugging the cable in again brings it back";
    rig.device.plug();
    EXPECT_TRUE(rig.device.connected());
    EXPECT_EQ(rig.host.getState(), 2);
}

TEST(Faults, AnyCountsEveryTransferSoADeviceCanVanishAfterN) {
    Rig rig;
    rig.device.addFault({FaultRequest::Any, 4, 0, FaultAction::Unplug, {}});
    Bytes descriptor(18);
    EXPECT_EQ(rig.device.controlTransfer({0x80, 6, 0x0100, 0, 18}, descriptor, 500).status, C);
    EXPECT_EQ(rig.host.abort(), C);
    EXPECT_EQ(rig.host.getStatus().result, C);
    EXPECT_EQ(rig.host.getStatus().result, D);
    EXPECT_EQ(rig.device.presence(), sim::Presence::Unplugged);
}

TEST(Quirks, FirstStatusAfterPowerUpReportsErrFirmware) {
    sim::BootloaderConfig config;
    config.quirks.firstStatusFirmwareError = true;
    Rig rig(config);
    const simtest::Status first = rig.host.getStatus();
    EXPECT_EQ(first.status, 10);
    EXPECT_EQ(first.state, 10);
    EXPECT_EQ(rig.host.clrStatus(), C);
    EXPECT_EQ(rig.host.getStatus().state, 2);
    EXPECT_EQ(rig.host.getStatus().status, 0) << "only the first";
    rig.device.cyclePort();
    EXPECT_EQ(rig.host.getStatus().status, 10) << "again after a restart";
}

TEST(Quirks, StatusStalledWhileErasing) {
    sim::BootloaderConfig config;
    config.quirks.stallStatusWhileBusy = true;
    Rig rig(config);
    rig.host.dnload(0, addressBytes(0x41, 0x08000000));
    EXPECT_EQ(rig.host.getStatus().state, 4);
    EXPECT_EQ(rig.host.getStatus().result, S);
    EXPECT_EQ(rig.device.state(), sim::DfuState::DnBusy) << "the erase goes on";
    rig.clock.advanceMs(100);
    EXPECT_EQ(rig.host.getStatus().state, 5);
}

// The work runs inside the completion of the busy status: whatever arrives meanwhile is held
// until the work is done, and answered then.
TEST(Busy, ARequestDuringTheWorkIsAnsweredWhenTheWorkEnds) {
    Rig rig;
    rig.host.dnload(0, addressBytes(0x41, 0x08000000));
    EXPECT_EQ(rig.host.getStatus().pollMs, 100u);
    rig.clock.advanceMs(30);
    const std::uint64_t sent = rig.clock.nowMicros();
    const simtest::Status done = rig.host.getStatus();
    EXPECT_EQ(done.result, C);
    EXPECT_EQ(done.state, 5) << "the status after the work";
    EXPECT_EQ(rig.clock.nowMicros() - sent, 70'000u) << "held for the rest of the 100 ms";
    EXPECT_EQ(rig.device.transfers().back().timeMicros, sent) << "recorded when it arrived";

    // Standard requests wait too: the whole device is inside the completion.
    rig.host.dnload(0, addressBytes(0x41, 0x08000000));
    rig.host.getStatus();
    Bytes descriptor(18);
    const std::uint64_t before = rig.clock.nowMicros();
    EXPECT_EQ(rig.device.controlTransfer({0x80, 6, 0x0100, 0, 18}, descriptor, 500).status, C);
    EXPECT_EQ(rig.clock.nowMicros() - before, 100'000u);
}

TEST(Busy, ARequestWhoseTimeOutEndsFirstTimesOutAndTheWorkGoesOn) {
    sim::BootloaderConfig config;
    config.quirks.pollTimeoutShorterThanBusy = true;
    Rig rig(config);
    rig.host.dnload(0, {0x41});
    EXPECT_EQ(rig.host.getStatus().pollMs, 100u);
    rig.clock.advanceMs(100);
    const std::uint64_t sent = rig.clock.nowMicros();
    EXPECT_EQ(rig.host.getStatus().result, T);
    EXPECT_EQ(rig.clock.nowMicros() - sent, 500'000u) << "the request's own 500 ms";
    EXPECT_EQ(rig.device.transfers().back().result, T);
    EXPECT_EQ(rig.device.state(), sim::DfuState::DnBusy) << "still erasing";

    // 8 s of mass erase from the busy status: 7.4 s remain, and a long enough time-out sees them out.
    std::uint8_t status[6] = {};
    const std::uint64_t again = rig.clock.nowMicros();
    EXPECT_EQ(rig.device.controlTransfer({0xA1, 3, 0, 0, 6}, status, 10'000).status, C);
    EXPECT_EQ(rig.clock.nowMicros() - again, 7'400'000u);
    EXPECT_EQ(status[4], 5);
}

TEST(Busy, AResetChipEndsTheWork) {
    Rig rig;
    rig.host.dnload(0, {0x41});
    rig.host.getStatus();
    rig.device.cyclePort();
    const std::uint64_t before = rig.clock.nowMicros();
    EXPECT_EQ(rig.host.getStatus().state, 2);
    EXPECT_EQ(rig.clock.nowMicros(), before);
}

// The older behaviour: dfuDNBUSY answered at once, and the real busy time counts only with the quirk.
TEST(Quirks, AnswersWhileBusyUntilTheRealBusyTimeHasPassed) {
    for (const bool slow : {false, true}) {
        sim::BootloaderConfig config;
        config.quirks.answersWhileBusy = true;
        config.quirks.pollTimeoutShorterThanBusy = slow;
        Rig rig(config);
        rig.host.dnload(0, {0x41});
        EXPECT_EQ(rig.host.getStatus().pollMs, 100u);
        const std::uint64_t sent = rig.clock.nowMicros();
        const simtest::Status atOnce = rig.host.getStatus();
        EXPECT_EQ(atOnce.state, 4);
        EXPECT_EQ(atOnce.pollMs, 100u);
        EXPECT_EQ(rig.clock.nowMicros(), sent) << "answered without waiting";
        rig.clock.advanceMs(100);
        const simtest::Status afterPoll = rig.host.getStatus();
        EXPECT_EQ(afterPoll.state, slow ? 4 : 5);
        if (!slow) continue;
        rig.clock.advanceMs(7899);
        EXPECT_EQ(rig.host.getStatus().state, 4) << "1 ms short of the 8 s a mass erase takes";
        rig.clock.advanceMs(1);
        EXPECT_EQ(rig.host.getStatus().state, 5);
    }
}

TEST(Quirks, ExtraBusyReplies) {
    sim::BootloaderConfig config;
    config.quirks.extraBusyReplies = 2;
    Rig rig(config);
    rig.host.dnload(0, addressBytes(0x21, 0x08000000));
    std::vector<std::uint8_t> states;
    for (int i = 0; i < 4; ++i) states.push_back(rig.host.getStatus().state);
    EXPECT_EQ(states, (std::vector<std::uint8_t>{4, 4, 4, 5}));
}

TEST(Quirks, StayInManifestUntilPolledAgain) {
    sim::BootloaderConfig config;
    config.quirks.stayInManifest = true;
    Rig rig(config);
    rig.host.dnload(0, {});
    EXPECT_EQ(rig.host.getStatus().state, 7);
    EXPECT_TRUE(rig.device.connected());
    EXPECT_EQ(rig.host.getStatus().state, 7);
    EXPECT_FALSE(rig.device.connected());
}

TEST(Quirks, DisconnectBeforeTheLeaveStatus) {
    sim::BootloaderConfig config;
    config.quirks.disconnectBeforeLeaveStatus = true;
    Rig rig(config);
    rig.host.dnload(0, {});
    EXPECT_EQ(rig.host.getStatus().result, D);
    EXPECT_EQ(rig.device.presence(), sim::Presence::InApplication);
    EXPECT_EQ(rig.events.events, std::vector<std::string>{"disconnected"});
}

TEST(Record, KeepsSetupDataResultLengthAndTime) {
    Rig rig;
    rig.host.dnload(0, addressBytes(0x21, 0x08000000));
    rig.clock.advanceMs(3);
    rig.host.getStatus();
    rig.host.upload(1, 16);
    rig.device.unplug();
    rig.host.getState();

    const std::vector<sim::TransferRecord> records = rig.device.transfers();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].setup, (std::array<std::uint8_t, 8>{0x21, 0x01, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00}));
    EXPECT_EQ(records[0].data, (Bytes{0x21, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(records[0].result, C);
    EXPECT_EQ(records[0].actualLength, 5u);
    EXPECT_EQ(records[1].timeMicros - records[0].timeMicros, 3000u);
    EXPECT_EQ(records[1].bRequest(), 3);
    EXPECT_EQ(records[1].data, (Bytes{0x00, 0x00, 0x00, 0x00, 0x04, 0x00}));
    EXPECT_EQ(records[2].wValue(), 1);
    EXPECT_EQ(records[2].wLength(), 16);
    EXPECT_EQ(records[2].result, S);
    EXPECT_TRUE(records[2].data.empty());
    EXPECT_EQ(records[3].result, D);
    rig.device.clearTransfers();
    EXPECT_TRUE(rig.device.transfers().empty());
}

TEST(Record, NeverWritesPastTheCallersBuffer) {
    Rig rig;
    Bytes buffer(8, 0xCC);
    // wLength claims 64 bytes, the buffer holds 4 of them.
    const auto result = rig.device.controlTransfer({0xA1, 2, 0, 0, 64}, std::span(buffer).first(4), 500);
    EXPECT_EQ(result.actualLength, 4u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 4), (Bytes{0x00, 0x21, 0x41, 0x92}));
    EXPECT_EQ(Bytes(buffer.begin() + 4, buffer.end()), Bytes(4, 0xCC));
}

}  // namespace
