// The parts of `dfuhost serve` that need no testbed: where a device stands in Linux's terms,
// the preload a command inherits, the hot-plug script read from a scenario and the record line.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host/umockdev/testbed.h"
#include "tools/scenario/scenario.h"
#include "tools/serve/hotplug_script.h"
#include "tools/serve/transfer_log.h"

namespace {

namespace um = host::umockdev;
using dfuhost::HotPlugStep;

TEST(ServeParts, APlaceGivesTheNamesLinuxGivesTheDevice) {
    struct Case {
        um::UsbPlace place;
        const char* name;
        const char* path;
        const char* node;
    };
    const Case cases[] = {
        {{1, {3}, 2}, "1-3", "/devices/pci0000:00/usb1/1-3", "/dev/bus/usb/001/002"},
        {{1, {15, 2}, 18}, "1-15.2", "/devices/pci0000:00/usb1/1-15/1-15.2", "/dev/bus/usb/001/018"},
        {{16, {1, 2, 3}, 127}, "16-1.2.3", "/devices/pci0000:00/usb16/16-1/16-1.2/16-1.2.3",
         "/dev/bus/usb/016/127"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.place.sysfsName(), c.name);
        EXPECT_EQ(c.place.sysfsPath(), c.path);
        EXPECT_EQ(c.place.devnode(), c.node);
        // libusb reads the numbers and the descriptors from sysfs, not from the device.
        um::DeviceSysfs sysfs;
        sysfs.descriptors = {0x12, 0x01};
        const std::string record = um::deviceRecord(c.place, sysfs);
        EXPECT_EQ(record.rfind(std::string("P: ") + c.path + "\n", 0), 0u) << record;
        EXPECT_NE(record.find("A: devnum=" + std::to_string(c.place.address) + "\\n\n"), std::string::npos);
        EXPECT_NE(record.find("H: descriptors=1201\n"), std::string::npos);
    }
}

TEST(ServeParts, TheCommandGetsThePreloadLibraryExactlyOnce) {
    const std::string library = um::preloadLibrary();
    EXPECT_EQ(um::childPreload(nullptr), library);
    EXPECT_EQ(um::childPreload(""), library);
    EXPECT_EQ(um::childPreload("libother.so"), library + ":libother.so");
    // Started under umockdev already (a test runner under umockdev-wrapper): left as it is.
    EXPECT_EQ(um::childPreload("libumockdev-preload.so.0:libother.so"), "libumockdev-preload.so.0:libother.so");
}

TEST(ServeParts, TheScriptKeepsTheCablesAndTheirTimesAndLeavesTheDriversActionsOut) {
    const scenario::Scenario s = scenario::parseScenarioText(R"({
        "devices": [{"name": "a", "location": [1]}, {"name": "b", "location": [2]},
                    {"name": "c", "location": [3]}],
        "actions": [
            {"open": "h", "device": "c"},
            {"plug": "a"},
            {"wait_ms": 200},
            {"plug": "b"},
            {"wait_ms": 50},
            {"surprise_remove": "a"},
            {"remove": "c"},
            {"close": "h"},
            {"wait_ms": 25},
            {"plug": "a"},
            {"surprise_remove": "c"}
        ]})",
                                                                "hotplug.json");
    const dfuhost::HotPlugScript script = dfuhost::hotPlugScriptOf(s);
    const std::vector<HotPlugStep> expected = {
        {HotPlugStep::Kind::Plug, "a", 0},     {HotPlugStep::Kind::Plug, "b", 200},
        {HotPlugStep::Kind::Pull, "a", 250},   {HotPlugStep::Kind::Plug, "a", 275},
        {HotPlugStep::Kind::Pull, "c", 275},
    };
    EXPECT_EQ(script.steps, expected);
    // a and b are plugged before anything pulls them: they arrive one after another. c is on the
    // bus from the start.
    EXPECT_TRUE(script.startsUnplugged("a"));
    EXPECT_TRUE(script.startsUnplugged("b"));
    EXPECT_FALSE(script.startsUnplugged("c"));
    EXPECT_EQ(script.skipped, 3u);
}

TEST(ServeParts, ARecordLineCarriesTheWireFormAndTheOutcome) {
    const std::uint8_t status[] = {0x00, 0x64, 0x00, 0x00, 0x04, 0x00};
    const nlohmann::json line = nlohmann::json::parse(dfuhost::transferLine(
        1523, "unit", {0xA1, 0x03, 0, 0, 6}, status, {host::TransferStatus::Completed, 6}));
    EXPECT_EQ(line["time_us"], 1523);
    EXPECT_EQ(line["device"], "unit");
    EXPECT_EQ(line["setup"], "a103000000000600");
    EXPECT_EQ(line["data"], "006400000400");
    EXPECT_EQ(line["status"], "completed");
    EXPECT_EQ(line["length"], 6);
    const nlohmann::json stalled = nlohmann::json::parse(
        dfuhost::transferLine(0, "unit", {0x21, 0x01, 1, 0, 0}, {}, {host::TransferStatus::Stalled, 0}));
    EXPECT_EQ(stalled["status"], "stalled");
    EXPECT_EQ(stalled["data"], "");
}

TEST(ServeParts, TimingsAreReadPerOperationAndBadOnesNamed) {
    const scenario::Scenario s = scenario::parseScenarioText(
        R"({"devices": [{"name": "a", "timings": {"mass_erase": {"poll_ms": 20, "busy_ms": 30},
                                                  "write": {"poll_ms": 2}}}]})",
        "t.json");
    ASSERT_EQ(s.devices[0].timings.size(), 2u);
    EXPECT_EQ(s.devices[0].timings[0].operation, "mass_erase");
    EXPECT_EQ(s.devices[0].timings[0].pollMs, 20u);
    EXPECT_EQ(s.devices[0].timings[0].busyMs, 30u);
    EXPECT_EQ(s.devices[0].timings[1].busyMs, std::nullopt);

    const struct {
        const char* timings;
        const char* path;
    } bad[] = {
        {R"({"erase_all": {"poll_ms": 1}})", "devices[0].timings.erase_all"},
        {R"({"write": {"poll": 1}})", "devices[0].timings.write.poll"},
        // The announced time is a 24-bit field of the status reply.
        {R"({"write": {"poll_ms": 16777216}})", "devices[0].timings.write.poll_ms"},
    };
    for (const auto& b : bad) {
        try {
            scenario::parseScenarioText(std::string(R"({"devices": [{"name": "a", "timings": )") + b.timings + "}]}",
                                        "t.json");
            ADD_FAILURE() << b.timings << " was accepted";
        } catch (const scenario::ScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(b.path), std::string::npos) << e.what();
        }
    }
}

}  // namespace
