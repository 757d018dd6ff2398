// `dfuhost run` on the scenarios of tests/e2e/scenarios/: whole runs from arrival to unload,
// checked through the result document only, as another program would read it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/e2e/dfuhost_process.h"

namespace ostdfu_e2e {
namespace {

using nlohmann::json;

// A little-endian field of the capabilities record, from the hex a result carries.
std::uint64_t capsField(const json& device, std::size_t offset, std::size_t size) {
    const std::string hex = device.at("caps");
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;) {
        value = value << 8 | std::stoul(hex.substr(2 * (offset + i), 2), nullptr, 16);
    }
    return value;
}

std::vector<std::string> messagesOf(const json& result, const std::string& object = "") {
    std::vector<std::string> messages;
    for (const json& e : result.at("events")) {
        if (object.empty() || e.at("object") == object) messages.push_back(e.at("message"));
    }
    return messages;
}

void expectCleanEnd(const json& result) {
    EXPECT_EQ(result.at("leaks"), json::array());
    EXPECT_EQ(result.at("unloaded"), true);
    EXPECT_EQ(result.at("driver_entry"), "0x00000000");
    const json& events = result.at("events");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().at("text"), "DriverEntry");
    EXPECT_EQ(events.back().at("text"), "DriverEvtContextCleanup");
    EXPECT_EQ(events.back().at("object"), "\\Driver\\ostdfu");
    EXPECT_EQ(result.at("timer_resolution").at("requests"), result.at("timer_resolution").at("releases"));
}

struct Arrival {
    const char* device;
    unsigned productType;
    std::uint16_t appVid, appPid, appVariant;
    unsigned readProtect;
    bool product, companion;
    const char* productGuid;  // nullptr: none
};

// What each kind of product looks like once it has arrived: docs/products.md's rows.
const Arrival kArrivals[] = {
    {"pedals", 35, 0x3A7C, 0x5023, 0, 0, true, false, "{5c7a2301-3e21-4b7f-9a4c-61d208b53fe7}"},
    {"base", 41, 0x3A7C, 0x5029, 0, 0, true, false, "{5c7a2901-3e21-4b7f-9a4c-61d208b53fe7}"},
    {"dj", 68, 0x3A7C, 0x5043, 0x2001, 0, true, false, "{5c7a4401-3e21-4b7f-9a4c-61d208b53fe7}"},
    {"stick", 28, 0x2E91, 0x601C, 0, 0, true, true, "{5c7a1c01-3e21-4b7f-9a4c-61d208b53fe7}"},
    {"blank", 24, 0x0483, 0xDF11, 0, 0, false, false, nullptr},
    {"unknown", 24, 0x0483, 0xDF11, 0, 0, false, false, nullptr},
    {"locked", 24, 0x0483, 0xDF11, 0, 1, false, false, nullptr},
};

TEST(RunScenario, SeveralProductsArriveAndLeaveCleanly) {
    const json result = runScenarioFile("arrival.json");
    ASSERT_TRUE(result.is_object());
    const json& devices = result.at("devices");
    ASSERT_EQ(devices.size(), std::size(kArrivals));
    for (const Arrival& a : kArrivals) {
        SCOPED_TRACE(a.device);
        const json& d = devices.at(a.device);
        EXPECT_EQ(d.at("added"), true);
        EXPECT_EQ(d.at("add_status"), "0x00000000");
        EXPECT_EQ(d.at("PrepareHardwareDone"), 1);
        EXPECT_EQ(d.at("DeviceActive"), 1);
        EXPECT_EQ(d.at("ProductType"), a.productType);
        EXPECT_EQ(capsField(d, 4, 4), a.productType) << "CapsProductType follows ProductType";
        EXPECT_EQ(d.at("AppVid"), a.appVid);
        EXPECT_EQ(d.at("AppPid"), a.appPid);
        EXPECT_EQ(d.at("AppVariant"), a.appVariant);
        EXPECT_EQ(d.at("ReadProtectState"), a.readProtect);
        EXPECT_EQ(d.at("caps").get<std::string>().size(), 2u * 3592);
        const json& interfaces = d.at("interfaces");
        EXPECT_EQ(interfaces.at("driver"), true);
        EXPECT_EQ(interfaces.at("driver_guid"), "{1a8758aa-4297-4d87-80bd-56be721f66d0}");
        EXPECT_EQ(interfaces.at("product"), a.product);
        EXPECT_EQ(interfaces.at("companion"), a.companion);
        if (a.productGuid != nullptr) {
            EXPECT_EQ(interfaces.at("product_guid"), a.productGuid);
        }
        // The driver's first transfer is its own device-descriptor read: the hub's enumeration
        // stays out of the record.
        const auto transfers = usbOf(result, a.device);
        ASSERT_FALSE(transfers.empty());
        EXPECT_EQ(transfers.front().at("setup"), "8006000100001200");
        EXPECT_EQ(transfers.front().at("length"), 18);
    }
    EXPECT_EQ(devices.at("base").at("ManufacturerSerial"), "0x0000002900135a5a");
    EXPECT_EQ(capsField(devices.at("base"), 3152, 4), 0x0208u) << "FirmwareVersion";
    // Each device's preparation ends on its success tail, and each release names the product.
    const auto messages = messagesOf(result);
    for (unsigned pdo = 1; pdo <= std::size(kArrivals); ++pdo) {
        const std::string object = "device \\Device\\USBPDO-" + std::to_string(pdo);
        EXPECT_NE(std::find(messages.begin(), messages.end(), object + " icode:PrepHW: Code:0 status:0x0."),
                  messages.end())
            << object;
        const std::string released =
            object + " icode:RelHW: pcode:" + std::to_string(kArrivals[pdo - 1].productType) + ".";
        EXPECT_NE(std::find(messages.begin(), messages.end(), released), messages.end()) << released;
    }
    expectCleanEnd(result);
}

TEST(RunScenario, ReadProtectionIsRemovedAtArrivalWhenConfiguredAndTheDeviceComesBack) {
    const ProcessResult run = runScenarioText(R"({
        "parameters": {"ReadUnProtectIfReadProtected": 1},
        "devices": [{"name": "locked", "preset": 64, "read_protected": true}]})");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json result = run.json();
    const json& d = result.at("devices").at("locked");
    EXPECT_EQ(d.at("arrivals"), 2) << "the unprotect resets the device, which arrives again";
    EXPECT_EQ(d.at("ReadProtectState"), 0);
    EXPECT_EQ(d.at("ProductType"), 64) << "its memory can be read the second time";
    const json& events = result.at("events");
    const auto found = std::find_if(events.begin(), events.end(),
                                    [](const json& e) { return e.at("text") == "READPROTECTED: pcode:24"; });
    ASSERT_NE(found, events.end());
    EXPECT_EQ(found->at("id"), "0xc0070002");
    expectCleanEnd(result);
}

TEST(RunScenario, ControlCodesAnswerWithStatusInformationAndBytes) {
    const json result = runScenarioFile("control_codes.json");
    ASSERT_TRUE(result.is_object());
    const json& actions = result.at("actions");
    ASSERT_EQ(actions.size(), 15u);
    const auto expectAnswer = [&](std::size_t index, const char* status, unsigned information,
                                  const std::string& out) {
        SCOPED_TRACE("action " + std::to_string(index));
        EXPECT_EQ(actions.at(index).at("status"), status);
        EXPECT_EQ(actions.at(index).at("information"), information);
        if (out != "*") {
            EXPECT_EQ(actions.at(index).at("out"), out);
        }
    };
    EXPECT_EQ(actions[0].at("status"), "0x00000000");
    expectAnswer(1, "0x00000000", 3592, result.at("devices").at("a").at("caps"));
    expectAnswer(2, "0xc0000023", 0, "");              // one byte short of the record
    expectAnswer(3, "0xc000000d", 0, "");              // option bytes: length 0
    expectAnswer(4, "0xc000000d", 0, "");              // option bytes: length 17
    expectAnswer(5, "0x00000000", 16, "a55aff00ff00ff00ff00ff00ff00ff00");
    expectAnswer(6, "0x00000000", 0, "");
    expectAnswer(7, "0x00000000", 4, "07000000");      // the value just set, whatever it was
    expectAnswer(8, "0x00000000", 0, "");              // through the sequential queue
    expectAnswer(9, "0xc0000010", 0, "");              // not in the table
    expectAnswer(10, "0x00000000", 144, "*");
    const std::string serial = actions[10].at("out");
    EXPECT_EQ(serial.substr(0, 8), "46454553") << "the cache's marker";
    EXPECT_EQ(serial.substr(32, 16), "5a5a130029000000") << "the serial, little-endian";
    expectAnswer(11, "0x00000000", 1, "*");            // GETSTATE through the pass-through
    expectAnswer(12, "0x00000000", 18, "1201000100000040830411df002201020301");
    expectAnswer(13, "0x00000000", 0, "");             // mass erase
    EXPECT_EQ(actions[14], json::object());

    // The erase reached the device as the DfuSe command 0x41 alone, and changed its memory only.
    const auto transfers = usbOf(result, "a");
    EXPECT_NE(std::find_if(transfers.begin(), transfers.end(),
                           [](const json& t) {
                               return t.at("setup") == "2101000000000100" && t.at("data") == "41";
                           }),
              transfers.end());
    EXPECT_NE(result.at("devices").at("a").at("memory_crc32"), result.at("devices").at("b").at("memory_crc32"));
    const json& timer = result.at("timer_resolution");
    EXPECT_EQ(timer.at("requests"), 1) << "one handle, opened once";
    EXPECT_EQ(timer.at("releases"), 1);
    expectCleanEnd(result);
}

TEST(RunScenario, RemovedDevicesFailTheirHandlesAndComeBackWhenPlugged) {
    const json result = runScenarioFile("removal.json");
    ASSERT_TRUE(result.is_object());
    const json& actions = result.at("actions");
    EXPECT_EQ(actions[0].at("status"), "0x00000000");
    EXPECT_NE(actions[2].at("status"), "0x00000000") << "a request on the pulled device's handle";
    EXPECT_EQ(actions[3].at("status"), "0xc0000034") << "its interface is gone";
    EXPECT_EQ(actions[6].at("status"), "0x00000000") << "after the plug";
    EXPECT_EQ(actions[7].at("out"), "4b000000");
    EXPECT_EQ(actions[10].at("status"), "0xc0000034") << "after the orderly removal";

    const json& wheel = result.at("devices").at("wheel");
    EXPECT_EQ(wheel.at("arrivals"), 2);
    EXPECT_EQ(wheel.at("pnp_state"), "started");
    const json& base = result.at("devices").at("base");
    EXPECT_EQ(base.at("added"), false) << "deleted: no handle held it";
    EXPECT_EQ(base.at("pnp_state"), "removed");

    // The first arrival of the wheel was released before the second was prepared.
    const auto messages = messagesOf(result, "\\Device\\USBPDO-1");
    const std::vector<std::string> expected = {
        "device \\Device\\USBPDO-1 icode:pcode:24.",
        "device \\Device\\USBPDO-1 icode:AddDevice Code:0 status:0x0.",
        "device \\Device\\USBPDO-1 icode:PrepHW: pcode:24.",
        "device \\Device\\USBPDO-1 icode:PrepHW: Code:0 status:0x0.",
        "device \\Device\\USBPDO-1 icode:RelHW: pcode:27.",
        "device \\Device\\USBPDO-1 icode:DriverEvtContextCleanup.",
        "device \\Device\\USBPDO-1 icode:pcode:24.",
        "device \\Device\\USBPDO-1 icode:AddDevice Code:0 status:0x0.",
        "device \\Device\\USBPDO-1 icode:PrepHW: pcode:24.",
        "device \\Device\\USBPDO-1 icode:PrepHW: Code:0 status:0x0.",
        "device \\Device\\USBPDO-1 icode:RelHW: pcode:27.",
        "device \\Device\\USBPDO-1 icode:DriverEvtContextCleanup.",
    };
    EXPECT_EQ(messages, expected);
    expectCleanEnd(result);
}

TEST(RunScenario, APortCycleReEnumeratesOnceTheOldHandleIsClosed) {
    const ProcessResult run = runScenarioText(R"({
        "devices": [{"name": "base", "preset": 41}],
        "actions": [{"open": "h", "device": "base"},
                    {"ioctl": "IOCTL_DFU_CYCLE_PORT", "handle": "h"},
                    {"ioctl": "IOCTL_DFU_GET_BUSY_WAIT_LIMIT", "handle": "h", "out": 4},
                    {"open": "h2", "device": "base"},
                    {"close": "h"},
                    {"open": "h3", "device": "base"},
                    {"ioctl": "IOCTL_DFU_GET_BUSY_WAIT_LIMIT", "handle": "h3", "out": 4}]})");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json result = run.json();
    const json& a = result.at("actions");
    EXPECT_EQ(a[1].at("status"), "0x00000000");
    EXPECT_NE(a[2].at("status"), "0x00000000") << "the handle belongs to the device that left";
    EXPECT_EQ(a[3].at("status"), "0xc0000034") << "the new arrival waits for the old handle";
    EXPECT_EQ(a[5].at("status"), "0x00000000");
    EXPECT_EQ(a[6].at("out"), "4b000000");
    EXPECT_EQ(result.at("devices").at("base").at("arrivals"), 2);
    const auto transfers = usbOf(result, "base");
    EXPECT_EQ(std::count_if(transfers.begin(), transfers.end(),
                            [](const json& t) { return t.value("port", "") == "cycle"; }),
              1);
    expectCleanEnd(result);
}

TEST(RunScenario, ALeftBootloaderIsInItsApplicationUntilPluggedBack) {
    // The bootloader manifests on the GETSTATUS after leave; the driver's leave sends none, so
    // the updater polls through the pass-through (class request 3 to the interface).
    const ProcessResult run = runScenarioText(R"({
        "devices": [{"name": "base", "preset": 41}],
        "actions": [{"open": "h", "device": "base"},
                    {"ioctl": "IOCTL_DFU_LEAVE", "handle": "h"},
                    {"ioctl": "IOCTL_DFU_CONTROL_REQUEST_IN", "handle": "h",
                     "in": "010000000000000001000000030000000000000000000000", "out": 6},
                    {"close": "h"},
                    {"open": "h", "device": "base"},
                    {"plug": "base"},
                    {"open": "h2", "device": "base"}]})");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json result = run.json();
    const json& a = result.at("actions");
    EXPECT_EQ(a[2].at("out"), "006800000700") << "dfuMANIFEST, poll time-out 104 ms";
    EXPECT_EQ(a[4].at("status"), "0xc0000034") << "gone to its application";
    EXPECT_EQ(a[6].at("status"), "0x00000000") << "back as a bootloader";
    EXPECT_EQ(result.at("devices").at("base").at("arrivals"), 2);
    EXPECT_EQ(result.at("devices").at("base").at("ProductType"), 41);
    expectCleanEnd(result);
}

TEST(RunScenario, AHandleHeldToTheEndKeepsTheRemovedContextUntilTeardown) {
    const json result = runScenarioFile("removed_under_handle.json");
    ASSERT_TRUE(result.is_object());
    const json& base = result.at("devices").at("base");
    EXPECT_EQ(base.at("added"), true);
    EXPECT_EQ(base.at("pnp_state"), "removed");
    EXPECT_EQ(base.at("DeviceActive"), 0) << "cleared by the surprise removal";
    EXPECT_EQ(base.at("PrepareHardwareDone"), 0) << "cleared by the release";
    expectCleanEnd(result);
}

TEST(RunScenario, SiblingDriversGetTheSerialOfTheDeviceBelowTheirHub) {
    const json result = runScenarioFile("sibling.json");
    ASSERT_TRUE(result.is_object());
    const json& a = result.at("actions");
    ASSERT_EQ(a.size(), 7u);
    const auto expectAnswer = [&](std::size_t index, const char* value, const json& serial) {
        SCOPED_TRACE("action " + std::to_string(index));
        EXPECT_EQ(a.at(index).at("result"), value);
        EXPECT_EQ(a.at(index).at("serial"), serial);
        EXPECT_EQ(a.at(index).at("notify_status"), "0x00000000");
    };
    expectAnswer(0, "0x0000000000000000", "0x0000001b0042a5a5");  // wrong vendor: serial only
    expectAnswer(1, "0x0000000000000000", "0x0000001b0042a5a5");  // the pairing
    expectAnswer(2, "0x0000000000000000", "0x0000002900135a5a");  // the base, below hub 16
    expectAnswer(3, "0x0000000000000103", "0x0000000000000000");  // nobody below hub 17
    expectAnswer(4, "0xffffffffc0000010", nullptr);               // unknown command
    expectAnswer(6, "0x0000000000000077", "0x0000000000000000");  // the wheel is gone
    // The wheel took on the paired identity until it was removed: its release names it.
    const auto messages = messagesOf(result, "\\Device\\USBPDO-1");
    EXPECT_NE(std::find(messages.begin(), messages.end(), "device \\Device\\USBPDO-1 icode:RelHW: pcode:34."),
              messages.end());
    const json& base = result.at("devices").at("base");
    EXPECT_EQ(base.at("ProductType"), 41) << "a sibling of another product changes nothing";
    expectCleanEnd(result);
}

TEST(RunScenario, PairedIdentityShowsInTheContextAndTheCapabilitiesRecord) {
    const ProcessResult run = runScenarioText(R"({
        "devices": [{"name": "wheel", "preset": 27, "location": [2, 1],
                     "manufacturer_serial": "0x0000001b0042a5a5"}],
        "actions": [{"sibling_notify": {"vendor_id": "0x3A7C", "product_id": "0x5122",
                                        "location": [2, 2]}}]})");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json result = run.json();
    const json& wheel = result.at("devices").at("wheel");
    EXPECT_EQ(wheel.at("ProductType"), 34);
    EXPECT_EQ(wheel.at("AppPid"), 0x5022) << "paired product ID A, whichever the sibling announced";
    EXPECT_EQ(capsField(wheel, 4, 4), 34u);
    EXPECT_EQ(capsField(wheel, 1780, 4), 0x5022u) << "ProductKey";
    EXPECT_EQ(capsField(wheel, 3280, 8), 0x0000001b0042a5a5u) << "Serial";
    EXPECT_EQ(capsField(wheel, 3292, 4), 0x0801F800u) << "VersionAddress";
}

// Quirks are chosen per device: only the first device erases for longer than it announces, and
// only it answers its first status with errFIRMWARE.
TEST(RunScenario, QuirksAreChosenPerDevice) {
    const ProcessResult run = runScenarioText(R"({
      "devices": [
        {"name": "slow", "preset": 41, "serial": "A1",
         "quirks": {"first_status_firmware_error": true, "poll_timeout_shorter_than_busy": true}},
        {"name": "plain", "preset": 41, "serial": "A2"}
      ],
      "actions": [
        {"open": "s", "device": "slow"}, {"ioctl": "IOCTL_DFU_MASS_ERASE", "handle": "s"}, {"close": "s"},
        {"open": "p", "device": "plain"}, {"ioctl": "IOCTL_DFU_MASS_ERASE", "handle": "p"}, {"close": "p"}
      ]})");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json result = json::parse(run.out);
    EXPECT_EQ(result.at("actions").at(1).at("status"), "0xc00000b5") << "8 s of erase outlast every status";
    EXPECT_EQ(result.at("actions").at(4).at("status"), "0x00000000");
    auto firstStatus = [&](const std::string& device) {
        for (const json& t : usbOf(result, device)) {
            if (t.at("setup").get<std::string>().rfind("a103", 0) == 0) return t.at("data").get<std::string>();
        }
        return std::string();
    };
    EXPECT_EQ(firstStatus("slow").substr(0, 2), "0a") << "errFIRMWARE";
    EXPECT_EQ(firstStatus("plain").substr(0, 2), "00");
    expectCleanEnd(result);
}

TEST(RunScenario, FaultsShowAsArrivalsThatFailOrRepeat) {
    const json result = runScenarioFile("faults.json");
    ASSERT_TRUE(result.is_object());
    const json& devices = result.at("devices");

    const json& mute = devices.at("mute");
    EXPECT_EQ(mute.at("pnp_state"), "did not enumerate");
    EXPECT_EQ(mute.at("added"), false);
    EXPECT_EQ(mute.at("add_status"), nullptr);
    EXPECT_TRUE(usbOf(result, "mute").empty()) << "no driver ever talked to it";

    const json& flaky = devices.at("flaky");
    EXPECT_EQ(flaky.at("arrivals"), 2) << "it dropped off at its first download, then was plugged";
    EXPECT_EQ(flaky.at("ProductType"), 41);
    const auto flakyTransfers = usbOf(result, "flaky");
    EXPECT_NE(std::find_if(flakyTransfers.begin(), flakyTransfers.end(),
                           [](const json& t) { return t.at("status") == "0xc000000e"; }),
              flakyTransfers.end())
        << "the driver saw the device go";

    EXPECT_EQ(devices.at("unreadable").at("ProductType"), 24) << "no memory read, no product";

    const json& other = devices.at("other");
    EXPECT_EQ(other.at("added"), false);
    EXPECT_EQ(other.at("add_status"), "0xc0000001");
    EXPECT_EQ(other.at("pnp_state"), "add failed");
    const json& events = result.at("events");
    EXPECT_NE(std::find_if(events.begin(), events.end(),
                           [](const json& e) {
                               return e.at("id") == "0xc0070002" && e.at("object") == "\\Driver\\ostdfu" &&
                                      e.at("text") == "AddDevice Code:2 status:0xc0000001";
                           }),
              events.end());
    expectCleanEnd(result);
}

TEST(RunScenario, ParametersComeFromARegFileBesideTheScenarioOrFromValues) {
    const json fromFile = runScenarioFile("parameters.json");
    ASSERT_TRUE(fromFile.is_object());
    EXPECT_EQ(fromFile.at("devices").at("base").at("NumDfuBootIterBusyWaits"), 42);
    EXPECT_EQ(fromFile.at("actions").at(1).at("out"), "2a000000");

    // READ_PARAMETER: the UTF-16 name in a 256-byte field, then the kind 1.
    std::string query;
    for (char c : std::string("NumDfuBootIterBusyWaits")) {
        char unit[5];
        std::snprintf(unit, sizeof(unit), "%02x00", static_cast<unsigned>(c));
        query += unit;
    }
    query.resize(512, '0');
    query += "01000000";
    const ProcessResult run = runScenarioText(R"({"parameters": {"NumDfuBootIterBusyWaits": 12},
        "devices": [{"name": "base", "preset": 41}],
        "actions": [{"open": "h", "device": "base"},
                    {"ioctl": "IOCTL_DFU_READ_PARAMETER", "handle": "h", "in": ")" + query + R"(", "out": 260}]})");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json fromValues = run.json();
    EXPECT_EQ(fromValues.at("devices").at("base").at("NumDfuBootIterBusyWaits"), 12);
    EXPECT_EQ(fromValues.at("actions").at(1).at("status"), "0x00000000");
    EXPECT_EQ(fromValues.at("actions").at(1).at("out"), "0c000000");

    // --registry adds to (and here replaces) what the scenario wrote.
    const ProcessResult overridden = runDfuhost(
        {"--registry", scenarioPath("parameters.reg").string(), "run", scenarioPath("control_codes.json").string()});
    ASSERT_EQ(overridden.exitCode, 0) << overridden.err;
    EXPECT_EQ(overridden.json().at("devices").at("a").at("NumDfuBootIterBusyWaits"), 42);
}

}  // namespace
}  // namespace ostdfu_e2e
