// `dfuhost serve` as its users meet it: its exit codes, its record, cables plugged and pulled
// while the command runs; and dfu-util, an independent DfuSe host, against the models it serves:
// what dfu-util lists, reads, writes and erases must be what the scenario holds, byte for byte.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "client/firmware_image.h"
#include "tests/e2e/dfuhost_process.h"
#include "tests/serve/served_run.h"
#include "tests/support/file_contents.h"

namespace {

using ostdfu_e2e::ProcessResult;
using ostdfu_serve::serve;
using ostdfu_serve::ServeRun;

std::string hexOf(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// "" when equal; otherwise where they first differ, short enough to read in a failure.
std::string difference(const std::string& actual, const std::string& expected) {
    if (actual == expected) return "";
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return std::to_string(actual.size()) + " bytes where " + std::to_string(expected.size()) +
           " were expected; the first difference is at offset " + std::to_string(at);
}

// Bytes that give away a wrong offset: no two 4-byte words alike within 64 KiB.
std::string pattern(std::size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + (i >> 8) * 13 + seed) & 0xFF);
    return bytes;
}

constexpr const char* kOptionBytes = "aa55bb44cc33dd22ee11ff0012345678";

// One small device: 8 KiB of flash in 1 KiB pages, a transfer size of 1024 so that short last
// blocks are easy to make, and busy times short enough for the real clock. 100 ms is avoided for
// the mass erase: dfu-util waits 35 s after a mass erase that announces exactly that.
std::string smallDevice(const std::string& memoryHex, bool readProtected = false) {
    return std::string(R"({"devices": [{"name": "unit", "location": [3], "transfer_size": 1024,)") +
           R"("segments": ["@Internal Flash  /0x08000000/08*001Kg", "@Option Bytes  /0x1FFFF800/01*016 e"],)" +
           R"("option_bytes": ")" + kOptionBytes + R"(",)" +
           (readProtected ? R"("read_protected": true,)" : "") +
           (memoryHex.empty() ? "" : R"("memory": [{"address": 134217728, "hex": ")" + memoryHex + R"("}],)") +
           R"("timings": {"mass_erase": {"poll_ms": 20, "busy_ms": 20}, "page_erase": {"poll_ms": 5, "busy_ms": 5},)"
           R"("write": {"poll_ms": 2, "busy_ms": 2}, "leave": {"poll_ms": 5, "busy_ms": 5}}}]})";
}

using ServedModels = ostdfu_serve::ServedTest;

TEST_F(ServedModels, DfuUtilListsTheFourAlternateSettingsWithTheirNames) {
    const auto scenario = folder_.write("bus.json", R"({"devices": [{"name": "base", "location": [3], "preset": 49}]})");
    const ServeRun served = serve(scenario, {"dfu-util", "-l"});
    ASSERT_EQ(served.process.exitCode, 0) << served.process.err;
    const char* names[] = {"@Internal Flash  /0x08000000/128*0002Kg", "@Option Bytes  /0x1FFFF800/01*016 e",
                           "@OTP Memory /0x1FFF7800/01*512 e,01*016 e", "@Device Feature/0xFFFF0000/01*004 e"};
    for (int alt = 0; alt < 4; ++alt) {
        const std::string line = "[0483:df11] ver=2200, devnum=2, cfg=1, intf=0, path=\"1-3\", alt=" +
                                 std::to_string(alt) + ", name=\"" + names[alt] + "\"";
        EXPECT_NE(served.process.out.find(line), std::string::npos) << line << "\n" << served.process.out;
    }
    EXPECT_EQ(served.device()["usb"], "1-3");
}

TEST_F(ServedModels, DfuUtilReadsWhatTheScenarioWroteAndWritesWhatItReadsBack) {
    const std::string stored = pattern(3000, 1);
    const std::string file = pattern(4096, 2);
    const auto image = folder_.write("image.bin", file);
    struct Case {
        const char* what;
        std::vector<std::string> command;
        std::string expected;
    };
    const std::string up = (folder_.path() / "up.bin").string();
    std::string optionBytes;
    for (std::size_t i = 0; i < 32; i += 2) {
        optionBytes += static_cast<char>(std::stoi(std::string(kOptionBytes).substr(i, 2), nullptr, 16));
    }
    const std::vector<Case> cases = {
        // Three blocks of 1024, 1024 and 952 bytes: the last one shorter than the transfer size.
        {"upload of the option bytes", {"dfu-util", "-a", "1", "-s", "0x1FFFF800:16", "-U", up}, optionBytes},
        {"upload of whole blocks", {"dfu-util", "-a", "0", "-s", "0x08000000:2048", "-U", up}, stored.substr(0, 2048)},
        {"download, then upload",
         {"sh", "-c",
          "dfu-util -a 0 -s 0x08000000 -D " + image.string() + " && dfu-util -a 0 -s 0x08000000:4096 -U " + up},
         file},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(up);
        const auto scenario = folder_.write("bus.json", smallDevice(hexOf(stored)));
        const ServeRun served = serve(scenario, c.command);
        ASSERT_EQ(served.process.exitCode, 0) << c.what << "\n" << served.process.out << served.process.err;
        EXPECT_EQ(difference(ostdfu_test::fileContents(up), c.expected), "") << c.what;
    }
}

TEST_F(ServedModels, DfuUtilAnUploadWithAShortLastBlockReturnsExactlyTheStoredBytes) {
    const std::string stored = pattern(3000, 1);
    const auto scenario = folder_.write("bus.json", smallDevice(hexOf(stored)));
    const std::string up = (folder_.path() / "up.bin").string();
    // Blocks of 1024, 1024 and 952 bytes: the last one is shorter than the transfer size.
    const ServeRun served = serve(scenario, {"dfu-util", "-a", "0", "-s", "0x08000000:3000", "-U", up});
    ASSERT_EQ(served.process.exitCode, 0) << served.process.out << served.process.err;
    EXPECT_EQ(difference(ostdfu_test::fileContents(up), stored), "");
}

TEST_F(ServedModels, DfuUtilMassEraseLeavesTheFlashAsABlankDeviceHasIt) {
    const auto blank = folder_.write("blank.json", smallDevice(""));
    const ServeRun reference = serve(blank, {"true"});
    ASSERT_EQ(reference.process.exitCode, 0) << reference.process.err;

    const auto written = folder_.write("bus.json", smallDevice(hexOf(pattern(5000, 3))));
    const ServeRun erased = serve(written, {"dfu-util", "-a", "0", "-s", "0x08000000:mass-erase:force"});
    ASSERT_EQ(erased.process.exitCode, 0) << erased.process.out << erased.process.err;
    EXPECT_NE(erased.process.out.find("Performing mass erase"), std::string::npos);
    EXPECT_EQ(erased.device()["memory_crc32"], reference.device()["memory_crc32"]);
    EXPECT_EQ(erased.device()["status"], "OK");
}

TEST_F(ServedModels, DfuUtilLeaveStartsTheApplicationAndTheDeviceLeavesTheBus) {
    const auto scenario = folder_.write("bus.json", smallDevice(""));
    const ServeRun served = serve(scenario, {"dfu-util", "-a", "0", "-s", "0x08000000:leave"});
    EXPECT_EQ(served.process.exitCode, 0) << served.process.out << served.process.err;
    EXPECT_EQ(served.device()["presence"], "in application");
    EXPECT_EQ(served.device()["application_start"], "0x08000000");
    EXPECT_TRUE(served.device()["devnode"].is_null());
}

TEST_F(ServedModels, DfuUtilAReadProtectedDeviceRefusesTheUploadAndKeepsItsMemory) {
    const auto scenario = folder_.write("bus.json", smallDevice(hexOf(pattern(2048, 4)), true));
    const ServeRun before = serve(scenario, {"true"});
    const std::string up = (folder_.path() / "up.bin").string();
    const ServeRun served = serve(scenario, {"dfu-util", "-a", "0", "-s", "0x08000000:2048", "-U", up});
    EXPECT_NE(served.process.exitCode, 0) << served.process.out;
    EXPECT_NE(served.process.err.find("LIBUSB_ERROR_PIPE"), std::string::npos) << served.process.err;
    EXPECT_EQ(ostdfu_test::fileContents(up), "");
    EXPECT_EQ(served.device()["memory_crc32"], before.device()["memory_crc32"]);
}

TEST_F(ServedModels, DfuhostAndDfuUtilFlashTheSameDfuFileToTheSameMemoryAndReadEachOthersWrites) {
    // Two elements, each ending inside a page and in a block shorter than the transfer size,
    // over a flash that already holds data: pages 3, 4 and 7 must survive, the others are
    // erased and written. A flasher that erases a page too many or too few shows in the CRC.
    const std::string before = pattern(8192, 9);
    client::FirmwareImage image;
    image.settingsGiven = true;
    const std::tuple<std::uint32_t, unsigned, std::size_t> elements[] = {{0x08000000, 5, 3000},
                                                                         {0x08001400, 6, 1500}};
    for (const auto& [address, seed, length] : elements) {
        const std::string bytes = pattern(length, seed);
        image.elements.push_back({0, address, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
    }
    const std::filesystem::path file = folder_.path() / "image.dfu";
    client::saveImage(file, image);
    std::string expected = before;
    for (std::size_t page : {0, 1, 2, 5, 6}) expected.replace(page * 1024, 1024, 1024, '\xff');
    for (const client::ImageElement& e : image.elements) {
        std::copy(e.data.begin(), e.data.end(), expected.begin() + (e.address - 0x08000000u));
    }

    const std::string dfuhost = DFUHOST_PATH;
    const std::string back = (folder_.path() / "back.bin").string();
    const struct {
        const char* what;
        std::string flash;
        std::string readBack;
    } cases[] = {
        {"dfuhost flashes, dfu-util reads", dfuhost + " --usb flash 1-3 " + file.string(),
         "dfu-util -a 0 -s 0x08000000:8192 -U " + back},
        {"dfu-util flashes, dfuhost reads", "dfu-util -a 0 -D " + file.string(),
         dfuhost + " --usb read 1-3 " + back + " --address 0x08000000 --length 8192"},
    };
    std::vector<nlohmann::json> crcs;
    for (const auto& c : cases) {
        std::filesystem::remove(back);
        const auto scenario = folder_.write("bus.json", smallDevice(hexOf(before)));
        const ServeRun served = serve(scenario, {"sh", "-c", c.flash + " && " + c.readBack});
        ASSERT_EQ(served.process.exitCode, 0) << c.what << "\n" << served.process.out << served.process.err;
        EXPECT_EQ(difference(ostdfu_test::fileContents(back), expected), "") << c.what;
        EXPECT_EQ(served.device()["status"], "OK") << c.what;
        crcs.push_back(served.device()["memory_crc32"]);
    }
    EXPECT_EQ(crcs[0], crcs[1]);
}

// A port cycle through libusb is a reset, after which the kernel sets the configuration again:
// another program finds the device as usable as before and reads what was written.
TEST_F(ServedModels, DfuUtilReadsWhatDfuhostFlashedAfterAPortCycle) {
    const std::string image = pattern(3000, 7);
    const auto file = folder_.write("app.bin", image);
    const auto scenario = folder_.write("bus.json", smallDevice(""));
    const std::string dfuhost = DFUHOST_PATH;
    const std::string back = (folder_.path() / "back.bin").string();
    const ServeRun served =
        serve(scenario, {"sh", "-c",
                         dfuhost + " --usb flash 1-3 " + file.string() + " --address 0x08000000 && " + dfuhost +
                             " --usb cycle-port 1-3 && dfu-util -a 0 -s 0x08000000:3000 -U " + back});
    ASSERT_EQ(served.process.exitCode, 0) << served.process.out << served.process.err;
    EXPECT_EQ(difference(ostdfu_test::fileContents(back), image), "");
}

// The option-byte write resets the device under the driver's next request; through libusb that
// must end as a write done, every time, whichever of the two ways asks for it.
TEST_F(ServedModels, OptionBytesWrittenThroughLibusbEndTheProcessWell) {
    const std::string first = "0123456789abcdef0123456789abcdef";
    const std::string second = "fedcba9876543210fedcba9876543210";
    std::string bytes;
    for (std::size_t i = 0; i < second.size(); i += 2) bytes += static_cast<char>(std::stoi(second.substr(i, 2), nullptr, 16));
    const auto file = folder_.write("ob.bin", bytes);
    const auto scenario = folder_.write("bus.json", smallDevice(""));
    const std::string dfuhost = DFUHOST_PATH;
    // Each write resets the device, which comes back at another address: the next command waits
    // (at most 30 s) until libusb lists it there.
    const std::string rounds =
        "d=/sys/devices/pci0000:00/usb1/1-3; "
        "run() { n=$(cat $d/devnum); \"$@\" || exit $?; for i in $(seq 600); do "
        "m=$(cat $d/devnum 2>/dev/null) && [ \"$m\" != \"$n\" ] && lsusb -s 1:$m >/dev/null && return; "
        "sleep 0.05; done; exit 9; }; "
        "for i in 1 2 3 4; do run " + dfuhost + " --usb option-bytes write 1-3 " + first + " --allow; run " + dfuhost +
        " --usb flash 1-3 " + file.string() + " --address 0x1FFFF800 --option-bytes; done; " + dfuhost +
        " --usb --json option-bytes read 1-3";
    const ServeRun served = serve(scenario, {"sh", "-c", rounds});
    ASSERT_EQ(served.process.exitCode, 0) << served.process.out << served.process.err;
    const std::string out = served.commandOut();
    // The read's JSON is the last document; the lines before it are the writes' own.
    const nlohmann::json read = nlohmann::json::parse(out.substr(out.rfind("\n{") + 1));
    EXPECT_EQ(read["option_bytes"], second);
}

// A read-protected device through libusb: the unprotect makes it leave and come back at another
// address; dfuhost waits for it, identifies it and flashes the image, a .dfu made for its
// product as well as a raw one.
TEST_F(ServedModels, DfuhostUnprotectsAndFlashesAProtectedDeviceThroughLibusb) {
    const std::string image = pattern(5000, 8);
    client::FirmwareImage dfu;
    dfu.elements.push_back({0, 0x08000000, std::vector<std::uint8_t>(image.begin(), image.end())});
    dfu.product = client::ImageProduct{0x3A7C, 0x5031, 0xFFFF};  // the product of preset 49
    client::saveImage(folder_.path() / "app.dfu", dfu);
    const std::string raw = folder_.write("app.bin", image).string() + " --address 0x08000000";
    const auto scenario = folder_.write("bus.json", R"({"devices": [{"name": "unit", "location": [3], "preset": 49,
        "read_protected": true, "timings": {"read_unprotect": {"poll_ms": 20, "busy_ms": 200},
        "page_erase": {"poll_ms": 5, "busy_ms": 5}, "write": {"poll_ms": 2, "busy_ms": 2}}}]})");
    const std::string back = (folder_.path() / "back.bin").string();
    for (const std::string& file : {(folder_.path() / "app.dfu").string(), raw}) {
        SCOPED_TRACE(file);
        std::filesystem::remove(back);
        const ServeRun served =
            serve(scenario, {"sh", "-c",
                             std::string(DFUHOST_PATH) + " --usb flash 1-3 " + file +
                                 " --unprotect && dfu-util -a 0 -s 0x08000000:5000 -U " + back});
        EXPECT_EQ(served.process.exitCode, 0) << served.process.out << served.process.err;
        EXPECT_NE(served.process.err.find("removing read protection"), std::string::npos) << served.process.err;
        EXPECT_EQ(difference(ostdfu_test::fileContents(back), image), "");
    }
}

// A hub of three units flashed at once through libusb: each ends with the same memory.
TEST_F(ServedModels, DfuhostFlashesEveryServedDeviceAtOnce) {
    const std::string unit = smallDevice("");
    const std::size_t open = unit.find('{', 1);
    const std::string entry = unit.substr(open, unit.rfind(']') - open);
    std::string devices;
    for (const char* port : {"3", "4", "5"}) {
        std::string own = entry;
        own.replace(own.find(R"("unit", "location": [3])"), 23, std::string(R"("unit-)") + port + R"(", "location": [)" + port + "]");
        devices += (devices.empty() ? "" : ",") + own;
    }
    const auto scenario = folder_.write("hub.json", R"({"devices": [)" + devices + "]}");
    const std::string image = pattern(5000, 3);
    const auto file = folder_.write("app.bin", image);
    const ServeRun served = serve(scenario, {DFUHOST_PATH, "--usb", "--json", "flash", "--all", file.string(),
                                             "--address", "0x08000000"});
    ASSERT_EQ(served.process.exitCode, 0) << served.process.out << served.process.err;
    const std::string out = served.process.out;
    const auto results = nlohmann::json::parse(out.substr(0, out.rfind("{\n  \"exit_code\"")));
    ASSERT_EQ(results.size(), 3u) << results;
    ASSERT_EQ(served.report["devices"].size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(results[i]["ok"], true) << results[i];
        EXPECT_EQ(results[i]["verified_bytes"], image.size());
        EXPECT_EQ(served.report["devices"][i]["memory_crc32"], served.report["devices"][0]["memory_crc32"]);
    }
}

TEST_F(ServedModels, TheCommandsExitCodeComesBack) {
    const auto scenario = folder_.write("bus.json", smallDevice(""));
    const struct {
        std::vector<std::string> command;
        int code;
    } cases[] = {
        {{"true"}, 0},
        {{"sh", "-c", "exit 3"}, 3},
        {{"sh", "-c", "kill -TERM $$"}, 128 + 15},
        {{"no-such-program-anywhere"}, 127},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(serve(scenario, c.command).process.exitCode, c.code) << c.command.back();
    }
    const ProcessResult none = ostdfu_e2e::runDfuhost({"serve", "--sim", scenario.string()});
    EXPECT_EQ(none.exitCode, 2);
    const ProcessResult usb = ostdfu_e2e::runDfuhost({"--usb", "serve", "--", "true"});
    EXPECT_EQ(usb.exitCode, 2);
    EXPECT_NE(usb.err.find("--usb does not apply"), std::string::npos) << usb.err;
}

TEST_F(ServedModels, TheRecordHoldsEveryTransferAsItHappened) {
    const auto scenario = folder_.write("bus.json", smallDevice(""));
    const auto record = folder_.path() / "usb.jsonl";
    const ServeRun served = serve(scenario, {"dfu-util", "-a", "1", "-s", "0x1FFFF800:16", "-U",
                                             (folder_.path() / "ob.bin").string()},
                                  {"--record", record.string()});
    ASSERT_EQ(served.process.exitCode, 0) << served.process.err;
    std::istringstream lines(ostdfu_test::fileContents(record));
    std::string line;
    std::vector<nlohmann::json> transfers;
    while (std::getline(lines, line)) transfers.push_back(nlohmann::json::parse(line));
    ASSERT_FALSE(transfers.empty());
    std::uint64_t last = 0;
    bool optionBytesRead = false;
    for (const nlohmann::json& t : transfers) {
        EXPECT_EQ(t["device"], "unit");
        EXPECT_GE(t["time_us"].get<std::uint64_t>(), last);
        last = t["time_us"];
        // UPLOAD, block 2, 16 bytes: the option bytes themselves.
        if (t["setup"] == "a102020000001000") {
            optionBytesRead = true;
            EXPECT_EQ(t["data"], kOptionBytes);
            EXPECT_EQ(t["length"], 16);
        }
    }
    EXPECT_TRUE(optionBytesRead);
}

TEST_F(ServedModels, CablesArePluggedAndPulledWhileTheCommandRuns) {
    // "late" arrives 1.5 s in, "early" leaves then: the command waits for the change (at most
    // 10 s), so nothing here depends on how fast the machine is.
    const auto scenario = folder_.write("bus.json", R"({
        "devices": [{"name": "early", "location": [1], "serial": "EEEE00000001"},
                    {"name": "late", "location": [2], "serial": "EEEE00000002"}],
        "actions": [{"wait_ms": 1500}, {"plug": "late"}, {"surprise_remove": "early"}]})");
    const std::string listing = (folder_.path() / "first.txt").string();
    const ServeRun served = serve(
        scenario, {"sh", "-c",
                   "dfu-util -l > " + listing +
                       "; for i in $(seq 200); do dfu-util -l | grep -q EEEE00000002 && break; sleep 0.05; done;"
                       " sleep 0.2; dfu-util -l"});
    ASSERT_EQ(served.process.exitCode, 0) << served.process.err;
    const std::string first = ostdfu_test::fileContents(listing);
    EXPECT_NE(first.find("EEEE00000001"), std::string::npos) << first;
    EXPECT_EQ(first.find("EEEE00000002"), std::string::npos) << first;
    const std::string after = served.commandOut();
    EXPECT_EQ(after.find("EEEE00000001"), std::string::npos) << after;
    EXPECT_NE(after.find("EEEE00000002"), std::string::npos) << after;
    EXPECT_EQ(served.report["devices"][0]["presence"], "unplugged");
    EXPECT_EQ(served.report["devices"][1]["presence"], "attached");
}

}  // namespace
