#include "host/machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace host {

namespace {
std::atomic<Machine*> currentMachine{nullptr};

std::unique_ptr<Clock> makeClock(bool virtualClock) {
    if (virtualClock) {
        return std::make_unique<VirtualClock>();
    }
    return std::make_unique<RealClock>();
}
}  // namespace

Machine::Machine(MachineOptions options)
    : options_(options),
      pool_(faults_),
      clock_(makeClock(options.virtualClock)),
      dispatcher_(*clock_, waits_) {
    Machine* expected = nullptr;
    if (!currentMachine.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "machine: only one machine may run at a time\n");
        std::abort();
    }
}

Machine::~Machine() {
    // Devices and the driver go while platform calls still reach this machine.
    pnp_.shutdown();
    currentMachine.store(nullptr);
}

Machine& Machine::current() {
    Machine* machine = currentMachine.load();
    if (machine == nullptr) {
        std::fprintf(stderr, "machine: a platform call was made with no machine running\n");
        std::abort();
    }
    return *machine;
}

bool Machine::exists() { return currentMachine.load() != nullptr; }

}  // namespace host
