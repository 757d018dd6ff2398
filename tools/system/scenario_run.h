// Runs a scenario from arrival to unload and builds its result document (docs/scenario.md):
// one entry per action, the devices after the last action, and the event log, bus traffic,
// waits, timer-resolution requests and leaks of the whole run.
#pragma once

#include "tools/scenario/scenario.h"
#include "tools/system/report.h"

namespace dfuhost {

// Throws scenario::ScenarioError for a scenario that cannot be set up; once the actions run,
// whatever they return is part of the result.
Json runScenario(const scenario::Scenario& scenario, const SystemOptions& options);

}  // namespace dfuhost
