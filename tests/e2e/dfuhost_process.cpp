#include "tests/e2e/dfuhost_process.h"
#include "tests/support/file_contents.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include <gtest/gtest.h>

extern char** environ;

namespace ostdfu_e2e {

nlohmann::json ProcessResult::json() const {
    try {
        return nlohmann::json::parse(out);
    } catch (const nlohmann::json::exception& e) {
        ADD_FAILURE() << "dfuhost's output is not JSON: " << e.what() << "\nstdout:\n"
                      << out.substr(0, 2000) << "\nstderr:\n" << err;
        return nullptr;
    }
}

TemporaryFolder::TemporaryFolder() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        path_ = base / ("dfuhost-e2e-" + std::to_string(random()));
        if (std::filesystem::create_directory(path_)) break;
    }
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TemporaryFolder::write(const std::string& name, const std::string& content) const {
    const auto file = path_ / name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
}

ProcessResult runDfuhost(const std::vector<std::string>& arguments) {
    TemporaryFolder folder;
    const std::string outFile = (folder.path() / "stdout").string();
    const std::string errFile = (folder.path() / "stderr").string();

    std::vector<std::string> args{DFUHOST_PATH};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    // Output goes to files rather than pipes: nothing can block however much dfuhost prints.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    ProcessResult result;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": error " << spawned;
        return result;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ostdfu_test::fileContents(outFile);
    result.err = ostdfu_test::fileContents(errFile);
    return result;
}

std::filesystem::path scenarioPath(const std::string& name) {
    return std::filesystem::path(OSTDFU_SOURCE_DIR) / "tests" / "e2e" / "scenarios" / name;
}

std::filesystem::path sourcePath(const std::string& relative) {
    return std::filesystem::path(OSTDFU_SOURCE_DIR) / relative;
}

nlohmann::json runScenarioFile(const std::string& name) {
    const ProcessResult result = runDfuhost({"run", scenarioPath(name).string()});
    EXPECT_EQ(result.exitCode, 0) << name << ": " << result.err;
    return result.exitCode == 0 ? result.json() : nlohmann::json();
}

ProcessResult runScenarioText(const std::string& document) {
    TemporaryFolder folder;
    const auto file = folder.write("scenario.json", document);
    return runDfuhost({"run", file.string()});
}

std::vector<nlohmann::json> usbOf(const nlohmann::json& result, const std::string& device) {
    std::vector<nlohmann::json> transfers;
    for (const nlohmann::json& t : result.at("usb")) {
        if (t.at("device") == device) transfers.push_back(t);
    }
    return transfers;
}

}  // namespace ostdfu_e2e
