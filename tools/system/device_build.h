// A scenario's device as a bootloader model: the preset (or the blank ROM), the overrides on
// top of it and the planted faults. Everything the model would refuse is refused here, with the
// path of the element at fault, before any driver runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/bootloader.h"
#include "sim/config.h"
#include "sim/faults.h"
#include "tools/scenario/scenario.h"

namespace dfuhost {

// Throws scenario::ScenarioError.
sim::BootloaderConfig bootloaderConfigFor(const scenario::Scenario& scenario,
                                          const scenario::Device& device);
std::vector<sim::Fault> faultsFor(const scenario::Device& device);
// The whole model: configuration and faults, on `clock`. Throws scenario::ScenarioError.
std::shared_ptr<sim::Bootloader> bootloaderFor(const scenario::Scenario& scenario,
                                               const scenario::Device& device, host::Clock& clock);

// The base address of a layout string's first block, when it parses.
std::optional<std::uint32_t> layoutBase(const std::string& layout);

}  // namespace dfuhost
