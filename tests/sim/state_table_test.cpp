// Every DFU state against every class request: the answer, the state after it and the status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/bootloader.h"
#include "sim/dfu_types.h"
#include "sim_test_host.h"

namespace {

using host::TransferStatus;
using sim::DfuState;
using sim::DfuStatus;
using simtest::addressBytes;
using simtest::DfuHost;
using simtest::FakeClock;

enum class Request { Detach, Dnload, DnloadEmpty, Upload, GetStatus, ClrStatus, GetState, Abort };

const char* name(Request r) {
    static const char* names[] = {"DETACH", "DNLOAD", "DNLOAD(0)", "UPLOAD", "GETSTATUS", "CLRSTATUS", "GETSTATE", "ABORT"};
    return names[static_cast<int>(r)];
}

TransferStatus send(DfuHost& host, Request r) {
    switch (r) {
    case Request::Detach:
        return host.detach();
    case Request::Dnload:
        return host.dnload(0, addressBytes(0x21, 0x08000000));
    case Request::DnloadEmpty:
        return host.dnload(0, {});
    case Request::Upload:
        return host.upload(2, 16).first;
    case Request::GetStatus:
        return host.getStatus().result;
    case Request::ClrStatus:
        return host.clrStatus();
    case Request::GetState:
        return host.getState() == 0xEE ? TransferStatus::Stalled : TransferStatus::Completed;
    case Request::Abort:
        return host.abort();
    }
    return TransferStatus::Stalled;
}

// Brings a fresh device into `state` through its own traffic where the ROM can get there.
void enter(sim::Bootloader& device, DfuHost& host, DfuState state) {
    switch (state) {
    case DfuState::DfuIdle:
        break;
    case DfuState::DnloadSync:
        host.dnload(0, addressBytes(0x41, 0x08000000));  // a page erase: 100 ms of work once started
        break;
    case DfuState::DnBusy:
        host.dnload(0, addressBytes(0x41, 0x08000000));
        host.getStatus();  // the clock stands still, so the erase never ends
        break;
    case DfuState::DnloadIdle:
        host.dnload(0, addressBytes(0x21, 0x08000000));
        host.getStatus();
        host.getStatus();
        break;
    case DfuState::ManifestSync:
        host.dnload(0, {});
        break;
    case DfuState::Manifest:  // needs Quirks::stayInManifest
        host.dnload(0, {});
        host.getStatus();
        break;
    case DfuState::UploadIdle:
        host.upload(2, 16);
        break;
    case DfuState::Error:  // a set-address outside memory leaves errTARGET
        host.dnload(0, addressBytes(0x21, 0x30000000));
        host.getStatus();
        host.getStatus();
        break;
    default:
        device.forceState(state, DfuStatus::Ok);
        break;
    }
    ASSERT_EQ(device.state(), state);
}

struct Outcome {
    TransferStatus answer;
    DfuState next;
    DfuStatus status;
};

constexpr auto C = TransferStatus::Completed;
constexpr auto S = TransferStatus::Stalled;
using enum DfuState;
constexpr auto Ok = DfuStatus::Ok;
constexpr auto Pkt = DfuStatus::ErrStalledPkt;

constexpr Outcome answered(DfuState next) { return {C, next, Ok}; }
constexpr Outcome ignored(DfuState stays) { return {S, stays, Ok}; }  // stalled, no state change
constexpr Outcome toError{S, Error, Pkt};
constexpr Outcome keepsError{S, Error, DfuStatus::ErrTarget};  // dfuERROR keeps its status until CLRSTATUS
constexpr Outcome outOfTurn{C, Error, DfuStatus::ErrUnknown};  // CLRSTATUS outside dfuERROR

struct Row {
    DfuState state;
    Outcome detach, dnload, dnloadEmpty, upload, getStatus, clrStatus, getState, abort;
};

// DETACH answers and re-enumerates in the idle-like states, so the device is back in dfuIDLE.
// A request that reaches dfuDNBUSY waits for the work to end and is then taken in
// dfuDNLOAD-SYNC, with the block done.
const Row kTable[] = {
    {AppIdle, answered(AppDetach), ignored(AppIdle), ignored(AppIdle), ignored(AppIdle), answered(AppIdle),
     ignored(AppIdle), answered(AppIdle), answered(AppIdle)},
    {AppDetach, ignored(AppDetach), ignored(AppDetach), ignored(AppDetach), ignored(AppDetach), answered(AppDetach),
     ignored(AppDetach), answered(AppDetach), answered(AppDetach)},
    {DfuIdle, answered(DfuIdle), answered(DnloadSync), answered(ManifestSync), answered(UploadIdle), answered(DfuIdle),
     outOfTurn, answered(DfuIdle), answered(DfuIdle)},
    {DnloadSync, answered(DfuIdle), toError, toError, toError, answered(DnBusy),
     outOfTurn, answered(DnloadSync), answered(DfuIdle)},
    {DnBusy, answered(DfuIdle), toError, toError, toError, answered(DnloadIdle),
     outOfTurn, answered(DnloadSync), answered(DfuIdle)},
    {DnloadIdle, answered(DfuIdle), answered(DnloadSync), answered(ManifestSync), toError, answered(DnloadIdle),
     outOfTurn, answered(DnloadIdle), answered(DfuIdle)},
    {ManifestSync, answered(DfuIdle), toError, toError, toError, answered(Manifest),
     outOfTurn, answered(ManifestSync), answered(DfuIdle)},
    {Manifest, toError, toError, toError, toError, answered(Manifest),
     outOfTurn, answered(Manifest), answered(Manifest)},
    {ManifestWaitReset, ignored(ManifestWaitReset), ignored(ManifestWaitReset), ignored(ManifestWaitReset),
     ignored(ManifestWaitReset), answered(ManifestWaitReset), ignored(ManifestWaitReset), answered(ManifestWaitReset),
     answered(ManifestWaitReset)},
    {UploadIdle, answered(DfuIdle), toError, toError, answered(UploadIdle), answered(UploadIdle),
     outOfTurn, answered(UploadIdle), answered(DfuIdle)},
    {Error, keepsError, keepsError, keepsError, keepsError, {C, Error, DfuStatus::ErrTarget},
     answered(DfuIdle), {C, Error, DfuStatus::ErrTarget}, {C, Error, DfuStatus::ErrTarget}},
};

// Where a quirk changes the table.
struct Change {
    DfuState state;
    Request request;
    Outcome outcome;
};

struct Mode {
    const char* name;
    void (*apply)(sim::Quirks&);
    std::vector<Change> changes;
};

const Mode kModes[] = {
    {"ST stack", [](sim::Quirks&) {}, {}},
    {"DFU 1.1 strict",
     [](sim::Quirks& q) {
         q.strictAbort = true;
         q.strictClrStatus = true;
     },
     {{AppIdle, Request::Abort, ignored(AppIdle)},
      {AppDetach, Request::Abort, ignored(AppDetach)},
      {DnloadSync, Request::Abort, toError},
      {DnBusy, Request::Abort, toError},  // taken in dfuDNLOAD-SYNC once the work is done
      {ManifestSync, Request::Abort, toError},
      {Manifest, Request::Abort, toError},
      {ManifestWaitReset, Request::Abort, ignored(ManifestWaitReset)},
      {Error, Request::Abort, keepsError},
      {DfuIdle, Request::ClrStatus, toError},
      {DnloadSync, Request::ClrStatus, toError},
      {DnBusy, Request::ClrStatus, toError},
      {DnloadIdle, Request::ClrStatus, toError},
      {ManifestSync, Request::ClrStatus, toError},
      {Manifest, Request::ClrStatus, toError},
      {UploadIdle, Request::ClrStatus, toError}}},
    {"answers while busy",
     [](sim::Quirks& q) { q.answersWhileBusy = true; },
     {{DnBusy, Request::Detach, toError},
      {DnBusy, Request::GetStatus, answered(DnBusy)},
      {DnBusy, Request::ClrStatus, outOfTurn},
      {DnBusy, Request::GetState, answered(DnBusy)},
      {DnBusy, Request::Abort, answered(DnBusy)}}},
};

TEST(StateTable, EveryStateAgainstEveryRequest) {
    for (const Mode& mode : kModes) {
        for (const Row& row : kTable) {
            const Outcome outcomes[] = {row.detach,    row.dnload,    row.dnloadEmpty, row.upload,
                                        row.getStatus, row.clrStatus, row.getState,    row.abort};
            for (int r = 0; r < 8; ++r) {
                const auto request = static_cast<Request>(r);
                Outcome expected = outcomes[r];
                for (const Change& change : mode.changes) {
                    if (change.state == row.state && change.request == request) expected = change.outcome;
                }
                SCOPED_TRACE(std::string(mode.name) + ": " + std::string(sim::stateName(row.state)) + " + " + name(request));
                FakeClock clock;
                sim::BootloaderConfig config;
                config.quirks.stayInManifest = true;  // lets dfuMANIFEST be entered and left on the next poll
                mode.apply(config.quirks);
                sim::Bootloader device(config, clock);
                DfuHost host(device);
                enter(device, host, row.state);
                EXPECT_EQ(send(host, request), expected.answer);
                EXPECT_EQ(device.state(), expected.next) << sim::stateName(device.state());
                EXPECT_EQ(device.status(), expected.status) << sim::statusName(device.status());
            }
        }
    }
}

TEST(StateTable, GetStatusReportsTheStateEnteredAfterTheReply) {
    FakeClock clock;
    sim::Bootloader device(sim::BootloaderConfig{}, clock);
    DfuHost host(device);
    host.dnload(0, addressBytes(0x41, 0x08000000));
    EXPECT_EQ(host.getState(), 3);
    const simtest::Status busy = host.getStatus();
    EXPECT_EQ(busy.state, 4);
    EXPECT_EQ(busy.pollMs, 100u);
    clock.advanceMs(100);
    EXPECT_EQ(host.getState(), 3) << "dfuDNBUSY ends by itself, in dfuDNLOAD-SYNC";
    const simtest::Status done = host.getStatus();
    EXPECT_EQ(done.state, 5);
    EXPECT_EQ(done.pollMs, 0u);
    EXPECT_EQ(host.getState(), 5);
}

TEST(StateTable, RequestsWithTheWrongDirectionOrCodeAreStalled) {
    FakeClock clock;
    sim::Bootloader device(sim::BootloaderConfig{}, clock);
    DfuHost host(device);
    EXPECT_EQ(host.in(1, 0, 5).first.status, S) << "DNLOAD as an IN request";
    EXPECT_EQ(device.state(), Error);
    EXPECT_EQ(host.clrStatus(), C);
    EXPECT_EQ(host.out(7, 0).status, S) << "no DFU request 7";
    EXPECT_EQ(device.state(), Error);
}

}  // namespace
