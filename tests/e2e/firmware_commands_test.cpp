// dfuhost flash, read and verify as a user runs them: on the demo bus and on a scenario's bus,
// their exit codes, messages and JSON, and a whole update scripted as scenario actions with a
// device that leaves in the middle.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "client/dfuse_file.h"
#include "client/firmware_image.h"
#include "client/intel_hex.h"
#include "tests/e2e/dfuhost_process.h"

namespace ostdfu_e2e {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 31 + i / 509);
    return bytes;
}

std::string writeBytes(const TemporaryFolder& folder, const std::string& name, const Bytes& bytes) {
    return folder.write(name, std::string(bytes.begin(), bytes.end())).string();
}

Bytes readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FirmwareCommands, FlashReadAndVerifyOnTheDemoBus) {
    TemporaryFolder folder;
    const Bytes app = pattern(9000, 3);
    const std::string bin = writeBytes(folder, "app.bin", app);
    // Each run is a fresh demo bus, so the flash and the read-back are one run's work: the
    // --json result says what was written and verified.
    const ProcessResult flash = runDfuhost({"--json", "flash", "strada-base", bin, "--address", "0x08008000"});
    ASSERT_EQ(flash.exitCode, 0) << flash.err;
    const auto result = flash.json();
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["written_bytes"], 9000);
    EXPECT_EQ(result["verified_bytes"], 9000);
    EXPECT_EQ(result["erased_pages"], 5) << "2 KiB pages: 0x08008000..0x0800A7FF";
    EXPECT_EQ(result["on_bus"], true);

    const std::string hex = (folder.path() / "flash.hex").string();
    const ProcessResult read = runDfuhost({"read", "blank", hex, "--address", "0x08000000", "--length", "4096"});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_NE(read.out.find("4096 bytes read from 0x08000000"), std::string::npos) << read.out;
    const ProcessResult verify = runDfuhost({"verify", "blank", hex});
    EXPECT_EQ(verify.exitCode, 0) << verify.err;
    EXPECT_NE(verify.out.find("4096 bytes match the image"), std::string::npos) << verify.out;
    const ProcessResult differs = runDfuhost({"verify", "blank", bin, "--address", "0x08000000"});
    EXPECT_EQ(differs.exitCode, 1);
    EXPECT_NE(differs.err.find("memory differs from the image at 0x08000000"), std::string::npos) << differs.err;
}

TEST(FirmwareCommands, FlashWithLeaveReportsTheDeviceGone) {
    TemporaryFolder folder;
    const std::string bin = writeBytes(folder, "app.bin", pattern(2048, 1));
    const ProcessResult run = runDfuhost({"--json", "flash", "strada-base", bin, "--address", "0x08000000", "--leave"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto result = run.json();
    EXPECT_EQ(result["left"], true);
    EXPECT_EQ(result["on_bus"], false);
}

TEST(FirmwareCommands, RefusalsExitTwoAndSayWhatAndWhere) {
    TemporaryFolder folder;
    const std::string bin = writeBytes(folder, "app.bin", pattern(4096, 2));
    client::FirmwareImage other;
    other.elements.push_back({0, 0x08000000, pattern(64, 4)});
    other.product = client::ImageProduct{0x3A7C, 0x5023, 0xFFFF};  // the drift pedals'
    const Bytes dfu = client::writeDfuSe(other);
    const std::string otherDfu = writeBytes(folder, "pedals.dfu", dfu);
    Bytes damaged = dfu;
    damaged[300] ^= 1;
    const std::string badCrc = writeBytes(folder, "bad.dfu", damaged);
    const std::string badHex = folder.write("bad.hex", ":0300000001020305\n:00000001FF\n").string();

    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } rows[] = {
        {{"flash", "strada-base", badCrc}, "bad.dfu: byte 0x"},
        {{"flash", "strada-base", badHex}, "bad.hex: line 1: checksum mismatch"},
        {{"flash", "strada-base", otherDfu}, "names product 3a7c:5023, but the driver identified this device as 3a7c:5029"},
        {{"flash", "blank", bin, "--address", "0x080FF800"}, "lies outside writable memory at 0x08100000"},
        {{"flash", "locked-base", bin, "--address", "0x08000000"}, "read-protected; --unprotect"},
        {{"flash", "strada-base", bin}, "needs the address it goes to (--address)"},
        {{"read", "blank", (folder.path() / "x.elf").string(), "--address", "0x08000000", "--length", "4"},
         "unknown image format"},
        {{"read", "blank", (folder.path() / "x.bin").string(), "--address", "0x20000000", "--length", "4"},
         "is not readable memory"},
    };
    for (const auto& row : rows) {
        const ProcessResult run = runDfuhost(row.arguments);
        EXPECT_EQ(run.exitCode, 2) << row.arguments[2];
        EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    }
    // The same pedal image goes onto the pedals.
    EXPECT_EQ(runDfuhost({"flash", "drift-pedals", otherDfu}).exitCode, 0);
}

// A read-protected device cannot be identified until the unprotect has made it readable: the
// product a .dfu names is checked then, before a page is erased or a byte written.
TEST(FirmwareCommands, UnprotectWarnsFirstThenChecksTheProductAndFlashes) {
    TemporaryFolder folder;
    const Bytes app = pattern(4096, 5);
    const std::string bin = writeBytes(folder, "app.bin", app);
    const auto dfuFor = [&](std::uint16_t product, const char* name) {
        client::FirmwareImage image;
        image.elements.push_back({0, 0x08000000, app});
        image.product = client::ImageProduct{0x3A7C, product, 0xFFFF};
        return writeBytes(folder, name, client::writeDfuSe(image));
    };
    const struct {
        std::string file;
        int exitCode;
        std::vector<std::string> message;
    } rows[] = {
        {bin, 0, {"4096 written, 4096 verified"}},
        // locked-base is a Summit Wheel Base, 3a7c:5040, once it can be read.
        {dfuFor(0x5040, "base.dfu"), 0, {"4096 written, 4096 verified"}},
        {dfuFor(0x5023, "pedals.dfu"), 1,
         {"names product 3a7c:5023, but the driver identified this device as 3a7c:5040",
          "the read protection was removed and the flash erased, nothing was written"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        std::vector<std::string> arguments = {"--json", "flash", "locked-base", row.file, "--unprotect"};
        if (row.file == bin) arguments.insert(arguments.end(), {"--address", "0x08000000"});
        const ProcessResult run = runDfuhost(arguments);
        EXPECT_EQ(run.exitCode, row.exitCode) << run.err;
        EXPECT_NE(run.err.find("warning: removing read protection: this erases the whole flash"), std::string::npos)
            << run.err;
        const std::string message = run.json()["message"];
        for (const std::string& part : row.message) EXPECT_NE(message.find(part), std::string::npos) << message;
    }
}

// A device that leaves in the middle of the download, and the same action again after it is
// back: the first says how far it got, the second finishes the job.
TEST(FirmwareCommands, ARerunAfterASurpriseRemovalFinishesTheJob) {
    TemporaryFolder folder;
    const Bytes app = pattern(65536, 6);
    writeBytes(folder, "app.bin", app);
    const auto scenario = folder.write("update.json", R"({
      "devices": [{"name": "rom", "faults": [{"request": "DNLOAD", "nth": 30, "action": "unplug"}]}],
      "actions": [
        {"flash": "rom", "file": "app.bin", "address": 134217728},
        {"plug": "rom"},
        {"flash": "rom", "file": "app.bin", "address": 134217728},
        {"read": "rom", "file": "back.bin", "address": 134217728, "length": 65536}
      ]
    })");
    const ProcessResult run = runDfuhost({"run", scenario.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto actions = run.json()["actions"];
    EXPECT_EQ(actions[0]["ok"], false);
    const std::string message = actions[0]["message"];
    EXPECT_NE(message.find("device gone"), std::string::npos) << message;
    EXPECT_NE(message.find("65536 bytes erased, 43008 written"), std::string::npos) << message;
    EXPECT_EQ(actions[2]["ok"], true) << actions[2]["message"];
    EXPECT_EQ(actions[3]["ok"], true) << actions[3]["message"];
    EXPECT_TRUE(readBytes(folder.path() / "back.bin") == app);
}

TEST(FirmwareCommands, SeveralDevicesAreFlashedSideBySideWithAResultEach) {
    TemporaryFolder folder;
    const std::string bin = writeBytes(folder, "app.bin", pattern(9000, 8));
    const ProcessResult run =
        runDfuhost({"--json", "flash", "strada-base", "blank", "3", bin, "--address", "0x08008000"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto results = run.json();
    ASSERT_TRUE(results.is_array()) << results;
    ASSERT_EQ(results.size(), 3u);
    const char* names[] = {"strada-base", "blank", "circuit-base"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(results[i]["device"], names[i]);
        EXPECT_EQ(results[i]["ok"], true) << results[i]["message"];
        EXPECT_EQ(results[i]["verified_bytes"], 9000);
    }
}

// A bus where one unit is pulled in the middle and one is locked: they fail and are refused on
// their own; the rest are flashed, and the exit code is that of the failure.
TEST(FirmwareCommands, AllDevicesOfTheBusEachFailOnTheirOwn) {
    TemporaryFolder folder;
    const std::string bin = writeBytes(folder, "app.bin", pattern(20000, 9));
    const auto bus = folder.write("line.json", R"({"devices": [
      {"name": "unit-1", "location": [1]},
      {"name": "unit-2", "location": [2], "faults": [{"request": "DNLOAD", "nth": 8, "action": "unplug"}]},
      {"name": "unit-3", "location": [3], "read_protected": true},
      {"name": "unit-4", "location": [4]}
    ]})");
    const ProcessResult run = runDfuhost({"--sim", bus.string(), "--json", "flash", "--all", bin, "--address", "0x08000000"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const auto results = run.json();
    ASSERT_EQ(results.size(), 4u) << results;
    const struct {
        bool ok;
        bool onBus;
        const char* message;
    } rows[] = {
        {true, true, "20000 verified"},
        {false, false, "device gone"},
        {false, true, "read-protected"},
        {true, true, "20000 verified"},
    };
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(results[i]["device"], "unit-" + std::to_string(i + 1));
        EXPECT_EQ(results[i]["ok"], rows[i].ok);
        EXPECT_EQ(results[i]["on_bus"], rows[i].onBus);
        EXPECT_NE(results[i]["message"].get<std::string>().find(rows[i].message), std::string::npos) << results[i];
    }
}

// ROMs as recorded: the F107 marks its option bytes "g", erasable like its flash, and they go
// on with the application all the same. A failure says a rerun finishes the job only where it
// does: after the device left, not when its OTP already holds other bytes.
TEST(FirmwareCommands, RecordedLayoutsAndWhenARerunFinishesTheJob) {
    TemporaryFolder folder;
    const auto hexFile = [&](const std::string& name, std::uint32_t second, std::size_t secondBytes) {
        client::FirmwareImage image;
        image.elements.push_back({0, 0x08000000, pattern(3000, 10)});
        image.elements.push_back({0, second, pattern(secondBytes, 11)});
        return folder.write(name, client::writeIntelHex(image)).string();
    };
    const std::string withOptionBytes = hexFile("app_and_ob.hex", 0x1FFFF800, 16);
    const std::string withOtp = hexFile("app_and_otp.hex", 0x1FFF7800, 32);
    const auto bus = folder.write("roms.json", R"({"devices": [
      {"name": "f107", "segments": ["@Internal Flash  /0x08000000/128*002Kg", "@Option Bytes  /0x1FFFF800/01*016 g"]},
      {"name": "otp-used", "memory": [{"address": "0x1FFF7800", "hex": "00"}]},
      {"name": "pulled", "faults": [{"request": "DNLOAD", "nth": 8, "action": "unplug"}]}
    ]})");
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        const char* message;
        bool rerunPromised;
    } rows[] = {
        {{"flash", "f107", withOptionBytes, "--option-bytes"}, 0, "4096 bytes erased, 3016 written, 3000 verified",
         false},
        {{"flash", "otp-used", withOtp, "--otp"}, 1, "0x1fff7800", false},
        {{"flash", "pulled", withOtp, "--otp"}, 1, "device gone", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments[1]);
        std::vector<std::string> arguments = {"--sim", bus.string()};
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        const ProcessResult run = runDfuhost(arguments);
        EXPECT_EQ(run.exitCode, row.exitCode) << run.err;
        const std::string said = run.out + run.err;
        EXPECT_NE(said.find(row.message), std::string::npos) << said;
        EXPECT_EQ(said.find("running the same command again finishes the job") != std::string::npos,
                  row.rerunPromised)
            << said;
    }
}

TEST(FirmwareCommands, SeveralDevicesReadIntoAFileEach) {
    TemporaryFolder folder;
    const std::string files = (folder.path() / "out-{device}.bin").string();
    const ProcessResult run =
        runDfuhost({"read", "blank", "strada-base", files, "--address", "0x08000000", "--length", "4096"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("read strada-base: 4096 bytes read"), std::string::npos) << run.out;
    EXPECT_EQ(readBytes(folder.path() / "out-blank.bin").size(), 4096u);
    EXPECT_EQ(readBytes(folder.path() / "out-strada-base.bin").size(), 4096u);
}

TEST(FirmwareCommands, ADeviceListThatCannotWorkIsRefusedBeforeAnything) {
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } rows[] = {
        {{"read", "blank", "strada-base", "out.bin", "--address", "0", "--length", "4"},
         "several devices would write one file; put {device} in its name"},
        {{"read", "--all", "out.bin", "--address", "0", "--length", "4"}, "put {device} in its name"},
        {{"flash", "--all", "blank", "app.bin"}, "--all and the device blank both given"},
        {{"verify", "app.bin"}, "name the device before the file app.bin, or give --all"},
        {{"verify", "blank", "13", "app.bin"}, "blank is named twice"},
        {{"flash", "blank", "nowhere", "app.bin"}, "no device \"nowhere\" on this bus"},
    };
    for (const auto& row : rows) {
        const ProcessResult run = runDfuhost(row.arguments);
        EXPECT_EQ(run.exitCode, 2) << row.message;
        EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace ostdfu_e2e
