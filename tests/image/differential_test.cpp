// The Windows image against the driver compiled here: one driver, two builds, the same answers.
// Every scenario the suite and the docs run through `dfuhost run`, an arrival of every product,
// every control code, and every allocation failure and service failure of a one-device run
// give the same result document with either driver.
//
// Masked, and nothing else: the name of the driver that answered; the allocation the image's
// entry stub makes for itself; and the order in which the event entries of different devices
// that arrive or leave at the same time reach the log (they run on threads of their own; each
// device's own entries keep their order).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>

#include "driver/product_table.h"
#include "host/pool.h"
#include "tests/support/file_contents.h"
#include "tools/scenario/scenario.h"
#include "tools/system/scenario_run.h"
#include "updater_interface/ioctl.h"

namespace {

using dfuhost::Json;

Json resultWith(const scenario::Scenario& s, const std::string& image) {
    dfuhost::SystemOptions options;
    options.driverImage = image;
    return dfuhost::runScenario(s, options);
}

// The image's entry stub keeps a copy of the registry path for its unbind: an allocation the
// built-in driver has no counterpart for.
constexpr const char* kEntryStubTag = "Stub";

Json masked(Json result) {
    result.erase("driver");
    result.at("allocations").erase(kEntryStubTag);
    Json& events = result.at("events");
    std::stable_sort(events.begin(), events.end(), [](const Json& a, const Json& b) {
        return a.at("object").get<std::string>() < b.at("object").get<std::string>();
    });
    return result;
}

class Differential : public testing::Test {
protected:
    void SetUp() override {
        if (std::string(OSTDFU_DRIVER_IMAGE).empty()) {
            GTEST_SKIP() << OSTDFU_DRIVER_IMAGE_SKIPPED;
        }
    }
    // scripts/test.sh adds these lines up.
    void TearDown() override {
        if (compared > 0) {
            std::cout << "differential: " << compared << " runs compared, "
                      << testing::UnitTest::GetInstance()->current_test_info()->name() << "\n";
        }
    }

    // The built-in driver's result, after checking that the image gives the same.
    Json compare(const scenario::Scenario& s, const std::string& what) {
        const Json native = resultWith(s, "");
        const Json image = resultWith(s, OSTDFU_DRIVER_IMAGE);
        EXPECT_EQ(native.at("driver"), "built-in");
        EXPECT_EQ(image.at("driver"), OSTDFU_DRIVER_IMAGE);
        const Json a = masked(native);
        const Json b = masked(image);
        if (a != b) {
            ADD_FAILURE() << what << ": the image answers otherwise; the changes from the built-in "
                          << "driver's result:\n" << Json::diff(a, b).dump(1).substr(0, 4000);
        }
        EXPECT_EQ(image.at("leaks"), Json::array()) << what;
        ++compared;
        return native;
    }

    int compared = 0;
};

TEST_F(Differential, EveryScenarioOfTheSuiteAndTheDocs) {
    int scenarios = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(OSTDFU_SOURCE_DIR) + "/tests/e2e/scenarios")) {
        if (entry.path().extension() == ".json") {
            compare(scenario::loadScenarioFile(entry.path().string()), entry.path().filename().string());
            ++scenarios;
        }
    }
    // The docs' examples may write and read files of their own: each runs in a folder of its own.
    const std::string page =
        ostdfu_test::fileContents(std::string(OSTDFU_SOURCE_DIR) + "/docs/scenario.md");
    const std::regex fence("```json\\n([\\s\\S]*?)```");
    int example = 0;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), fence); it != std::sregex_iterator(); ++it) {
        const std::filesystem::path folder =
            std::filesystem::path(testing::TempDir()) / ("differential-example-" + std::to_string(++example));
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "scenario.json") << (*it)[1];
        compare(scenario::loadScenarioFile((folder / "scenario.json").string()),
                "docs/scenario.md example " + std::to_string(example));
        std::filesystem::remove_all(folder);
        ++scenarios;
    }
    EXPECT_GE(scenarios, 14);
}

TEST_F(Differential, EveryProductArrivesAlike) {
    Json document = {{"devices", Json::array()}};
    for (const ProductRow& row : ProductRows()) {
        document["devices"].push_back({{"name", "product-" + std::to_string(row.productCode)},
                                       {"preset", row.productCode},
                                       {"serial", "P" + std::to_string(row.productCode)}});
    }
    ASSERT_EQ(document["devices"].size(), 43u);
    const Json result = compare(scenario::parseScenarioText(document.dump(), "every-product.json"),
                                "an arrival of every product");
    for (const auto& [name, device] : result.at("devices").items()) {
        EXPECT_EQ(device.at("PrepareHardwareDone"), 1) << name;
    }
}

TEST_F(Differential, EveryControlCodeAnswersAlike) {
    // Each code with a buffer of zeros either way and room for the largest reply, then again
    // with none: every code's checks, and its body wherever zeros are a valid request.
    Json actions = {{{"open", "h"}, {"device", "base"}}};
    for (const Json& buffers : {Json{{"in", std::string(64, '0')}, {"out", 3592}}, Json::object()}) {
        for (const IoctlName& code : IOCTL_NAMES) {
            Json action = {{"ioctl", code.name}, {"handle", "h"}};
            action.update(buffers);
            actions.push_back(action);
        }
    }
    actions.push_back({{"close", "h"}});
    const Json document = {{"devices", {{{"name", "base"}, {"preset", 41}, {"serial", "C1"}}}},
                           {"actions", actions}};
    const Json result = compare(scenario::parseScenarioText(document.dump(), "every-code.json"),
                                "every control code");
    EXPECT_EQ(result.at("actions").size(), actions.size());
}

// One device arrives and answers a few requests; every allocation it reaches and every service
// failure it meets is made to fail in turn.
const char* const kSweptRun = R"({
  "devices": [{"name": "base", "preset": 41, "serial": "S1"}],
  "actions": [
    {"open": "h", "device": "base"},
    {"ioctl": "IOCTL_DFU_GET_DEVICE_CAPS", "handle": "h", "out": 3592},
    {"ioctl": "IOCTL_DFU_READ_OPTION_BYTES", "handle": "h", "out": 16},
    {"ioctl": "IOCTL_DFU_GET_MANUFACTURER_SERIAL", "handle": "h", "out": 144},
    {"ioctl": "IOCTL_DFU_MASS_ERASE", "handle": "h"},
    {"close": "h"},
    {"remove": "base"}
  ]
})";

scenario::Scenario sweptRunWith(const Json& fault) {
    Json document = Json::parse(kSweptRun);
    document["machine_faults"] = Json::array({fault});
    return scenario::parseScenarioText(document.dump(), "swept.json");
}

TEST_F(Differential, EveryAllocationAndServiceFailureIsMetAlike) {
    const Json clean = compare(scenario::parseScenarioText(kSweptRun, "swept.json"), "the swept run");
    int allocations = 0;
    for (const auto& [tag, count] : clean.at("allocations").items()) {
        for (std::uint64_t nth = 1; nth <= count.get<std::uint64_t>(); ++nth) {
            compare(sweptRunWith({{"allocation", tag}, {"nth", nth}}),
                    "allocation " + std::to_string(nth) + " of '" + tag + "' failed");
            ++allocations;
        }
    }
    int services = 0;
    for (const char* service :
         {"IrpAllocation", "DeviceCreate", "QueueCreate", "DriverCreate", "RegistryOpen",
          "DeviceProperty", "ErrorLogEntry", "FrameworkObject", "CallbackCreate",
          "CallbackRegister", "InterfaceRegister", "InterfaceState", "VersionQuery", "BusInterface"}) {
        for (int nth = 1; nth <= 2; ++nth) {
            compare(sweptRunWith({{"service", service}, {"nth", nth}}),
                    std::string(service) + " call " + std::to_string(nth) + " failed");
            ++services;
        }
    }
    EXPECT_GT(allocations, 100);
    EXPECT_EQ(services, 28);
}

}  // namespace
