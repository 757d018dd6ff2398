// The framework's own bookkeeping on the machine: the one driver bound to it (its globals) and
// the one framework driver that driver created.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "platform/wdf.h"

namespace host::fx {

class Driver;

class Framework {
public:
  Framework();
  ~Framework();
  Framework(const Framework&) = delete;
  Framework& operator=(const Framework&) = delete;

  Driver* driver() const { return driver_.load(); }
  void setDriver(Driver* driver) { driver_.store(driver); }

  // Binds a driver to the framework, as the framework's loader does before its entry point
  // runs: the driver's globals, named after its service. One driver at a time; nullptr when
  // one is bound already.
  PWDF_DRIVER_GLOBALS bind(std::u16string_view service);
  // Gives the globals back. A pointer the framework did not hand out is a driver bug: the
  // machine stops.
  void unbind(PWDF_DRIVER_GLOBALS globals);
  PWDF_DRIVER_GLOBALS globals() const;

private:
    std::atomic<Driver*> driver_{nullptr};
    mutable std::mutex mutex_;
    std::unique_ptr<WDF_DRIVER_GLOBALS> globals_;
};

// One entry of the framework's function table that the machine provides: its index in the
// table a driver binds to, its name, and the machine's entry point.
struct FrameworkFunction {
    ULONG index;
    const char* name;
    WDFFUNC function;
};
// Every provided entry, in table order.
std::span<const FrameworkFunction> frameworkFunctions();

}  // namespace host::fx
