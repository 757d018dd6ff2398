// libFuzzer target for scenario files, which the updater team writes by hand (see
// docs/fuzzing.md): a document is either refused with a ScenarioError that names the file, or
// parses and each of its devices becomes a bootloader model; nothing else may escape.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/clock.h"
#include "tools/scenario/scenario.h"
#include "tools/system/device_build.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const scenario::Scenario parsed = scenario::parseScenarioText(text, "fuzz.json");
        host::VirtualClock clock;
        for (const scenario::Device& device : parsed.devices) {
            if (device.location.size() > scenario::kMaxLocationDepth) std::abort();
            dfuhost::bootloaderFor(parsed, device, clock);
        }
    } catch (const scenario::ScenarioError& e) {
        if (std::string_view(e.what()).rfind("fuzz.json", 0) != 0) std::abort();
    }
    return 0;
}
