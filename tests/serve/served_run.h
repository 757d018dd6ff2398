// `dfuhost serve --sim FILE --json -- COMMAND` as a test runs it: the command's own output, and
// serve's report of the models afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/dfuhost_process.h"

namespace ostdfu_serve {

struct ServeRun {
    ostdfu_e2e::ProcessResult process;
    nlohmann::json report;  // what --json prints after the command

    const nlohmann::json& device() const { return report["devices"][0]; }
    // The command's stdout, without serve's report.
    std::string commandOut() const;
};

ServeRun serve(const std::filesystem::path& scenario, const std::vector<std::string>& command,
               const std::vector<std::string>& options = {});

// The reason to skip when serve cannot run here (a sanitizer build), or "" when it can; a test
// failure when it cannot for another reason.
std::string serveUnavailable();

// A test of served devices: skipped where serve cannot run, with a folder for its files.
class ServedTest : public ::testing::Test {
protected:
    void SetUp() override;

    ostdfu_e2e::TemporaryFolder folder_;
};

}  // namespace ostdfu_serve
