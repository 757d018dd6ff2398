#include "tests/serve/served_run.h"

#include <gtest/gtest.h>

namespace ostdfu_serve {

namespace {

constexpr const char* kReportStart = "{\n  \"exit_code\"";

}  // namespace

std::string ServeRun::commandOut() const { return process.out.substr(0, process.out.rfind(kReportStart)); }

// The command's output comes first; serve's report is the last document.
ServeRun serve(const std::filesystem::path& scenario, const std::vector<std::string>& command,
               const std::vector<std::string>& options) {
    std::vector<std::string> arguments = {"serve", "--sim", scenario.string(), "--json"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back("--");
    arguments.insert(arguments.end(), command.begin(), command.end());
    ServeRun served{ostdfu_e2e::runDfuhost(arguments), nullptr};
    const std::size_t start = served.process.out.rfind(kReportStart);
    if (start != std::string::npos) served.report = nlohmann::json::parse(served.process.out.substr(start));
    return served;
}

std::string serveUnavailable() {
    const ostdfu_e2e::ProcessResult probe = ostdfu_e2e::runDfuhost({"serve", "--", "true"});
    if (probe.exitCode == 2 && probe.err.find("sanitizer build") != std::string::npos) {
        return "umockdev's preload library cannot load next to a sanitizer runtime";
    }
    EXPECT_EQ(probe.exitCode, 0) << probe.err;
    return "";
}

void ServedTest::SetUp() {
    const std::string unavailable = serveUnavailable();
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
}

}  // namespace ostdfu_serve
