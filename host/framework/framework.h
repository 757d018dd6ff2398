// The framework's own bookkeeping on the machine: the one framework driver that is loaded.
#pragma once

#include <atomic>

namespace host::fx {

class Driver;

class Framework {
public:
    Driver* driver() const { return driver_.load(); }
    void setDriver(Driver* driver) { driver_.store(driver); }

private:
    std::atomic<Driver*> driver_{nullptr};
};

}  // namespace host::fx
