// What `dfuhost serve` plays from a scenario's actions while the served command runs: cables
// plugged and pulled at points in time. The actions that need the driver (handles, I/O
// controls, orderly removal, sibling notifications) have no meaning without it and are left out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/scenario/scenario.h"

namespace dfuhost {

struct HotPlugStep {
    enum class Kind { Plug, Pull } kind;
    std::string device;
    std::uint64_t atMs = 0;  // since the command started

    friend bool operator==(const HotPlugStep&, const HotPlugStep&) = default;
};

struct HotPlugScript {
    std::vector<HotPlugStep> steps;
    // Devices whose first step plugs them: they wait off the bus until then, so that units can
    // arrive one after another.
    std::vector<std::string> pluggedLater;
    // How many actions were left out.
    std::size_t skipped = 0;

    bool startsUnplugged(const std::string& device) const;
};

HotPlugScript hotPlugScriptOf(const scenario::Scenario& scenario);

}  // namespace dfuhost
