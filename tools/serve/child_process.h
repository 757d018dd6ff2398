// The command `dfuhost serve` runs: with serve's environment (umockdev's preload library and the
// testbed's folder, so that it and its own children see the testbed) and standard streams, and
// waited for on a thread of its own so that serve can play the bus meanwhile.
#pragma once

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace dfuhost {

class ChildError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ChildProcess {
public:
    // Starts command[0], found on PATH. `exited` is called from the waiting thread once the
    // command has ended. Throws ChildError when it cannot start.
    ChildProcess(const std::vector<std::string>& command, std::function<void()> exited);
    // Waits for the command.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The exit code once it ended: its own, or 128 + the signal that ended it, as a shell says.
    std::optional<int> exitCode() const;
    int wait();

private:
    pid_t pid_ = -1;
    mutable std::mutex mutex_;  // guards code_
    std::optional<int> code_;
    std::thread waiter_;
};

}  // namespace dfuhost
