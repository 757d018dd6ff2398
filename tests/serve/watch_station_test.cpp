// `dfuhost --usb watch` as a production station, against units that `dfuhost serve` plugs and
// pulls on the real clock: every unit listed, the good ones flashed and verified, one pulled in
// the middle of its flash reported failed and gone, one plugged again handled again. The waits
// are for events (a line in the station's output, the station's own end); `timeout` only bounds
// a station that would never end.
#include <csignal>
#include <map>
#include <random>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "client/firmware_image.h"
#include "tests/serve/served_run.h"

namespace {

using ostdfu_serve::serve;
using ostdfu_serve::ServeRun;

constexpr const char* kBound = "timeout 180 ";
constexpr std::size_t kImageBytes = 16 * 1024;

// A unit of product 49 whose USB serial ends in `tag` and manufacturer serial in `serialTag`;
// `writeMs` is how long each 2 KiB write keeps it busy.
std::string unit(const std::string& name, unsigned port, unsigned tag, unsigned writeMs, unsigned serialTag) {
    const std::string ms = std::to_string(writeMs);
    return R"({"name": ")" + name + R"(", "preset": 49, "location": [)" + std::to_string(port) +
           R"(], "serial": "5EED0000000)" + std::to_string(tag) + R"(", "manufacturer_serial": "0x000000310000000)" +
           std::to_string(serialTag) + R"(", "timings": {"page_erase": {"poll_ms": 2, "busy_ms": 2},)" +
           R"("set_address": {"poll_ms": 1, "busy_ms": 1}, "write": {"poll_ms": )" + ms + R"(, "busy_ms": )" + ms +
           "}}}";
}

// The station's JSON lines, by event.
std::map<std::string, std::vector<nlohmann::json>> eventsOf(const std::string& out) {
    std::map<std::string, std::vector<nlohmann::json>> events;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line.front() != '{') continue;
        const nlohmann::json event = nlohmann::json::parse(line);
        events[event.at("event")].push_back(event);
    }
    return events;
}

std::vector<std::string> devicesOf(const std::vector<nlohmann::json>& events, const char* key = "device") {
    std::vector<std::string> names;
    for (const nlohmann::json& e : events) names.push_back(e.at(key));
    std::sort(names.begin(), names.end());
    return names;
}

class WatchStation : public ostdfu_serve::ServedTest {
protected:
    std::string station(const std::string& arguments) const {
        return kBound + std::string(DFUHOST_PATH) + " --usb " + arguments;
    }

    // The station flashing `bytes` (at the start of flash) to the first `count` units that come.
    ServeRun flashStation(const std::filesystem::path& scenario, std::vector<std::uint8_t> bytes,
                          unsigned count) const {
        client::FirmwareImage image;
        image.settingsGiven = true;
        image.elements.push_back({0, 0x08000000, std::move(bytes)});
        const auto file = folder_.path() / "app.dfu";
        client::saveImage(file, image);
        return serve(scenario, {"sh", "-c",
                                station("--json watch --flash " + file.string() + " --count " + std::to_string(count))});
    }
};

TEST_F(WatchStation, FlashesUnitsAsTheyComeReportsThePulledOneAndTakesAReturningOneAgain) {
    // unit-a is there at the start and unit-b and unit-c follow. unit-b's writes take 1.5 s
    // each (8 of them), so its flash is still running when its cable is pulled 9 s in, long
    // after unit-a (fast) has been flashed, even on a loaded machine; unit-a is then pulled and plugged back. unit-a and
    // unit-c hold the same memory but for their place, so the same image leaves the same CRC.
    const auto scenario = folder_.write("bus.json", "{\"devices\": [" + unit("unit-a", 1, 1, 1, 1) + ", " +
                                                        unit("unit-b", 2, 2, 1500, 2) + ", " +
                                                        unit("unit-c", 3, 3, 1, 1) +
                                                        R"(], "actions": [{"wait_ms": 300}, {"plug": "unit-b"},
        {"wait_ms": 300}, {"plug": "unit-c"}, {"wait_ms": 8400}, {"surprise_remove": "unit-b"},
        {"surprise_remove": "unit-a"}, {"wait_ms": 700}, {"plug": "unit-a"}]})");
    std::vector<std::uint8_t> bytes(kImageBytes);
    std::mt19937 random(11);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());

    const ServeRun served = flashStation(scenario, std::move(bytes), 4);
    const std::string out = served.commandOut();
    // unit-b failed: the station says so in its exit code.
    EXPECT_EQ(served.process.exitCode, 1) << out << served.process.err;
    auto events = eventsOf(out);

    const std::vector<std::string> arrived = {"1-1", "1-1", "1-2", "1-3"};
    EXPECT_EQ(devicesOf(events["arrived"], "name"), arrived) << out;
    for (const nlohmann::json& e : events["arrived"]) {
        EXPECT_EQ(e.at("manufacturer_serial"), e.at("name") == "1-2" ? "0x0000003100000002" : "0x0000003100000001")
            << e;
        EXPECT_EQ(e.at("product_code"), 49) << e;
    }
    ASSERT_EQ(events["flashed"].size(), 4u) << out;
    for (const nlohmann::json& e : events["flashed"]) {
        if (e.at("device") == "1-2") {
            EXPECT_FALSE(e.at("ok")) << e;
            EXPECT_LT(e.at("written_bytes").get<std::size_t>(), kImageBytes) << e;
        } else {
            EXPECT_TRUE(e.at("ok")) << e;
            EXPECT_EQ(e.at("verified_bytes"), kImageBytes) << e;
        }
    }
    EXPECT_EQ(devicesOf(events["left"]), (std::vector<std::string>{"1-1", "1-2"})) << out;
    EXPECT_TRUE(events["failed"].empty()) << out;

    // What the units hold: a and c the image, b something short of it.
    const nlohmann::json& devices = served.report["devices"];
    ASSERT_EQ(devices.size(), 3u) << served.process.out;
    EXPECT_EQ(devices[0]["memory_crc32"], devices[2]["memory_crc32"]);
    EXPECT_NE(devices[1]["memory_crc32"], devices[0]["memory_crc32"]);
    EXPECT_EQ(devices[1]["presence"], "unplugged");
    EXPECT_EQ(devices[0]["presence"], "attached");
}

TEST_F(WatchStation, AUnitThatReturnsAfterTheLastOneWasTakenIsLeftAloneComingAndGoing) {
    // Both units are taken at the start (--count 2); unit-b's flash (8 writes of 1.5 s) keeps
    // the station running while unit-a, long done, is pulled, plugged back and pulled again.
    // Its first leaving is reported; its return was not taken, so neither is its second.
    const auto scenario = folder_.write("bus.json", "{\"devices\": [" + unit("unit-a", 1, 1, 1, 1) + ", " +
                                                        unit("unit-b", 2, 2, 1500, 2) +
                                                        R"(], "actions": [{"wait_ms": 5000},
        {"surprise_remove": "unit-a"}, {"wait_ms": 700}, {"plug": "unit-a"}, {"wait_ms": 700},
        {"surprise_remove": "unit-a"}]})");
    const ServeRun served = flashStation(scenario, std::vector<std::uint8_t>(kImageBytes, 0x5A), 2);
    const std::string out = served.commandOut();
    EXPECT_EQ(served.process.exitCode, 0) << out << served.process.err;
    auto events = eventsOf(out);
    EXPECT_EQ(devicesOf(events["arrived"], "name"), (std::vector<std::string>{"1-1", "1-2"})) << out;
    EXPECT_EQ(events["flashed"].size(), 2u) << out;
    EXPECT_EQ(devicesOf(events["left"]), std::vector<std::string>{"1-1"}) << out;
}

TEST_F(WatchStation, ListsUnitsAsTheyArriveAndEndsCleanlyOnAnInterrupt) {
    const auto scenario = folder_.write("bus.json", "{\"devices\": [" + unit("unit-a", 1, 1, 1, 1) + ", " +
                                                        unit("unit-b", 4, 2, 1, 2) +
                                                        R"(], "actions": [{"wait_ms": 500}, {"plug": "unit-b"}]})");
    const std::string log = (folder_.path() / "watch.txt").string();
    // The shell waits for both units' lines, then interrupts the station as an operator would.
    const ServeRun served = serve(
        scenario, {"sh", "-c",
                   station("watch") + " > " + log + " & pid=$!; for i in $(seq 1200); do [ $(grep -c '^arrived' " +
                       log + ") -ge 2 ] && break; sleep 0.05; done; kill -INT $pid; wait $pid; code=$?; cat " + log +
                       "; exit $code"});
    const std::string out = served.commandOut();
    EXPECT_EQ(served.process.exitCode, 0) << out << served.process.err;
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u) << out;
    const struct {
        const char* place;
        const char* serial;
    } expected[] = {{"1-1", "0000003100000001"}, {"1-4", "0000003100000002"}};
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(lines[i].rfind(std::string("arrived  ") + expected[i].place + " ", 0), 0u) << lines[i];
        EXPECT_NE(lines[i].find(expected[i].serial), std::string::npos) << lines[i];
    }
    EXPECT_NE(served.process.err.find("watching for STM32 bootloaders"), std::string::npos) << served.process.err;
}

}  // namespace
