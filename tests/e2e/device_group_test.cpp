// Firmware work on several devices of one bus at once, in this process (so that the thread
// sanitizer sees the threads share the machine): each device ends with its own outcome, and a
// device that fails, is refused or throws fails alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

#include "client/device_facts.h"
#include "tests/e2e/dfuhost_process.h"
#include "tools/system/device_group.h"
#include "tools/system/progress_board.h"

namespace ostdfu_e2e {
namespace {

using namespace dfuhost;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBase = 0x08000000;

Bytes pattern(std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return bytes;
}

JobOutcome flashAtBase(const std::filesystem::path& file, const JobContext& context, bool unprotect = false) {
    FlashJob job;
    job.file = file;
    job.address = kBase;
    job.plan.unprotect = unprotect;
    return runFlashJob(job, context);
}

struct Row {
    const char* device;
    const char* extra;  // more of its scenario entry
    int exitCode;
    bool onBus;
    bool holdsImage;
};

TEST(DeviceGroup, EachDeviceEndsOnItsOwnAndTheOthersFinish) {
    const Row rows[] = {
        {"first", "", 0, true, true},
        {"second", "", 0, true, true},
        {"pulled", R"(, "faults": [{"request": "DNLOAD", "nth": 12, "action": "unplug"}])", 1, false, false},
        {"locked", R"(, "read_protected": true)", 2, true, false},
        // Unprotected first: it leaves the bus and comes back while the others work.
        {"unlocked", R"(, "read_protected": true)", 0, true, true},
        {"third", "", 0, true, true},
    };
    std::string devices;
    unsigned port = 1;
    for (const Row& row : rows) {
        devices += std::string(devices.empty() ? "" : ",") + R"({"name": ")" + row.device + R"(", "preset": "blank", )" +
                   R"("location": [)" + std::to_string(port++) + "]" + row.extra + "}";
    }
    DriverOnBus bus(scenario::parseScenarioText(R"({"devices": [)" + devices + "]}", "group.json"), {});
    ASSERT_TRUE(NT_SUCCESS(bus.start()));

    TemporaryFolder folder;
    const Bytes image = pattern(40000);
    const auto file = folder.write("app.bin", std::string(image.begin(), image.end()));
    std::vector<DeviceSlot*> slots;
    for (DeviceSlot& slot : bus.devices()) slots.push_back(&slot);

    std::vector<int> finished(slots.size(), -1);
    GroupReport report;
    report.finished = [&](std::size_t row, const JobOutcome& outcome) { finished[row] = outcome.exitCode; };
    const auto results = runOnEach(
        bus, slots,
        [&](const DeviceSlot& device, const JobContext& context) {
            return flashAtBase(file, context, device.name() == "unlocked");
        },
        report);

    ASSERT_EQ(results.size(), std::size(rows));
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.device);
        EXPECT_EQ(results[i].device, row.device);
        EXPECT_EQ(results[i].outcome.exitCode, row.exitCode) << results[i].outcome.message;
        EXPECT_EQ(finished[i], row.exitCode);
        EXPECT_EQ(results[i].onBus, row.onBus);
        const Bytes memory = slots[i]->rom->read(kBase, image.size());
        EXPECT_EQ(memory == image, row.holdsImage);
        if (row.holdsImage) {
            EXPECT_EQ(results[i].outcome.details["verified_bytes"], image.size());
        }
    }
    EXPECT_EQ(groupExitCode(results), 1);
    bus.removeAll();
    EXPECT_TRUE(bus.unload());
    EXPECT_TRUE(bus.leaks().empty());
}

TEST(DeviceGroup, AJobThatThrowsEndsItsDeviceOnly) {
    DriverOnBus bus(scenario::parseScenarioText(R"({"devices": [{"name": "a", "location": [1]},
        {"name": "b", "location": [2]}]})", "two.json"), {});
    ASSERT_TRUE(NT_SUCCESS(bus.start()));
    std::vector<DeviceSlot*> slots{&bus.devices()[0], &bus.devices()[1]};
    const auto results = runOnEach(
        bus, slots,
        [](const DeviceSlot& device, const JobContext& context) {
            if (device.name() == "a") throw std::runtime_error("out of memory");
            const client::Handle handle = context.open();
            return JobOutcome{handle.valid() ? 0 : 1, "opened", Json::object()};
        },
        {});
    EXPECT_EQ(results[0].outcome.exitCode, 1);
    EXPECT_EQ(results[0].outcome.message, "internal error: out of memory");
    EXPECT_EQ(results[1].outcome.exitCode, 0);
    bus.removeAll();
    EXPECT_TRUE(bus.unload());
}

// A job whose device re-enumerates (a read unprotect) waits for its next arrival, and no longer
// than it was told.
TEST(DeviceGroup, AJobWaitsForItsDeviceToComeBackForAsLongAsItSays) {
    constexpr std::uint64_t kLimit = 3'000'000;
    const struct {
        const char* what;
        void (sim::Bootloader::*away)();
        bool back;
    } rows[] = {
        {"re-enumerates", &sim::Bootloader::cyclePort, true},
        {"stays unplugged", &sim::Bootloader::unplug, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DriverOnBus bus(scenario::parseScenarioText(R"({"devices": [{"name": "a", "location": [1]}]})", "one.json"), {});
        ASSERT_TRUE(NT_SUCCESS(bus.start()));
        DeviceSlot& slot = bus.devices()[0];
        std::uint64_t waited = 0;
        bool factsRead = false;
        const auto results = runOnEach(
            bus, {&slot},
            [&](const DeviceSlot&, const JobContext& context) {
                context.open().close();
                (*slot.rom.*row.away)();
                const std::uint64_t start = bus.machine().clock().nowMicros();
                const client::Handle handle = context.openAfterReturn(kLimit);
                waited = bus.machine().clock().nowMicros() - start;
                factsRead = handle.valid() && NT_SUCCESS(client::readDeviceFacts(handle).status);
                return JobOutcome{handle.valid() ? 0 : 1, "", Json::object()};
            },
            {});
        EXPECT_EQ(results[0].outcome.exitCode, row.back ? 0 : 1);
        EXPECT_EQ(factsRead, row.back);
        EXPECT_EQ(slot.arrivals, row.back ? 2u : 1u);
        if (!row.back) {
            EXPECT_GE(waited, kLimit);
            EXPECT_LT(waited, 2 * kLimit);
        }
        bus.removeAll();
        EXPECT_TRUE(bus.unload());
    }
}

// Under the virtual clock the devices' waits overlap: flashing three takes the machine's time
// of flashing one.
TEST(DeviceGroup, SeveralJobsTakeTheTimeOfOne) {
    TemporaryFolder folder;
    const Bytes image = pattern(20000);
    const auto file = folder.write("app.bin", std::string(image.begin(), image.end()));
    std::vector<std::uint64_t> took;
    for (const char* devices : {R"({"name": "a", "location": [1]})",
                                R"({"name": "a", "location": [1]}, {"name": "b", "location": [2]},
                                   {"name": "c", "location": [3]})"}) {
        DriverOnBus bus(scenario::parseScenarioText(std::string(R"({"devices": [)") + devices + "]}", "bus.json"), {});
        ASSERT_TRUE(NT_SUCCESS(bus.start()));
        std::vector<DeviceSlot*> slots;
        for (DeviceSlot& slot : bus.devices()) slots.push_back(&slot);
        const std::uint64_t start = bus.machine().clock().nowMicros();
        const auto results = runOnEach(
            bus, slots,
            [&](const DeviceSlot&, const JobContext& context) { return flashAtBase(file, context); },
            {});
        EXPECT_EQ(groupExitCode(results), 0);
        took.push_back(bus.machine().clock().nowMicros() - start);
        bus.removeAll();
        bus.unload();
    }
    EXPECT_GT(took[0], 0u);
    EXPECT_EQ(took[1], took[0]);
}

TEST(DeviceGroup, TheWorstOutcomeIsTheExitCode) {
    const struct {
        std::vector<int> codes;
        int exitCode;
    } rows[] = {
        {{0, 0, 0}, 0},
        {{0, 2, 0}, 2},
        {{2, 1, 0}, 1},  // a half-written device matters more than an untouched one
        {{1, 2}, 1},
        {{2, 2}, 2},
    };
    for (const auto& row : rows) {
        std::vector<DeviceResult> results;
        for (int code : row.codes) results.push_back(DeviceResult{"d", JobOutcome{code, "", Json::object()}, true});
        EXPECT_EQ(groupExitCode(results), row.exitCode);
    }
}

TEST(DeviceGroup, EachDeviceHasAFileOfItsOwnThatStaysInItsFolder) {
    const struct {
        const char* pattern;
        const char* device;
        const char* file;
    } rows[] = {
        {"out.hex", "strada-base", "out.hex"},
        {"out-{device}.hex", "strada-base", "out-strada-base.hex"},
        {"{device}/{device}.bin", "3-1.4", "3-1.4/3-1.4.bin"},
        {"out-{device}.bin", "../../etc/passwd", "out-.._.._etc_passwd.bin"},
        {"{device}.bin", "..", "__.bin"},
        {"{device}", "a b\\c", "a_b_c"},
        {"x{device}", "{device}", "x_device_"},  // the name's own braces are not expanded again
    };
    for (const auto& row : rows) {
        EXPECT_EQ(deviceFileName(row.pattern, row.device), row.file) << row.pattern << " " << row.device;
    }
}

// What the board wrote to a file, for a look at its lines.
std::string drawn(BoardMode mode, const std::function<void(ProgressBoard&)>& use) {
    std::FILE* out = std::tmpfile();
    {
        ProgressBoard board(mode, {"a", "long-name"}, out);
        use(board);
    }
    std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    const std::size_t got = std::fread(text.data(), 1, text.size(), out);
    std::fclose(out);
    text.resize(got);
    return text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

void playTwoDevices(ProgressBoard& board) {
    board.update(0, {client::Phase::Erase, 0, 4096});
    board.update(1, {client::Phase::Erase, 2048, 4096});
    board.update(0, {client::Phase::Erase, 4096, 4096});
    board.update(0, {client::Phase::Download, 1024, 1024});
    board.note("dfuhost: long-name: warning: something");
    board.finish(0, true);
    board.finish(1, false);
}

TEST(ProgressBoard, WithoutATerminalEachPhaseEndsInOnePlainLine) {
    const std::vector<std::string> lines = linesOf(drawn(BoardMode::Lines, playTwoDevices));
    ASSERT_EQ(lines.size(), 4u) << drawn(BoardMode::Lines, playTwoDevices);
    EXPECT_EQ(lines[0].rfind("a         erase    [########################] 4.0 KiB / 4.0 KiB", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "dfuhost: long-name: warning: something");
    EXPECT_EQ(lines[2].rfind("a         download", 0), 0u) << lines[2];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 5), " done");
    EXPECT_EQ(lines[3].rfind("long-name erase    [############............] 2.0 KiB / 4.0 KiB", 0), 0u) << lines[3];
    EXPECT_EQ(lines[3].substr(lines[3].size() - 7), " failed");
    for (const std::string& line : lines) EXPECT_EQ(line.find('\033'), std::string::npos) << line;
}

TEST(ProgressBoard, OnATerminalTheLinesAreRedrawnInPlaceBelowTheNotes) {
    const std::string text = drawn(BoardMode::Terminal, playTwoDevices);
    // The last drawing of the board: after the last move up over its two lines.
    const std::size_t last = text.rfind("\033[2A");
    ASSERT_NE(last, std::string::npos) << text;
    const std::vector<std::string> board = linesOf(text.substr(last));
    ASSERT_EQ(board.size(), 2u);
    EXPECT_NE(board[0].find("a         download"), std::string::npos) << board[0];
    EXPECT_NE(board[0].find(" done"), std::string::npos);
    EXPECT_NE(board[1].find("long-name erase"), std::string::npos) << board[1];
    EXPECT_NE(board[1].find(" failed"), std::string::npos);
    // The note is written once, over the board, which is drawn again below it.
    const std::string noted = "\033[2A\r\033[Kdfuhost: long-name: warning: something\n";
    const std::size_t note = text.find(noted);
    ASSERT_NE(note, std::string::npos) << text;
    EXPECT_EQ(text.find("warning", note + noted.size()), std::string::npos);
    EXPECT_NE(text.find("\r\033[Ka ", note), std::string::npos);
    EXPECT_TRUE(drawn(BoardMode::Off, [](ProgressBoard& b) {
                    b.update(0, {client::Phase::Erase, 1, 2});
                    b.finish(0, true);
                }).empty());
}

}  // namespace
}  // namespace ostdfu_e2e
