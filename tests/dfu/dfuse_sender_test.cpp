// The DfuSe command sender: pacing by the device's poll time-out, the seven ways an attempt
// fails with the recovery and the retry each takes, the read-protected sender's budget, and
// the commands' bytes. Exact traffic against a scripted end; the model checks the happy paths.
#include <gtest/gtest.h>

#include <functional>

#include "dfu/device_memory.h"
#include "dfu/dfu_requests.h"
#include "dfu/dfuse_commands.h"
#include "presets/presets.h"
#include "tests/dfu/dfu_test_support.h"
#include "tests/support/dfu_harness.h"

namespace ostdfu_test {
namespace {

struct Counts {
    int dnload, getStatus, getState, clrStatus, abort;
    friend bool operator==(const Counts&, const Counts&) = default;
};

std::ostream& operator<<(std::ostream& out, const Counts& c) {
    return out << "DNLOAD " << c.dnload << ", GETSTATUS " << c.getStatus << ", GETSTATE "
               << c.getState << ", CLRSTATUS " << c.clrStatus << ", ABORT " << c.abort;
}

Counts countsOf(const DfuHarness& h) {
    return {h.count(DFU_DNLOAD), h.count(DFU_GETSTATUS), h.count(DFU_GETSTATE),
            h.count(DFU_CLRSTATUS), h.count(DFU_ABORT)};
}

// A scripted device for the sender: ABORT and CLRSTATUS always taken.
std::unique_ptr<DfuHarness> senderDevice(ULONG polls) {
    auto harness = DfuHarness::scripted();
    harness->fdo()->NumDfuBootIterBusyWaits = polls;
    acceptAlways(harness->script(), DFU_ABORT);
    acceptAlways(harness->script(), DFU_CLRSTATUS);
    return harness;
}

NTSTATUS setAddress(DfuHarness& h) { return ST32DfuSetAddressPointer(h.device(), 0x08000000); }

const StatusAnswer kBusy20 = answer(0, 20, dfuDNBUSY);
const StatusAnswer kDone = answer(0, 0, dfuDNLOAD_IDLE);
const StatusAnswer kIdle = answer(0, 0, dfuIDLE);

// Repeats one attempt's GETSTATUS answers and the resend preparation's for five attempts.
std::vector<StatusAnswer> fiveAttempts(const std::vector<StatusAnswer>& attempt,
                                       const std::vector<StatusAnswer>& resend) {
    std::vector<StatusAnswer> all;
    for (int i = 0; i < 5; ++i) {
        all.insert(all.end(), attempt.begin(), attempt.end());
        if (i < 4) {
            all.insert(all.end(), resend.begin(), resend.end());
        }
    }
    return all;
}

struct FailureCase {
    const char* name;
    std::function<void(ScriptedDeviceEnd&)> script;
    NTSTATUS result;
    Counts counts;
    std::vector<std::uint64_t> delays;
};

std::vector<std::uint64_t> repeat(std::uint64_t ms, int times) {
    return std::vector<std::uint64_t>(times, ms);
}

// With three polls per attempt. Every failed attempt is followed by its recovery; all but the
// last by the preparation of the resend.
std::vector<FailureCase> failureCases() {
    return {
        {"DnloadStalled",
         [](ScriptedDeviceEnd& e) {
             e.script(requestMatcher(kClassOut, DFU_DNLOAD), ScriptedReply::stall(), -1);
             stateAlways(e, dfuERROR);
         },
         STATUS_UNSUCCESSFUL, {5, 0, 5, 5, 4}, {}},
        {"FirstStatusStalled",
         [](ScriptedDeviceEnd& e) {
             acceptAlways(e, DFU_DNLOAD);
             stateAlways(e, dfuERROR);
             scriptStatuses(e, {}, stalled());
         },
         STATUS_UNSUCCESSFUL, {5, 9, 5, 5, 4}, {}},
        {"FirstStatusFirmwareError",
         [](ScriptedDeviceEnd& e) {
             acceptAlways(e, DFU_DNLOAD);
             scriptStatuses(e, {}, answer(DFU_STATUS_errFIRMWARE, 0, dfuERROR));
         },
         STATUS_IO_TIMEOUT, {5, 9, 0, 5, 4}, {}},
        {"FirstStatusNotBusy",
         [](ScriptedDeviceEnd& e) {
             acceptAlways(e, DFU_DNLOAD);
             stateAlways(e, dfuDNLOAD_IDLE);
             scriptStatuses(e, {}, kDone);
         },
         STATUS_UNSUCCESSFUL, {5, 9, 5, 0, 4}, {}},
        {"SecondStatusStalled",
         [](ScriptedDeviceEnd& e) {
             acceptAlways(e, DFU_DNLOAD);
             stateAlways(e, dfuERROR);
             scriptStatuses(e, fiveAttempts({kBusy20, stalled()}, {kIdle}), kIdle);
         },
         STATUS_IO_TIMEOUT, {5, 14, 5, 5, 4}, repeat(20, 5)},
        {"PollStatusStalled",
         [](ScriptedDeviceEnd& e) {
             acceptAlways(e, DFU_DNLOAD);
             stateAlways(e, dfuERROR);
             // Resend: DfuSetIdle's status finds the device idle, then one more status.
             scriptStatuses(e, fiveAttempts({kBusy20, kBusy20, stalled()}, {kIdle, kIdle}),
                            kIdle);
         },
         STATUS_IO_TIMEOUT, {5, 23, 5, 5, 4}, repeat(20, 5)},
        {"NeverDone",
         [](ScriptedDeviceEnd& e) {
             acceptAlways(e, DFU_DNLOAD);
             scriptStatuses(e, {}, kBusy20);
         },
         // Per attempt: 2 statuses and 3 polls, each busy answer waited for. Between attempts
         // DfuSetIdle (ABORT, a status, three clear rounds) and one status.
         STATUS_IO_TIMEOUT, {5, 45, 0, 12, 4}, repeat(20, 20)},
    };
}

TEST(DfuSeSender, EachWayAnAttemptFailsIsRecoveredAndRetriedFiveTimes) {
    for (const FailureCase& c : failureCases()) {
        SCOPED_TRACE(c.name);
        auto harness = senderDevice(3);
        c.script(harness->script());
        EXPECT_EQ(setAddress(*harness), c.result);
        EXPECT_EQ(countsOf(*harness), c.counts);
        EXPECT_EQ(harness->delaysMs(), c.delays);
    }
}

TEST(DfuSeSender, BusyThenDoneCompletesAfterOneWait) {
    for (ULONG noPollWait : {0u, 1u}) {
        auto harness = senderDevice(75);
        harness->fdo()->STMBootloaderCommandNoPollWait = noPollWait;
        acceptAlways(harness->script(), DFU_DNLOAD);
        scriptStatuses(harness->script(), {kBusy20}, kDone);
        EXPECT_EQ(setAddress(*harness), STATUS_SUCCESS);
        EXPECT_EQ(countsOf(*harness), (Counts{1, 2, 0, 0, 0}));
        EXPECT_EQ(harness->delaysMs(), noPollWait ? repeat(20, 0) : repeat(20, 1));
    }
}

TEST(DfuSeSender, AnErrorWhilePollingEndsTheAttemptWithoutWaiting) {
    auto harness = senderDevice(75);
    acceptAlways(harness->script(), DFU_DNLOAD);
    scriptStatuses(harness->script(),
                   {kBusy20, kBusy20, answer(DFU_STATUS_errERASE, 0, dfuERROR), kIdle, kIdle,
                    kBusy20},
                   kDone);
    EXPECT_EQ(setAddress(*harness), STATUS_SUCCESS);
    EXPECT_EQ(harness->dfuRequests(),
              (std::vector<UCHAR>{DFU_DNLOAD, DFU_GETSTATUS, DFU_GETSTATUS, DFU_GETSTATUS,
                                  DFU_ABORT, DFU_GETSTATUS, DFU_GETSTATUS, DFU_DNLOAD,
                                  DFU_GETSTATUS, DFU_GETSTATUS}));
    EXPECT_EQ(harness->delaysMs(), repeat(20, 2));
}

// A count of 0, or one of 0x80000000 and above (a signed count below zero), leaves the
// second status as the only word on the command: done is success, anything else a failure.
TEST(DfuSeSender, WithoutPollsOnlyADoneSecondStatusSucceeds) {
    for (ULONG polls : {0u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << "polls 0x" << std::hex << polls);
        {
            auto harness = senderDevice(polls);
            acceptAlways(harness->script(), DFU_DNLOAD);
            scriptStatuses(harness->script(), {kBusy20}, kDone);
            EXPECT_EQ(setAddress(*harness), STATUS_SUCCESS);
            EXPECT_EQ(countsOf(*harness), (Counts{1, 2, 0, 0, 0}));
        }
        // (Only with 0 here: the recovery between attempts makes as many clear-status rounds
        // as the count says against a device that never becomes idle.)
        if (polls == 0) {
            auto harness = senderDevice(polls);
            acceptAlways(harness->script(), DFU_DNLOAD);
            scriptStatuses(harness->script(), {}, kBusy20);
            EXPECT_EQ(setAddress(*harness), STATUS_IO_TIMEOUT) << "still busy is no success";
            EXPECT_EQ(harness->count(DFU_DNLOAD), 5);
        }
        {
            // The model reports an address outside every segment as dfuERROR / errTARGET.
            DfuHarness model(presets::blankBootloader());
            model.fdo()->NumDfuBootIterBusyWaits = polls;
            EXPECT_NE(ST32DfuSetAddressPointer(model.device(), 0x00000000), STATUS_SUCCESS);
            EXPECT_EQ(ST32DfuSetAddressPointer(model.device(), 0x08000000), STATUS_SUCCESS);
            EXPECT_EQ(model.bootloader().addressPointer(), 0x08000000u);
        }
    }
}

TEST(DfuSeSender, AVanishedDeviceEndsTheCommandAtOnce) {
    auto harness = senderDevice(75);
    harness->script().disconnect();
    EXPECT_EQ(setAddress(*harness), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(countsOf(*harness), (Counts{1, 0, 0, 0, 0}));
}

TEST(DfuSeSender, WaitsTheWholeTwentyFourBitPollTimeout) {
    auto harness = senderDevice(75);
    acceptAlways(harness->script(), DFU_DNLOAD);
    scriptStatuses(harness->script(), {answer(0, 0x0F4240, dfuDNBUSY)}, kDone);
    EXPECT_EQ(setAddress(*harness), STATUS_SUCCESS);
    EXPECT_EQ(harness->delaysMs(), repeat(1000000, 1));
}

// Waiting out a device that is still busy after its command: each busy answer is waited for,
// and one that never stops is given up after eight polls, so that it cannot hold the caller.
TEST(DfuSeSender, WaitingWhileBusyGivesUpAfterEightPolls) {
    const struct {
        std::vector<StatusAnswer> first;
        StatusAnswer then;
        NTSTATUS result;
        int statuses;
        std::vector<std::uint64_t> delays;
    } rows[] = {
        {{kBusy20, kBusy20}, kDone, STATUS_SUCCESS, 3, repeat(20, 2)},
        {{}, kBusy20, STATUS_IO_TIMEOUT, 8, repeat(20, 8)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.statuses);
        auto harness = senderDevice(75);
        scriptStatuses(harness->script(), row.first, row.then);
        EXPECT_EQ(DfuWaitWhileBusy(harness->device()), row.result);
        EXPECT_EQ(harness->count(DFU_GETSTATUS), row.statuses);
        EXPECT_EQ(harness->delaysMs(), row.delays);
    }
}

TEST(DfuSeSender, ZeroLengthCommandIsRefusedWithoutTraffic) {
    auto harness = senderDevice(75);
    const UCHAR command = 0x41;
    EXPECT_EQ(ST32DfuSendBootloaderCommand(harness->device(), &command, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ST32DfuEraseSector(harness->device(), 0x08000000, 1), STATUS_INVALID_PARAMETER);
    harness->fdo()->ReadProtectState = 1;
    EXPECT_EQ(ST32DfuSendBootloaderCommand(harness->device(), &command, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(harness->traffic().empty());
}

TEST(DfuSeReadProtectedSender, ClearsUntilIdleAndNeverWaits) {
    auto harness = senderDevice(75);
    harness->fdo()->ReadProtectState = 1;
    acceptAlways(harness->script(), DFU_DNLOAD);
    scriptStatuses(harness->script(),
                   {answer(DFU_STATUS_errVENDOR, 50, dfuERROR),
                    answer(DFU_STATUS_errVENDOR, 50, dfuERROR)},
                   kIdle);
    EXPECT_EQ(setAddress(*harness), STATUS_SUCCESS);
    EXPECT_EQ(harness->dfuRequests(),
              (std::vector<UCHAR>{DFU_DNLOAD, DFU_GETSTATUS, DFU_CLRSTATUS, DFU_GETSTATUS,
                                  DFU_CLRSTATUS, DFU_GETSTATUS}));
    EXPECT_TRUE(harness->delaysMs().empty());
}

TEST(DfuSeReadProtectedSender, OneBudgetOfFiftyClearsForAllFiveAttempts) {
    auto harness = DfuHarness::scripted();
    harness->fdo()->ReadProtectState = 1;
    acceptAlways(harness->script(), DFU_DNLOAD);
    acceptAlways(harness->script(), DFU_CLRSTATUS);
    // A device in error refuses ABORT, so each DfuSetIdle after an attempt ends at once.
    harness->script().script(requestMatcher(kClassOut, DFU_ABORT), ScriptedReply::stall(), -1);
    scriptStatuses(harness->script(), {}, answer(DFU_STATUS_errVENDOR, 0, dfuERROR));
    EXPECT_EQ(setAddress(*harness), STATUS_IO_TIMEOUT);
    EXPECT_EQ(countsOf(*harness), (Counts{5, 55, 0, 50, 5}));
}

TEST(DfuSeCommands, CarryTheirBytes) {
    struct Case {
        const char* name;
        std::function<NTSTATUS(WDFDEVICE)> send;
        Bytes bytes;
    };
    const Case cases[] = {
        {"SetAddress", [](WDFDEVICE d) { return ST32DfuSetAddressPointer(d, 0x1FFFC000); },
         {0x21, 0x00, 0xC0, 0xFF, 0x1F}},
        {"ErasePage", [](WDFDEVICE d) { return ST32DfuEraseSector(d, 0x0800F800, 0); },
         {0x41, 0x00, 0xF8, 0x00, 0x08}},
        {"MassErase", [](WDFDEVICE d) { return ST32DfuMassEraseDevice(d); }, {0x41}},
        {"ReadUnprotect", [](WDFDEVICE d) { return ST32DfuReadUnprotect(d); }, {0x92}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto harness = senderDevice(75);
        acceptAlways(harness->script(), DFU_DNLOAD);
        scriptStatuses(harness->script(), {kBusy20}, kDone);
        EXPECT_EQ(c.send(harness->device()), STATUS_SUCCESS);
        const auto traffic = harness->traffic();
        ASSERT_FALSE(traffic.empty());
        EXPECT_EQ(traffic[0].setup[1], DFU_DNLOAD);
        EXPECT_EQ(traffic[0].setup[2], 0) << "block number 0 carries a command";
        EXPECT_EQ(traffic[0].data, c.bytes);
    }
}

TEST(DfuSeCommands, SupportedCommandsKeepTheBytesTheDeviceDidNotSend) {
    struct Case {
        Bytes answer;
        Bytes expected;
    };
    for (const Case& c : {Case{{0x00, 0x21, 0x41, 0x92}, {0x00, 0x21, 0x41, 0x92}},
                          Case{{0x00, 0x21}, {0x00, 0x21, 0xFF, 0xFF}}}) {
        auto harness = DfuHarness::scripted();
        harness->script().script(requestMatcher(kClassIn, DFU_UPLOAD),
                                 ScriptedReply::answer(c.answer), 1);
        UCHAR buffer[4] = {0x55, 0x55, 0x55, 0x55};
        EXPECT_EQ(ST32DfuGetBootloaderCommandsSupported(harness->device(), buffer, 4),
                  STATUS_SUCCESS);
        EXPECT_EQ(Bytes(buffer, buffer + 4), c.expected);
    }
    auto harness = DfuHarness::scripted();
    UCHAR small[3];
    EXPECT_EQ(ST32DfuGetBootloaderCommandsSupported(harness->device(), small, 3),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(harness->traffic().empty());
}

// Against the bootloader model: a page erase is announced, waited for and done.
TEST(DfuSeWithBootloader, ErasePageWaitsTheAnnouncedTimeAndErasesExactlyThatPage) {
    DfuHarness harness;
    sim::Bootloader& rom = harness.bootloader();
    const std::vector<std::uint8_t> pattern(32, 0x5A);
    rom.write(0x08004000 - 16, pattern);
    rom.write(0x08004000, pattern);
    rom.write(0x08008000, pattern);
    ASSERT_EQ(DfuSetIdle(harness.device()), STATUS_SUCCESS);
    harness.clear();

    ASSERT_EQ(ST32DfuEraseSector(harness.device(), 0x08004000, 0), STATUS_SUCCESS);
    EXPECT_EQ(countsOf(harness), (Counts{1, 2, 0, 0, 0}));
    EXPECT_EQ(harness.delaysMs(), repeat(100, 1));
    EXPECT_EQ(rom.read(0x08004000, 32), std::vector<std::uint8_t>(32, 0xFF));
    EXPECT_EQ(rom.read(0x08004000 - 16, 16), std::vector<std::uint8_t>(16, 0x5A));
    EXPECT_EQ(rom.read(0x08008000, 32), pattern);
}

}  // namespace
}  // namespace ostdfu_test
