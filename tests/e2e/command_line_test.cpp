// dfuhost's commands as a person or a script runs them: the demo bus listing, help on every
// command, the exit codes, and the messages that name what was wrong.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/dfuhost_process.h"

namespace ostdfu_e2e {
namespace {

using nlohmann::json;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(CommandLine, ListShowsTheDemoBusIdentifiedOneLinePerDevice) {
    const ProcessResult run = runDfuhost({"list"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), 17u) << run.out;
    EXPECT_TRUE(contains(lines[0], "DEVICE") && contains(lines[0], "INTERFACES"));
    const struct {
        const char* device;
        std::vector<const char*> parts;
    } expected[] = {
        {"drift-pedals", {"0:1", "35 Kalvora Drift Pedals", "3a7c:5023", "0x0105", "driver,product"}},
        {"pulse-dj", {"68 Kalvora Pulse DJ Controller Plus", "3a7c:5043/2001"}},
        {"horizon-stick", {"28 Corvane Horizon Flight Stick", "driver,product,companion"}},
        {"locked-base", {"24 STM32 bootloader", " yes "}},
        {"blank", {"24 STM32 bootloader", "0483:df11", " no "}},
        {"unknown-product", {"24 STM32 bootloader"}},
        {"strada-wheel", {"0:15.1", "27 Kalvora Strada Wheel", "0000001b0042a5a5"}},
        {"strada-base", {"0:15.2", "41 Kalvora Strada Wheel Base", "0000002900135a5a"}},
    };
    for (const auto& e : expected) {
        const auto line = std::find_if(lines.begin(), lines.end(),
                                       [&](const std::string& l) { return l.rfind(e.device, 0) == 0; });
        ASSERT_NE(line, lines.end()) << e.device;
        for (const char* part : e.parts) EXPECT_TRUE(contains(*line, part)) << *line << "\n  lacks " << part;
    }
}

TEST(CommandLine, ListAsJsonCoversEveryProductFamilyOfTheDemoBus) {
    const ProcessResult run = runDfuhost({"list", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json list = run.json();
    ASSERT_EQ(list.size(), 16u);
    std::set<std::string> families;
    unsigned unidentified = 0;
    for (const json& d : list) {
        EXPECT_EQ(d.at("published"), true) << d.at("name");
        const std::string product = d.at("product");
        if (d.at("product_code") == 24) {
            ++unidentified;
        } else {
            families.insert(product.substr(0, product.find(' ', product.find(' ') + 1)));
        }
    }
    EXPECT_EQ(unidentified, 3u) << "read-protected, blank, unknown identity";
    const std::set<std::string> all = {"Kalvora Drift",   "Kalvora Classic", "Kalvora Strada",  "Kalvora Circuit",
                                       "Kalvora Apex",    "Kalvora Summit",  "Kalvora Pulse",   "Corvane Vector",
                                       "Corvane Horizon", "Corvane Orbit",   "Corvane Meridian", "Oskeny Pulse"};
    EXPECT_EQ(families, all);
}

TEST(CommandLine, EveryCommandExplainsItselfWithHelp) {
    const std::vector<std::vector<std::string>> commands = {
        {},           {"list"},     {"info"},        {"events"},       {"run"},        {"ioctl"},
        {"leave"},    {"set-idle"}, {"mass-erase"},  {"read-unprotect"}, {"cycle-port"}, {"reset-port"},
        {"ping"},     {"detach"},   {"erase-eeprom"}, {"begin-dfu"},   {"param"},      {"poll"},
        {"set-version"}, {"descriptor"}, {"option-bytes"}, {"option-bytes", "read"}, {"option-bytes", "write"},
        {"watch"},
    };
    for (std::vector<std::string> command : commands) {
        std::string name = "dfuhost";
        for (const std::string& word : command) name += " " + word;
        command.push_back("--help");
        const ProcessResult run = runDfuhost(command);
        EXPECT_EQ(run.exitCode, 0) << name;
        EXPECT_TRUE(contains(run.out, "Usage: " + name)) << run.out;
    }
    const ProcessResult top = runDfuhost({"--help"});
    for (const char* part : {"--sim", "--registry", "--os-version", "--json", "--trace", "--real-time", "Exit codes"}) {
        EXPECT_TRUE(contains(top.out, part)) << part;
    }
}

// The version stands before or after a command and ends the run there: nothing else is done,
// not even bringing up the bus (a --sim file that does not exist goes unread).
TEST(CommandLine, VersionNamesTheProjectsVersionWhereverItStands) {
    const std::string expected = std::string("dfuhost ") + OSTDFU_VERSION;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--version"}, {"list", "--version"}, {"--sim", "no-such.json", "--version"}}) {
        const ProcessResult run = runDfuhost(arguments);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const auto lines = linesOf(run.out);
        ASSERT_EQ(lines.size(), 1u) << run.out;
        EXPECT_TRUE(lines[0] == expected || lines[0].rfind(expected + " (commit ", 0) == 0) << lines[0];
        EXPECT_EQ(run.err, "");
    }
}

struct ExitCase {
    std::vector<std::string> arguments;
    int exitCode;
    const char* message;  // on stderr; empty: not checked
};

TEST(CommandLine, ExitCodesTellSuccessFailedOperationAndBadUsageApart) {
    const std::string missing = scenarioPath("no-such-file.json").string();
    const ExitCase cases[] = {
        {{"mass-erase", "apex-pedals"}, 0, ""},
        {{"--json", "ioctl", "3", "IOCTL_DFU_GET_READ_PROTECT_STATE", "--out", "4"}, 0, ""},
        {{"ioctl", "3", "IOCTL_DFU_GET_DEVICE_CAPS"}, 1, ""},                   // no output buffer
        {{"option-bytes", "write", "drift-pedals", "a55aff00ff00ff00ff00ff00ff00ff00"}, 1, ""},  // not allowed
        {{"param", "blank", "NoSuchValue"}, 1, ""},
        {{"info", "nosuch"}, 2, "no device \"nosuch\" on this bus"},
        {{"info", "17"}, 2, "no device \"17\""},
        {{"frobnicate"}, 2, "frobnicate"},
        {{}, 2, "no command given"},
        {{"--os-version", "6", "list"}, 2, "--os-version 6: expected MAJOR.MINOR"},
        {{"--trace", "everything", "list"}, 2, "--trace everything: expected usb, driver or all"},
        {{"ioctl", "1", "IOCTL_DFU_NOPE"}, 2, "control code"},
        {{"ioctl", "1", "IOCTL_DFU_SET_IDLE", "--in", "abc"}, 2, "--in: expected hex digits in pairs"},
        {{"ioctl", "1", "IOCTL_DFU_SET_IDLE", "--interface", "companion"}, 2, "publishes no companion interface"},
        {{"--sim", missing, "list"}, 2, "no-such-file.json: cannot be read"},
        {{"--sim", scenarioPath("arrival.json").string(), "run", scenarioPath("arrival.json").string()}, 2,
         "--sim does not apply"},
        {{"--registry", missing, "list"}, 2, "no-such-file.json"},
        // The station refuses what it cannot do before it touches a unit.
        {{"watch"}, 2, "dfuhost --usb watch"},
        {{"--usb", "--sim", missing, "watch"}, 2, "both name the bus"},
        {{"--usb", "watch", "--count", "0"}, 2, "--count: at least one unit"},
        {{"--usb", "watch", "--count", "many"}, 2, "--count: expected a number"},
        {{"--usb", "watch", "--flash", missing}, 2, "no-such-file.json"},
        {{"--usb", "watch", "--flash", missing, "--address", "nowhere"}, 2, "--address: expected a number"},
        {{"--usb", "watch", "--unprotect"}, 2, "--unprotect"},
    };
    for (const ExitCase& c : cases) {
        std::string name;
        for (const std::string& word : c.arguments) name += " " + word;
        const ProcessResult run = runDfuhost(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << "dfuhost" << name << "\n" << run.err;
        EXPECT_TRUE(contains(run.err, c.message)) << "dfuhost" << name << "\n  stderr: " << run.err;
    }
}

TEST(CommandLine, MalformedScenariosStopWithCode2AndTheElementsPath) {
    TemporaryFolder folder;
    const struct {
        const char* document;
        const char* message;
    } cases[] = {
        {R"({"devices": [{"name": "a", "faults": [{"request": "ANY", "action": "stal"}]}]})",
         "devices[0].faults[0].action: expected stall, timeout, unplug or reply, got \"stal\""},
        {R"({"devices": [{"name": "a"}, {"name": "b", "preset": 99}]})",
         "devices[1].preset: expected a product code of the product table, or \"blank\""},
        {R"({"devices": [{"name": "a", "segments": ["@Flash/0x08000000/4*2Q"]}]})",
         "devices[0].segments[0]: expected a layout string"},
        {R"({"devices": [{"name": "a", "memory": [{"address": "0x30000000", "hex": "00"}]}]})",
         "devices[0].memory[0]: expected bytes that lie inside one segment of the device"},
        {R"({"devices": [{"name": "a", "preset": 35, "identity_records": [{"pid": 1}]}]})",
         "devices[0].identity_records: expected a device with an identity area (alternate setting 2)"},
        {R"({"parameters": "missing.reg"})", "parameters: expected a .reg file that loads"},
        {R"({"actions": [{"surprise_remove": "ghost"}]})",
         "actions[0].surprise_remove: expected the name of a device of this scenario, got \"ghost\""},
    };
    for (const auto& c : cases) {
        const auto file = folder.write("bad.json", c.document);
        for (const char* command : {"run", "list"}) {
            const ProcessResult run = std::string(command) == "run"
                                          ? runDfuhost({"run", file.string()})
                                          : runDfuhost({"--sim", file.string(), "list"});
            EXPECT_EQ(run.exitCode, 2) << command << " " << c.document;
            EXPECT_TRUE(run.out.empty()) << "nothing runs: " << run.out;
            EXPECT_TRUE(contains(run.err, file.string() + ": ")) << "names the file: " << run.err;
            EXPECT_TRUE(contains(run.err, c.message)) << command << "\n  expected: " << c.message
                                                       << "\n  stderr: " << run.err;
        }
    }
}

TEST(CommandLine, SimTakesTheScenariosDevicesAndNotItsActions) {
    const ProcessResult run = runDfuhost({"--sim", scenarioPath("removal.json").string(), "--json", "list"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json list = run.json();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].at("name"), "base");
    EXPECT_EQ(list[1].at("published"), true) << "its removal is an action, and actions do not run";
}

TEST(CommandLine, TheDriverIsInstalledFromItsPackageWithItsDefaults) {
    const ProcessResult run = runDfuhost({"param", "blank", "NumDfuBootIterBusyWaits"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "NumDfuBootIterBusyWaits = 75 (0x0000004b)")) << run.out;
}

TEST(CommandLine, InfoDecodesWhatTheUpdaterCanAsk) {
    const ProcessResult run = runDfuhost({"info", "strada-base", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json info = run.json();
    EXPECT_EQ(info.at("identity").at("app_pid"), 0x5029);
    EXPECT_EQ(info.at("caps").at("CapsVersion"), 2);
    EXPECT_EQ(info.at("caps").at("CapsProductType"), 41);
    EXPECT_EQ(info.at("caps").at("Serial"), "0x0000002900135a5a");
    EXPECT_EQ(info.at("segments").size(), 4u);
    EXPECT_EQ(info.at("segments")[0].at("base"), "0x08000000");
    EXPECT_EQ(info.at("manufacturer_serial").at("marker"), "0x53454546");
    EXPECT_EQ(info.at("option_bytes").get<std::string>().size(), 32u);
    EXPECT_FALSE(info.at("instance_string").get<std::string>().empty());

    const ProcessResult text = runDfuhost({"info", "16"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    for (const char* part : {"strada-base at 0:15.2", "capabilities record (3592 bytes)",
                             "CapsProductType             4  0x00000029 (41 Kalvora Strada Wheel Base)",
                             "segment 1       0x08000000"}) {
        EXPECT_TRUE(contains(text.out, part)) << part;
    }
}

TEST(CommandLine, EventsPrintTheWholeRunAsTextOrPackets) {
    const ProcessResult text = runDfuhost({"events"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    const auto lines = linesOf(text.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "device \\Driver\\ostdfu icode:DriverEntry.");
    EXPECT_EQ(lines.back(), "device \\Driver\\ostdfu icode:DriverEvtContextCleanup.");

    const ProcessResult raw = runDfuhost({"events", "--raw"});
    ASSERT_EQ(raw.exitCode, 0) << raw.err;
    const auto rawLines = linesOf(raw.out);
    ASSERT_EQ(rawLines.size(), lines.size());
    // 48-byte header, then "DriverEntry" in UTF-16 with its terminator at byte 48.
    EXPECT_TRUE(contains(rawLines.front(), "0x40070001 \\Driver\\ostdfu"));
    EXPECT_TRUE(contains(rawLines.front(), "dbdbdbdb0000000044007200690076006500720045006e0074007200790000"));
}

TEST(CommandLine, OperationsThatResetTheDeviceShowItAfterItsReturn) {
    const ProcessResult written = runDfuhost(
        {"--json", "option-bytes", "write", "drift-pedals", "a55aff00ff00ff00ff00ff00ff00ff00", "--allow"});
    ASSERT_EQ(written.exitCode, 0) << written.err;
    const json result = written.json();
    EXPECT_EQ(result.at("status"), "0x00000000");
    // The code 35 lived in the option bytes just replaced: back on the bus, the device is no product.
    EXPECT_EQ(result.at("after").at("product_code"), 24);

    const ProcessResult cycled = runDfuhost({"cycle-port", "strada-base"});
    ASSERT_EQ(cycled.exitCode, 0) << cycled.err;
    EXPECT_TRUE(contains(cycled.out, "cycle-port strada-base: STATUS_SUCCESS (0x00000000)"));
    EXPECT_TRUE(contains(cycled.out, "now: strada-base")) << cycled.out;
    EXPECT_TRUE(contains(cycled.out, "41 Kalvora Strada Wheel Base")) << "identified again after the cycle";
}

}  // namespace
}  // namespace ostdfu_e2e
