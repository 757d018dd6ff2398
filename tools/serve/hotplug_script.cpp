#include "tools/serve/hotplug_script.h"

#include <algorithm>
#include <type_traits>

namespace dfuhost {

bool HotPlugScript::startsUnplugged(const std::string& device) const {
    return std::find(pluggedLater.begin(), pluggedLater.end(), device) != pluggedLater.end();
}

HotPlugScript hotPlugScriptOf(const scenario::Scenario& s) {
    HotPlugScript script;
    std::vector<std::string> seen;
    std::uint64_t now = 0;
    for (const scenario::Action& action : s.actions) {
        std::visit(
            [&](const auto& a) {
                using A = std::decay_t<decltype(a)>;
                if constexpr (std::is_same_v<A, scenario::WaitAction>) {
                    now += a.ms;
                } else if constexpr (std::is_same_v<A, scenario::DeviceAction>) {
                    if (a.kind == scenario::DeviceAction::Kind::Remove) {
                        ++script.skipped;
                        return;
                    }
                    const bool plug = a.kind == scenario::DeviceAction::Kind::Plug;
                    if (std::find(seen.begin(), seen.end(), a.device) == seen.end()) {
                        seen.push_back(a.device);
                        if (plug) script.pluggedLater.push_back(a.device);
                    }
                    script.steps.push_back(
                        {plug ? HotPlugStep::Kind::Plug : HotPlugStep::Kind::Pull, a.device, now});
                } else {
                    ++script.skipped;
                }
            },
            action);
    }
    return script;
}

}  // namespace dfuhost
