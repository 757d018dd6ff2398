// The seven DFU requests on the wire, and the two recoveries to dfuIDLE from every state.
#include <gtest/gtest.h>

#include <functional>

#include "dfu/dfu_requests.h"
#include "tests/dfu/dfu_test_support.h"
#include "tests/support/dfu_harness.h"

namespace ostdfu_test {
namespace {

struct RequestCase {
    const char* name;
    std::function<NTSTATUS(WDFDEVICE)> send;
    Bytes setup;
};

const UCHAR kCommand[5] = {0x21, 0x00, 0x00, 0x00, 0x08};

std::vector<RequestCase> requestCases() {
    return {
        {"Detach", [](WDFDEVICE d) { return DfuDetach(d, 255); },
         {0x21, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"DnloadCommand", [](WDFDEVICE d) { return DfuDnload(d, kCommand, 5, 0); },
         {0x21, 0x01, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00}},
        {"DnloadZeroLength", [](WDFDEVICE d) { return DfuDnload(d, nullptr, 0, 0); },
         {0x21, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"Upload",
         [](WDFDEVICE d) {
             UCHAR buffer[16];
             ULONG received = 0;
             return DfuUpload(d, buffer, sizeof(buffer), 2, &received);
         },
         {0xA1, 0x02, 0x02, 0x00, 0x00, 0x00, 0x10, 0x00}},
        {"GetStatus",
         [](WDFDEVICE d) {
             DfuStatusReply reply;
             reply.clear();
             return DfuGetStatus(d, &reply, nullptr);
         },
         {0xA1, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00}},
        {"ClrStatus", [](WDFDEVICE d) { return DfuClrStatus(d); },
         {0x21, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {"GetState",
         [](WDFDEVICE d) {
             UCHAR state = 0;
             return DfuGetState(d, &state);
         },
         {0xA1, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}},
        {"Abort", [](WDFDEVICE d) { return DfuAbort(d); },
         {0x21, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
    };
}

TEST(DfuRequests, EachIsOneClassRequestToTheDfuInterface) {
    for (const RequestCase& c : requestCases()) {
        SCOPED_TRACE(c.name);
        auto harness = DfuHarness::scripted();
        harness->script().script(
            [](const host::SetupPacket& s) { return (s.bmRequestType & 0x60) == 0x20; },
            ScriptedReply::answer(statusReply(0, 0, dfuIDLE)), -1);
        EXPECT_EQ(c.send(harness->device()), STATUS_SUCCESS);
        const auto traffic = harness->traffic();
        ASSERT_EQ(traffic.size(), 1u);
        EXPECT_EQ(Bytes(traffic[0].setup.begin(), traffic[0].setup.end()), c.setup);
        EXPECT_EQ(harness->script().transfers().back().timeoutMs, 500u);
    }
}

TEST(DfuRequests, WithoutADfuInterfaceNothingIsSent) {
    for (const RequestCase& c : requestCases()) {
        SCOPED_TRACE(c.name);
        auto harness = DfuHarness::scripted();
        harness->fdo()->DfuInterfaceDescriptor = nullptr;
        EXPECT_EQ(c.send(harness->device()), STATUS_INVALID_DEVICE_STATE);
        EXPECT_TRUE(harness->traffic().empty());
    }
    auto harness = DfuHarness::scripted();
    harness->fdo()->DfuInterfaceDescriptor = nullptr;
    EXPECT_EQ(DfuSetIdle(harness->device()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(EnsureDfuIDLE(harness->device()), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(harness->traffic().empty());
}

TEST(DfuRequests, PollTimeoutIsTheTwentyFourBitWordOfTheReply) {
    auto harness = DfuHarness::scripted();
    scriptStatuses(harness->script(), {}, answer(0, 10000, dfuDNBUSY));
    DfuStatusReply reply;
    reply.clear();
    ULONG pollTimeout = 0;
    ASSERT_EQ(DfuGetStatus(harness->device(), &reply, &pollTimeout), STATUS_SUCCESS);
    EXPECT_EQ(reply.bytes[1], 0x10);
    EXPECT_EQ(reply.bytes[2], 0x27);
    EXPECT_EQ(pollTimeout, 10000u);
}

TEST(DfuRequests, UploadReportsTheBytesTheDeviceSent) {
    auto harness = DfuHarness::scripted();
    harness->script().script(requestMatcher(kClassIn, DFU_UPLOAD),
                             ScriptedReply::answer({1, 2, 3}), 1);
    UCHAR buffer[16] = {};
    ULONG received = 99;
    ASSERT_EQ(DfuUpload(harness->device(), buffer, sizeof(buffer), 2, &received), STATUS_SUCCESS);
    EXPECT_EQ(received, 3u);
}

TEST(DfuNames, UnknownCodesHaveAName) {
    EXPECT_STREQ(DfuStateName(dfuERROR), "dfuERROR");
    EXPECT_STREQ(DfuStateName(11), "unknown");
    EXPECT_STREQ(DfuStatusName(0), "dfu_OK");
    EXPECT_STREQ(DfuStatusName(15), "errSTALLEDPKT");
    EXPECT_STREQ(DfuStatusName(16), "unknown");
}

// ---- recovery against the bootloader model, from every state ---------------------------------

struct StateCase {
    UCHAR state;
    NTSTATUS setIdle;
    std::vector<UCHAR> setIdleRequests;
    NTSTATUS ensureIdle;
    std::vector<UCHAR> ensureIdleRequests;
};

// ABORT then every clear-status round DfuSetIdle has (75), none of which reaches dfuIDLE.
std::vector<UCHAR> abortThenEveryRound() {
    std::vector<UCHAR> requests = {DFU_ABORT, DFU_GETSTATUS};
    for (int round = 0; round < 75; ++round) {
        requests.push_back(DFU_CLRSTATUS);
        requests.push_back(DFU_GETSTATUS);
    }
    return requests;
}

// ABORT brings the device back from the idle and synchronisation states; an error is
// acknowledged and then cleared by the clear-status rounds; EnsureDfuIDLE clears an error
// directly. A device that answers as ST's stack does acknowledges ABORT in the manifestation
// states without leaving them, so DfuSetIdle spends its rounds and gives up (from dfuMANIFEST
// the device leaves after the first status, and the first request that finds it gone ends the
// rounds); one that never ends its work answers nothing.
std::vector<StateCase> stateCases() {
    const std::vector<UCHAR> abortOnly = {DFU_ABORT};
    const std::vector<UCHAR> abortStatus = {DFU_ABORT, DFU_GETSTATUS};
    const std::vector<UCHAR> getState = {DFU_GETSTATE};
    const std::vector<UCHAR> abortBetween = {DFU_GETSTATE, DFU_ABORT, DFU_GETSTATE};
    return {
        {dfuIDLE, STATUS_SUCCESS, abortStatus, STATUS_SUCCESS, getState},
        {dfuDNLOAD_SYNC, STATUS_SUCCESS, abortStatus, STATUS_SUCCESS, abortBetween},
        {dfuDNBUSY, STATUS_UNSUCCESSFUL, abortOnly, STATUS_IO_TIMEOUT, getState},
        {dfuDNLOAD_IDLE, STATUS_SUCCESS, abortStatus, STATUS_SUCCESS, abortBetween},
        {dfuMANIFEST_SYNC, STATUS_SUCCESS, abortStatus, STATUS_SUCCESS, abortBetween},
        {dfuMANIFEST, STATUS_UNSUCCESSFUL, {DFU_ABORT, DFU_GETSTATUS, DFU_CLRSTATUS}, STATUS_INVALID_DEVICE_STATE,
         getState},
        {dfuMANIFEST_WAIT_RESET, STATUS_UNSUCCESSFUL, abortThenEveryRound(), STATUS_INVALID_DEVICE_STATE,
         getState},
        {dfuUPLOAD_IDLE, STATUS_SUCCESS, abortStatus, STATUS_SUCCESS, abortBetween},
        {dfuERROR, STATUS_SUCCESS, {DFU_ABORT, DFU_GETSTATUS, DFU_CLRSTATUS, DFU_GETSTATUS},
         STATUS_SUCCESS, {DFU_GETSTATE, DFU_CLRSTATUS, DFU_GETSTATE}},
    };
}

// DFU 1.1's strict table, with dfuDNBUSY answered while the device works: ABORT is refused
// everywhere but in the idle states, and then DfuSetIdle gives up at once; EnsureDfuIDLE, which
// aborts the synchronisation states, fails there too.
std::vector<StateCase> strictStateCases() {
    std::vector<StateCase> cases = stateCases();
    for (StateCase& c : cases) {
        const bool idle = c.state == dfuIDLE || c.state == dfuDNLOAD_IDLE || c.state == dfuUPLOAD_IDLE;
        if (!idle) {
            c.setIdle = STATUS_UNSUCCESSFUL;
            c.setIdleRequests = {DFU_ABORT};
        }
        if (c.state == dfuDNBUSY) c.ensureIdle = STATUS_INVALID_DEVICE_STATE;
        if (c.state == dfuDNLOAD_SYNC || c.state == dfuMANIFEST_SYNC) {
            c.ensureIdle = STATUS_UNSUCCESSFUL;
            c.ensureIdleRequests = {DFU_GETSTATE, DFU_ABORT};
        }
    }
    return cases;
}

void runStateCases(const std::vector<StateCase>& cases, const sim::BootloaderConfig& config) {
    for (const StateCase& c : cases) {
        SCOPED_TRACE(DfuStateName(c.state));
        {
            DfuHarness harness(config);
            harness.bootloader().forceState(static_cast<sim::DfuState>(c.state),
                                            sim::DfuStatus::Ok);
            EXPECT_EQ(DfuSetIdle(harness.device()), c.setIdle);
            EXPECT_EQ(harness.dfuRequests(), c.setIdleRequests);
        }
        {
            DfuHarness harness(config);
            harness.bootloader().forceState(static_cast<sim::DfuState>(c.state),
                                            sim::DfuStatus::Ok);
            EXPECT_EQ(EnsureDfuIDLE(harness.device()), c.ensureIdle);
            EXPECT_EQ(harness.dfuRequests(), c.ensureIdleRequests);
        }
    }
}

TEST(DfuRecovery, FromEveryStateOfTheBootloader) { runStateCases(stateCases(), {}); }

TEST(DfuRecovery, FromEveryStateOfAStrictBootloader) {
    sim::BootloaderConfig config;
    config.quirks.strictAbort = true;
    config.quirks.strictClrStatus = true;
    config.quirks.answersWhileBusy = true;
    runStateCases(strictStateCases(), config);
}

// The limit is the administrator's up to the ceiling of rounds; beyond it (a count no device
// needs, 0x7FFFFFFF, or one that reads as negative) the rounds stop at the ceiling, and a device
// that would only come back later is reported.
TEST(DfuSetIdle, ClearsUntilIdleWithinTheLimit) {
    struct Case {
        ULONG limit;
        int errorsBeforeIdle;
        NTSTATUS result;
        int clears;
    };
    const int ceiling = static_cast<int>(DFU_SET_IDLE_MAX_ROUNDS);
    for (const Case& c : {Case{75, 0, STATUS_SUCCESS, 0}, Case{75, 3, STATUS_SUCCESS, 3},
                          Case{3, 3, STATUS_SUCCESS, 3}, Case{2, 3, STATUS_UNSUCCESSFUL, 2},
                          Case{0, 1, STATUS_UNSUCCESSFUL, 0}, Case{0, 0, STATUS_SUCCESS, 0},
                          Case{DFU_SET_IDLE_MAX_ROUNDS, ceiling, STATUS_SUCCESS, ceiling},
                          Case{DFU_SET_IDLE_MAX_ROUNDS + 1, 5000, STATUS_UNSUCCESSFUL, ceiling},
                          Case{0x7FFFFFFF, 5000, STATUS_UNSUCCESSFUL, ceiling},
                          Case{0x80000000, 5000, STATUS_UNSUCCESSFUL, ceiling},
                          Case{0xFFFFFFFF, 5000, STATUS_UNSUCCESSFUL, ceiling},
                          Case{0xFFFFFFFF, 3, STATUS_SUCCESS, 3}}) {
        SCOPED_TRACE(testing::Message() << "limit " << c.limit << ", errors " << c.errorsBeforeIdle);
        auto harness = DfuHarness::scripted();
        harness->fdo()->NumDfuBootIterBusyWaits = c.limit;
        acceptAlways(harness->script(), DFU_ABORT);
        acceptAlways(harness->script(), DFU_CLRSTATUS);
        if (c.errorsBeforeIdle > 0) {
            harness->script().script(requestMatcher(kClassIn, DFU_GETSTATUS),
                                     ScriptedReply::answer(statusReply(DFU_STATUS_errTARGET, 0, dfuERROR)),
                                     c.errorsBeforeIdle);
        }
        scriptStatuses(harness->script(), {}, answer(0, 0, dfuIDLE));
        EXPECT_EQ(DfuSetIdle(harness->device()), c.result);
        EXPECT_EQ(harness->count(DFU_CLRSTATUS), c.clears);
        EXPECT_EQ(harness->count(DFU_GETSTATUS), c.clears + 1);
        EXPECT_EQ(harness->count(DFU_ABORT), 1);
    }
}

// A device that leaves the bus in the middle of the rounds ends them with its first request that
// finds it gone: nothing is sent after it.
TEST(DfuSetIdle, StopsAtTheFirstRequestAfterTheDeviceLeft) {
    struct Case {
        const char* name;
        sim::FaultRequest request;
        std::uint32_t nth;
        std::vector<UCHAR> requests;
    };
    const std::vector<Case> cases = {
        {"at the first status", sim::FaultRequest::GetStatus, 1, {DFU_ABORT, DFU_GETSTATUS}},
        {"at the second clear", sim::FaultRequest::ClrStatus, 2,
         {DFU_ABORT, DFU_GETSTATUS, DFU_CLRSTATUS, DFU_GETSTATUS, DFU_CLRSTATUS}},
        {"at the third status", sim::FaultRequest::GetStatus, 3,
         {DFU_ABORT, DFU_GETSTATUS, DFU_CLRSTATUS, DFU_GETSTATUS, DFU_CLRSTATUS, DFU_GETSTATUS}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DfuHarness harness;
        harness.bootloader().forceState(sim::DfuState::Error, sim::DfuStatus::ErrTarget);
        harness.bootloader().addFault({c.request, c.nth, 1, sim::FaultAction::Unplug, {}});
        // An error no clear-status removes.
        harness.bootloader().addFault({sim::FaultRequest::GetStatus, 1, 0, sim::FaultAction::Reply,
                                       statusReply(DFU_STATUS_errTARGET, 0, dfuERROR)});
        EXPECT_EQ(DfuSetIdle(harness.device()), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(harness.dfuRequests(), c.requests);
    }
}

TEST(DfuSetIdle, AFailedStatusCountsAsNotIdleYet) {
    auto harness = DfuHarness::scripted();
    acceptAlways(harness->script(), DFU_ABORT);
    acceptAlways(harness->script(), DFU_CLRSTATUS);
    scriptStatuses(harness->script(), {stalled()}, answer(0, 0, dfuIDLE));
    EXPECT_EQ(DfuSetIdle(harness->device()), STATUS_SUCCESS);
    EXPECT_EQ(harness->dfuRequests(),
              (std::vector<UCHAR>{DFU_ABORT, DFU_GETSTATUS, DFU_CLRSTATUS, DFU_GETSTATUS}));
}

}  // namespace
}  // namespace ostdfu_test
