// A line on stderr that says what is taking long (an identification, an erase, a poll) while it
// runs, for a person watching a terminal. It appears only when the work outlasts a short grace
// period, so under the virtual clock, where everything is quick, nothing is ever printed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace host {
class Clock;
}

namespace dfuhost {

class Progress {
public:
    // Nothing happens unless enabled; the clock's time is shown beside the wall-clock wait.
    Progress(bool enabled, std::string what, const host::Clock* clock = nullptr);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Whether a person is watching: stdout and stderr are terminals.
    static bool wanted();
    // How many lines stderr's terminal shows; 0 when it is no terminal or does not say.
    static unsigned terminalRows();

private:
    void run();

    std::string what_;
    const host::Clock* clock_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace dfuhost
