// The driver against every misbehaviour the bootloader model can put on: what an arrival, a
// mass erase, an option-byte read and the read-protection test give, and where the device is
// left. A product-41 device, which the driver identifies by its identity record.
#include <gtest/gtest.h>

#include <functional>

#include "client/updater.h"
#include "dfu/device_memory.h"
#include "dfu/dfu_requests.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace ostdfu_test {
namespace {

using sim::DfuState;

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kTimeout = STATUS_IO_TIMEOUT;

struct QuirkRow {
    const char* name;
    std::function<void(sim::Quirks&)> apply;
    bool identified;         // the arrival found the product's identity record
    NTSTATUS massErase;
    DfuState afterErase;
    NTSTATUS optionBytes;    // a 16-byte read right after the erase
    NTSTATUS protectionTest;
    DfuState atEnd;
};

// With pollTimeoutShorterThanBusy a mass erase announces 100 ms and takes 8 s: every status the
// driver sends meanwhile runs out of its 500 ms, the erase is reported as timed out, and so is
// the option-byte read that meets the still-busy device. Under DFU 1.1's strict ABORT the
// driver's recoveries cannot leave dfuERROR: the arrival falls back to the descriptor's identity
// and the protection test fails. A device that keeps answering dfuDNBUSY after its work is
// polled by the protection test until it is done.
const QuirkRow kQuirks[] = {
    {"none", [](sim::Quirks&) {}, true, kOk, DfuState::DnloadIdle, kOk, kOk, DfuState::DfuIdle},
    {"firstStatusFirmwareError", [](sim::Quirks& q) { q.firstStatusFirmwareError = true; }, true, kOk,
     DfuState::DnloadIdle, kOk, kOk, DfuState::DfuIdle},
    {"stallStatusWhileBusy", [](sim::Quirks& q) { q.stallStatusWhileBusy = true; }, true, kOk, DfuState::DnloadIdle,
     kOk, kOk, DfuState::DfuIdle},
    {"pollTimeoutShorterThanBusy", [](sim::Quirks& q) { q.pollTimeoutShorterThanBusy = true; }, true, kTimeout,
     DfuState::DnBusy, kTimeout, kOk, DfuState::DfuIdle},
    {"extraBusyReplies", [](sim::Quirks& q) { q.extraBusyReplies = 2; }, true, kOk, DfuState::DnloadIdle, kOk, kOk,
     DfuState::DfuIdle},
    {"answersWhileBusy", [](sim::Quirks& q) { q.answersWhileBusy = true; }, true, kOk, DfuState::DnloadIdle, kOk,
     kOk, DfuState::DfuIdle},
    {"answersWhileBusy, pollTimeoutShorterThanBusy",
     [](sim::Quirks& q) {
         q.answersWhileBusy = true;
         q.pollTimeoutShorterThanBusy = true;
     },
     true, kTimeout, DfuState::DnBusy, kOk, kOk, DfuState::DfuIdle},
    {"answersWhileBusy, stallStatusWhileBusy",
     [](sim::Quirks& q) {
         q.answersWhileBusy = true;
         q.stallStatusWhileBusy = true;
     },
     true, kOk, DfuState::DnloadIdle, kOk, kOk, DfuState::DfuIdle},
    {"strictAbort", [](sim::Quirks& q) { q.strictAbort = true; }, false, kOk, DfuState::DnloadIdle, kOk,
     STATUS_UNSUCCESSFUL, DfuState::Error},
    {"strictClrStatus", [](sim::Quirks& q) { q.strictClrStatus = true; }, true, kOk, DfuState::DnloadIdle, kOk, kOk,
     DfuState::DfuIdle},
};

TEST(BootloaderQuirks, WhatTheDriverMakesOfEachMisbehaviour) {
    for (const QuirkRow& row : kQuirks) {
        SCOPED_TRACE(row.name);
        sim::BootloaderConfig config = presets::presetFor(41);
        row.apply(config.quirks);
        ArrivalHarness h;
        Arrived d = h.plug(config);
        ASSERT_NE(d.context(), nullptr);
        EXPECT_EQ(d.context()->PrepareHardwareDone, 1u);
        EXPECT_EQ(d.context()->AppPid, row.identified ? 0x5029u : 0xDF11u);
        EXPECT_EQ(d.context()->ReadProtectState, 0u);
        auto opened = client::open();
        ASSERT_EQ(opened.status, kOk);

        EXPECT_EQ(client::MassErase(opened.handle).status, row.massErase);
        EXPECT_EQ(d.rom->state(), row.afterErase) << sim::stateName(d.rom->state());
        const client::BytesReply optionBytes = client::ReadOptionBytes(opened.handle, 16);
        EXPECT_EQ(optionBytes.status, row.optionBytes);
        if (NT_SUCCESS(optionBytes.status)) {
            EXPECT_EQ(optionBytes.bytes, d.rom->read(0x1FFFF800, 16));
        }
        UCHAR isProtected = 0xEE;
        EXPECT_EQ(IsST32DeviceReadProtected(d.device(), 1, &isProtected), row.protectionTest);
        if (NT_SUCCESS(row.protectionTest)) {
            EXPECT_EQ(isProtected, 0);
        }
        EXPECT_EQ(d.rom->state(), row.atEnd) << sim::stateName(d.rom->state());
    }
}

// The driver's leave ends with the zero-length download and sends no status after it, so the
// quirks of the status that follows a leave never come into play: the device waits in
// dfuMANIFEST-SYNC for a status that would start its application.
TEST(BootloaderQuirks, LeaveStopsShortOfTheStatusTheLeaveQuirksChange) {
    for (const auto apply : {+[](sim::Quirks& q) { q.stayInManifest = true; },
                             +[](sim::Quirks& q) { q.disconnectBeforeLeaveStatus = true; }}) {
        sim::BootloaderConfig config = presets::presetFor(41);
        apply(config.quirks);
        ArrivalHarness h;
        Arrived d = h.plug(config);
        auto opened = client::open();
        EXPECT_EQ(client::Leave(opened.handle).status, kOk);
        EXPECT_EQ(d.rom->presence(), sim::Presence::Attached);
        EXPECT_EQ(d.rom->state(), DfuState::ManifestSync);
    }
}

// The product-41 device, arrived with one value of the Parameters key set.
Arrived plugWithParameter(ArrivalHarness& h, const std::u16string& name, ULONG value) {
    h.driver().setParameters({{name, RegValue::dword(value)}});
    return h.plug(presets::presetFor(41));
}

// A device that works through the completion of its busy status needs no waiting: the second
// status is simply answered when the erase is done.
TEST(BootloaderQuirks, MassEraseWithoutPollWaitIsOneDownloadAndTwoStatuses) {
    ArrivalHarness h;
    Arrived d = plugWithParameter(h, u"STMBootloaderCommandNoPollWait", 1);
    ASSERT_EQ(d.context()->STMBootloaderCommandNoPollWait, 1u);
    auto opened = client::open();
    d.rom->write(0x08000000, std::vector<std::uint8_t>{1, 2, 3});
    d.rom->clearTransfers();
    h.machine().waits().clear();

    EXPECT_EQ(client::MassErase(opened.handle).status, kOk);
    std::vector<std::uint8_t> requests;
    for (const sim::TransferRecord& t : d.rom->transfers()) {
        EXPECT_EQ(t.result, host::TransferStatus::Completed);
        requests.push_back(t.bRequest());
    }
    EXPECT_EQ(requests, (std::vector<std::uint8_t>{1, 3, 3})) << "DNLOAD, GETSTATUS, GETSTATUS";
    const auto transfers = d.rom->transfers();
    ASSERT_EQ(transfers.size(), 3u);
    EXPECT_EQ(transfers[0].data, std::vector<std::uint8_t>{0x41});
    EXPECT_EQ(transfers[1].data[4], 4) << "dfuDNBUSY";
    EXPECT_EQ(transfers[2].data[4], 5) << "dfuDNLOAD-IDLE";
    EXPECT_EQ(transfers[2].timeMicros, transfers[1].timeMicros) << "sent at once";
    EXPECT_TRUE(h.machine().waits().entries().empty()) << "the driver did not wait";
    EXPECT_EQ(d.rom->read(0x08000000, 3), std::vector<std::uint8_t>(3, 0xFF));
}

// A limit that reads as "as many as it takes" and a device that turns every status after its busy
// reply into an error no clear-status removes: the mass erase still comes back, failed, after at
// most the bounded recovery rounds of each of its five attempts.
TEST(BootloaderQuirks, MassEraseEndsAgainstAnErrorNothingClearsWhateverTheBusyWaitLimit) {
    ArrivalHarness h;
    Arrived d = plugWithParameter(h, u"NumDfuBootIterBusyWaits", 0xFFFFFFFF);
    ASSERT_EQ(d.context()->NumDfuBootIterBusyWaits, 0xFFFFFFFFu);
    auto opened = client::open();
    d.rom->clearFaults();
    d.rom->clearTransfers();
    d.rom->addFault({sim::FaultRequest::GetStatus, 2, 0, sim::FaultAction::Reply,
                     {DFU_STATUS_errTARGET, 0, 0, 0, dfuERROR, 0}});

    EXPECT_FALSE(NT_SUCCESS(client::MassErase(opened.handle).status));
    int clears = 0;
    for (const sim::TransferRecord& t : d.rom->transfers()) {
        clears += t.bRequest() == DFU_CLRSTATUS ? 1 : 0;
    }
    EXPECT_GE(clears, static_cast<int>(DFU_SET_IDLE_MAX_ROUNDS));
    EXPECT_LE(clears, 5 * static_cast<int>(DFU_SET_IDLE_MAX_ROUNDS + 1));
}

}  // namespace
}  // namespace ostdfu_test
