// The ST commands, writes and reads, read protection and the ways the ROM leaves the bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "sim/bootloader.h"
#include "sim_test_host.h"

namespace {

using host::TransferStatus;
using simtest::addressBytes;
using simtest::Bytes;
using simtest::DfuHost;
using simtest::EventLog;
using simtest::FakeClock;

constexpr std::uint8_t kOk = 0, kErrTarget = 1, kErrErase = 4, kErrProg = 6, kErrVendor = 11, kErrStalledPkt = 15;
constexpr std::uint8_t kIdle = 2, kDnBusy = 4, kDnloadIdle = 5, kManifest = 7, kUploadIdle = 9, kError = 10;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), seed);
    return bytes;
}

class Dfuse : public ::testing::Test {
protected:
    explicit Dfuse(sim::BootloaderConfig config = {}) : device_(std::move(config), clock_), host_(device_) {
        device_.setEvents(&events_);
    }
    // Runs a command and brings the device back to dfuIDLE for the next one.
    simtest::Status command(Bytes bytes) {
        const simtest::Status status = host_.run(0, std::move(bytes), clock_);
        if (status.state == kError) host_.clrStatus(); else host_.abort();
        return status;
    }
    simtest::Status writeBlock(std::uint16_t block, Bytes data) {
        const simtest::Status status = host_.run(block, std::move(data), clock_);
        if (status.state == kError) host_.clrStatus(); else host_.abort();
        return status;
    }

    FakeClock clock_;
    sim::Bootloader device_;
    DfuHost host_;
    EventLog events_;
};

TEST_F(Dfuse, WritesAtThePointerByBlockAndReadsBack) {
    EXPECT_EQ(command(addressBytes(0x21, 0x08004000)).status, kOk);
    host_.dnload(2, pattern(2048, 1));
    const simtest::Status busy = host_.getStatus();
    EXPECT_EQ(busy.state, kDnBusy);
    EXPECT_EQ(busy.pollMs, 104u) << "as an F4 ROM announces a 2048-byte write";
    clock_.advanceMs(104);
    EXPECT_EQ(host_.getStatus().state, kDnloadIdle);
    host_.abort();
    // Block 3 lands one transfer size further.
    EXPECT_EQ(writeBlock(3, pattern(2048, 7)).status, kOk);
    EXPECT_EQ(device_.read(0x08004000, 2048), pattern(2048, 1));
    EXPECT_EQ(device_.read(0x08004800, 2048), pattern(2048, 7));

    auto [status, bytes] = host_.upload(2, 2048);
    EXPECT_EQ(status, TransferStatus::Completed);
    EXPECT_EQ(bytes, pattern(2048, 1));
    EXPECT_EQ(host_.getStatus().state, kUploadIdle);
    EXPECT_EQ(host_.upload(3, 2048).second, pattern(2048, 7));
}

// A host moving 6000 bytes sends two full blocks and a short third one; every block is placed by
// wTransferSize, so the short block must land at 4096, in both directions.
TEST_F(Dfuse, AShortBlockLandsOneTransferSizePerBlockNumberOn) {
    const Bytes file = pattern(6000, 3);
    EXPECT_EQ(command(addressBytes(0x21, 0x08004000)).status, kOk);
    for (std::uint16_t block = 2; block <= 4; ++block) {
        const std::size_t at = (block - 2u) * 2048u;
        const std::size_t n = std::min<std::size_t>(2048, file.size() - at);
        EXPECT_EQ(host_.run(block, Bytes(file.begin() + at, file.begin() + at + n), clock_).state, kDnloadIdle);
    }
    host_.abort();
    EXPECT_EQ(device_.read(0x08004000, file.size()), file);

    Bytes back;
    for (std::uint16_t block = 2; block <= 4; ++block) {
        const std::uint16_t n = block == 4 ? 6000 - 4096 : 2048;
        const Bytes part = host_.upload(block, n).second;
        back.insert(back.end(), part.begin(), part.end());
    }
    EXPECT_EQ(back, file);
    EXPECT_EQ(host_.upload(3, 16).second, Bytes(file.begin() + 2048, file.begin() + 2064))
        << "block 3 starts one transfer size on, whatever its own length";
}

TEST_F(Dfuse, FlashProgramsOnlyErasedBytesAndOtpOnlyOnce) {
    device_.write(0x08000000, Bytes{0x12, 0x34});
    EXPECT_EQ(command(addressBytes(0x21, 0x08000000)).status, kOk);
    EXPECT_EQ(writeBlock(2, {0x12, 0x30}).status, kErrProg) << "0x34 -> 0x30 needs an erase first";
    EXPECT_EQ(device_.read(0x08000000, 2), (Bytes{0x12, 0x34})) << "a refused write changes nothing";
    EXPECT_EQ(writeBlock(2, {0x12, 0x34, 0x56}).status, kOk) << "equal bytes and erased bytes program";

    EXPECT_EQ(command(addressBytes(0x21, 0x1FFF7800)).status, kOk);
    EXPECT_EQ(writeBlock(2, {0xA5}).status, kOk);
    EXPECT_EQ(writeBlock(2, {0x5A}).status, kErrProg);
    EXPECT_EQ(command(addressBytes(0x41, 0x1FFF7800)).status, kErrErase) << "OTP does not erase";
    EXPECT_EQ(device_.read(0x1FFF7800, 1), Bytes{0xA5});
}

TEST_F(Dfuse, WritesMustStayInsideOneSegment) {
    EXPECT_EQ(command(addressBytes(0x21, 0x1FFFC008)).status, kOk);
    EXPECT_EQ(writeBlock(2, Bytes(16, 0)).status, kErrTarget) << "16 option bytes from offset 8 run past the end";
    EXPECT_EQ(device_.presence(), sim::Presence::Attached);
    EXPECT_EQ(host_.dnload(2, Bytes(2049, 0)), TransferStatus::Stalled) << "larger than wTransferSize";
}

TEST_F(Dfuse, PageEraseTouchesExactlyThatSector) {
    device_.write(0x08000000, Bytes(0xC000, 0x00));  // sectors 0 to 2 of 16 KiB
    EXPECT_EQ(command(addressBytes(0x41, 0x08004123)).status, kOk);
    EXPECT_EQ(device_.read(0x08003FFF, 1), Bytes{0x00});
    EXPECT_EQ(device_.read(0x08004000, 0x4000), Bytes(0x4000, 0xFF));
    EXPECT_EQ(device_.read(0x08008000, 1), Bytes{0x00});
    EXPECT_EQ(device_.addressPointer(), 0x08000000u) << "erase does not move the pointer";

    EXPECT_EQ(command(addressBytes(0x41, 0x30000000)).status, kErrTarget);
    EXPECT_EQ(command(addressBytes(0x41, 0x1FFFC000)).status, kErrErase) << "option bytes are not erased by page";
}

TEST_F(Dfuse, MassEraseClearsFlashOnly) {
    device_.write(0x08000000, Bytes{1, 2, 3});
    device_.write(0x080FFFFF, Bytes{4});
    device_.write(0x1FFF7800, Bytes{5});
    const Bytes optionBytes = device_.read(0x1FFFC000, 16);
    host_.dnload(0, {0x41});
    EXPECT_EQ(host_.getStatus().pollMs, 100u);
    clock_.advanceMs(100);
    EXPECT_EQ(host_.getStatus().state, kDnloadIdle);
    EXPECT_EQ(device_.read(0x08000000, 3), Bytes(3, 0xFF));
    EXPECT_EQ(device_.read(0x080FFFFF, 1), Bytes{0xFF});
    EXPECT_EQ(device_.read(0x1FFF7800, 1), Bytes{5});
    EXPECT_EQ(device_.read(0x1FFFC000, 16), optionBytes);
}

TEST_F(Dfuse, GetCommandsAnswersTheListCutToTheRequest) {
    EXPECT_EQ(host_.upload(0, 4), (std::pair{TransferStatus::Completed, Bytes{0x00, 0x21, 0x41, 0x92}}));
    EXPECT_EQ(host_.getState(), kUploadIdle);
    host_.abort();
    EXPECT_EQ(host_.upload(0, 2).second, (Bytes{0x00, 0x21}));
    host_.abort();
    EXPECT_EQ(host_.upload(0, 64).second.size(), 4u);
    EXPECT_EQ(host_.getState(), kIdle) << "a short answer ends the upload";
}

TEST_F(Dfuse, MalformedAndUnknownCommandsEndInStalledPacket) {
    const Bytes commands[] = {{0x55}, {0x21, 0x00, 0x00}, {0x41, 0x00, 0x00, 0x00, 0x08, 0x00}, {0x92, 0x00}, {0x00}};
    for (const Bytes& bytes : commands) {
        host_.dnload(0, bytes);
        EXPECT_EQ(host_.getStatus().state, kDnBusy);
        const simtest::Status final = host_.getStatus();
        EXPECT_EQ(final.state, kError);
        EXPECT_EQ(final.status, kErrStalledPkt);
        host_.clrStatus();
    }
    EXPECT_EQ(host_.dnload(1, {0x21}), TransferStatus::Stalled) << "block 1 means nothing";
    EXPECT_EQ(device_.status(), sim::DfuStatus::ErrStalledPkt);
    host_.clrStatus();
    EXPECT_EQ(host_.upload(1, 16).first, TransferStatus::Stalled);
    EXPECT_EQ(device_.status(), sim::DfuStatus::ErrStalledPkt);
}

TEST_F(Dfuse, AddressOutsideEverySegmentIsErrTarget) {
    EXPECT_EQ(command(addressBytes(0x21, 0x08100000)).status, kErrTarget);
    EXPECT_EQ(device_.addressPointer(), 0x08000000u);
    EXPECT_EQ(command(addressBytes(0x21, 0x1FFFC000)).status, kOk) << "any segment, whatever setting is selected";
}

TEST_F(Dfuse, ReadStopsShortAtTheSegmentEnd) {
    EXPECT_EQ(command(addressBytes(0x21, 0x1FFFC000)).status, kOk);
    auto [status, bytes] = host_.upload(2, 2048);
    EXPECT_EQ(status, TransferStatus::Completed);
    EXPECT_EQ(bytes, device_.read(0x1FFFC000, 16));
    EXPECT_EQ(host_.getState(), kIdle);

    EXPECT_EQ(command(addressBytes(0x21, 0x080FFC00)).status, kOk);
    EXPECT_EQ(host_.upload(2, 2048).second.size(), 1024u);
    EXPECT_EQ(host_.upload(2, 2048).second.size(), 1024u) << "dfuIDLE again, so a new upload may start";
    EXPECT_EQ(host_.upload(3, 2048).first, TransferStatus::Stalled) << "wholly outside";
    EXPECT_EQ(host_.getStatus().status, kErrTarget);
}

class ReadProtected : public Dfuse {
protected:
    static sim::BootloaderConfig protectedRom() {
        sim::BootloaderConfig config;
        config.readProtected = true;
        return config;
    }
    ReadProtected() : Dfuse(protectedRom()) {}
};

TEST_F(ReadProtected, RefusesReadsWritesAndErasesButSetsTheAddress) {
    EXPECT_EQ(command(addressBytes(0x21, 0x1FFFC000)).status, kOk);
    EXPECT_EQ(host_.upload(2, 16).first, TransferStatus::Stalled);
    EXPECT_EQ(host_.getStatus().status, kErrVendor);
    host_.clrStatus();
    EXPECT_EQ(writeBlock(2, Bytes(16, 0)).status, kErrVendor);
    EXPECT_EQ(command(addressBytes(0x41, 0x08000000)).status, kErrVendor);
    EXPECT_EQ(command({0x41}).status, kErrVendor);
    EXPECT_EQ(host_.upload(0, 4).second, (Bytes{0x00, 0x21, 0x41, 0x92})) << "Get commands still answers";
}

TEST_F(ReadProtected, UnprotectErasesFlashAndReenumerates) {
    device_.write(0x08000000, Bytes{1, 2, 3, 4});
    host_.dnload(0, {0x92});
    const simtest::Status busy = host_.getStatus();
    EXPECT_EQ(busy.state, kDnBusy);
    EXPECT_EQ(events_.events, (std::vector<std::string>{"disconnected", "reconnected"}));
    EXPECT_FALSE(device_.readProtected());
    EXPECT_EQ(device_.read(0x08000000, 4), Bytes(4, 0xFF));
    EXPECT_EQ(host_.getStatus().state, kIdle) << "a fresh device, no second status";
    EXPECT_EQ(host_.upload(2, 4).second, Bytes(4, 0xFF));
}

TEST_F(Dfuse, OptionByteWriteResetsRightAfterTheBusyStatus) {
    EXPECT_EQ(command(addressBytes(0x21, 0x1FFFC000)).status, kOk);
    const Bytes image = pattern(16, 0x40);
    host_.dnload(2, image);
    const simtest::Status busy = host_.getStatus();
    EXPECT_EQ(busy.state, kDnBusy);
    EXPECT_EQ(busy.status, kOk);
    EXPECT_EQ(events_.events, (std::vector<std::string>{"disconnected", "reconnected"}));
    EXPECT_EQ(device_.read(0x1FFFC000, 16), image);
    EXPECT_EQ(device_.state(), sim::DfuState::DfuIdle);
    EXPECT_EQ(device_.addressPointer(), 0x08000000u);
}

TEST_F(Dfuse, LeaveManifestsThenStartsTheApplicationAtThePointer) {
    EXPECT_EQ(command(addressBytes(0x21, 0x08004000)).status, kOk);
    EXPECT_EQ(host_.dnload(0, {}), TransferStatus::Completed);
    const simtest::Status manifest = host_.getStatus();
    EXPECT_EQ(manifest.state, kManifest);
    EXPECT_EQ(manifest.pollMs, 104u);
    EXPECT_EQ(events_.events, std::vector<std::string>{"disconnected"});
    EXPECT_FALSE(device_.connected());
    EXPECT_EQ(device_.applicationStartAddress(), 0x08004000u);
    EXPECT_EQ(host_.getStatus().result, TransferStatus::Disconnected);

    device_.resetPort();
    EXPECT_FALSE(device_.connected()) << "a bus reset does not stop the application";
    device_.cyclePort();
    EXPECT_TRUE(device_.connected()) << "the boot pins bring the bootloader back";
    EXPECT_EQ(device_.state(), sim::DfuState::DfuIdle);
    EXPECT_EQ(device_.addressPointer(), 0x08000000u);
}

TEST_F(Dfuse, PortResetAndCycleStartTheProtocolOver) {
    EXPECT_EQ(command(addressBytes(0x21, 0x08004000)).status, kOk);
    host_.dnload(0, {0x55});
    device_.resetPort();
    EXPECT_EQ(device_.state(), sim::DfuState::DfuIdle);
    EXPECT_EQ(device_.addressPointer(), 0x08000000u);
    EXPECT_TRUE(events_.events.empty());

    EXPECT_EQ(command(addressBytes(0x21, 0x08004000)).status, kOk);
    host_.getStatus();
    device_.cyclePort();
    EXPECT_EQ(events_.events, (std::vector<std::string>{"disconnected", "reconnected"}));
    EXPECT_EQ(device_.addressPointer(), 0x08000000u);
    EXPECT_EQ(device_.configuration(), 0);
}

}  // namespace
