// dfuhost as a process: runs the built program with arguments, collects its exit code, stdout
// and stderr, and reads its JSON. Scenario files come from tests/e2e/scenarios/ or are written
// to a temporary folder by the test.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostdfu_e2e {

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;

    // stdout as JSON; a test failure (and null) when it is not.
    nlohmann::json json() const;
};

ProcessResult runDfuhost(const std::vector<std::string>& arguments);
// `dfuhost run` on a file of tests/e2e/scenarios/, expecting exit code 0 and JSON.
nlohmann::json runScenarioFile(const std::string& name);
// `dfuhost run` on a document written to a temporary file.
ProcessResult runScenarioText(const std::string& document);

std::filesystem::path scenarioPath(const std::string& name);
std::filesystem::path sourcePath(const std::string& relative);

// A folder under the system's temporary folder, removed with the object.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& name, const std::string& content) const;

private:
    std::filesystem::path path_;
};

// The transfers of one device in a result document.
std::vector<nlohmann::json> usbOf(const nlohmann::json& result, const std::string& device);

}  // namespace ostdfu_e2e
