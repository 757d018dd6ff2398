#include "tools/serve/child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace dfuhost {

ChildProcess::ChildProcess(const std::vector<std::string>& command, std::function<void()> exited) {
    if (command.empty()) throw ChildError("no command to run");
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    // The terminal's interrupt reaches the command and serve alike; serve outlives it to take the
    // testbed down and report. The command gets the default handling back.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    const int error = posix_spawnp(&pid_, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        throw ChildError("cannot run " + command[0] + ": " + std::strerror(error));
    }

    waiter_ = std::thread([this, exited = std::move(exited)] {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        {
            std::lock_guard lock(mutex_);
            code_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        }
        exited();
    });
}

ChildProcess::~ChildProcess() {
    if (waiter_.joinable()) waiter_.join();
    signal(SIGINT, SIG_DFL);
    signal(SIGQUIT, SIG_DFL);
}

std::optional<int> ChildProcess::exitCode() const {
    std::lock_guard lock(mutex_);
    return code_;
}

int ChildProcess::wait() {
    if (waiter_.joinable()) waiter_.join();
    return *exitCode();
}

}  // namespace dfuhost
