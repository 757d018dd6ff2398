// docs/scenario.md is a contract: every `json` block in it is a scenario that must load, and run
// to its end with a result of the documented shape.
#include <gtest/gtest.h>

#include <regex>

#include "tests/e2e/dfuhost_process.h"
#include "tests/support/file_contents.h"
#include "tools/scenario/scenario.h"

namespace ostdfu_e2e {
namespace {

using nlohmann::json;

std::vector<std::string> jsonBlocks(const std::string& markdown) {
    std::vector<std::string> blocks;
    const std::regex fence("```json\\n([\\s\\S]*?)```");
    for (auto it = std::sregex_iterator(markdown.begin(), markdown.end(), fence); it != std::sregex_iterator();
         ++it) {
        blocks.push_back((*it)[1]);
    }
    return blocks;
}

TEST(DocsExamples, EveryScenarioOfTheSchemaPageLoadsAndRuns) {
    const std::string text = ostdfu_test::fileContents(sourcePath("docs/scenario.md"));
    ASSERT_FALSE(text.empty()) << "docs/scenario.md";
    const auto blocks = jsonBlocks(text);
    ASSERT_GE(blocks.size(), 6u) << "the examples went missing";

    for (std::size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE("example " + std::to_string(i + 1));
        scenario::Scenario parsed;
        try {
            parsed = scenario::parseScenarioText(blocks[i], "example");
        } catch (const scenario::ScenarioError& e) {
            ADD_FAILURE() << e.what();
            continue;
        }
        const ProcessResult run = runScenarioText(blocks[i]);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        // Ordered, to see the order dfuhost wrote the devices in.
        const nlohmann::ordered_json result = nlohmann::ordered_json::parse(run.out);
        for (const char* key : {"actions", "devices", "events", "usb", "waits_ms", "timer_resolution", "leaks"}) {
            EXPECT_TRUE(result.contains(key)) << key;
        }
        EXPECT_EQ(result.at("actions").size(), parsed.actions.size());
        ASSERT_EQ(result.at("devices").size(), parsed.devices.size());
        std::size_t index = 0;
        for (const auto& [name, device] : result.at("devices").items()) {
            EXPECT_EQ(name, parsed.devices[index++].name) << "devices keep the scenario's order";
            EXPECT_TRUE(device.contains("memory_crc32"));
        }
        EXPECT_TRUE(result.at("leaks").empty());
    }
}

}  // namespace
}  // namespace ostdfu_e2e
