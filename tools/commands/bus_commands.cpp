// list, info, events and run: the commands about the bus as a whole.
#include <cstdio>
#include <iostream>

#include "host/rtl/text.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_report.h"
#include "tools/scenario/scenario.h"
#include "tools/system/progress.h"
#include "tools/system/scenario_run.h"

namespace dfuhost {

int listCommand(const GlobalOptions& options) {
    Session session(options);
    std::vector<DeviceSummary> summaries;
    for (DeviceSlot& device : session.system().devices()) {
        summaries.push_back(summarize(session, device));
    }
    session.finish();
    if (options.json) {
        Json list = Json::array();
        for (const DeviceSummary& s : summaries) list.push_back(summaryJson(s));
        printJson(list, session.system().driverName());
    } else {
        std::printf("%s\n", summaryHeader().c_str());
        for (const DeviceSummary& s : summaries) std::printf("%s\n", summaryLine(s).c_str());
    }
    return kExitSuccess;
}

int infoCommand(const GlobalOptions& options, const std::string& deviceName) {
    Session session(options);
    int code = kExitSuccess;
    {
        DeviceSlot& device = session.device(deviceName);
        code = printInfo(session, device);
    }
    session.finish();
    return code;
}

int eventsCommand(const GlobalOptions& options, bool raw) {
    Session session(options);
    session.finish();
    const host::EventLog& log = session.system().machine().eventLog();
    if (options.json) {
        printJson(eventsJson(log), session.system().driverName());
        return kExitSuccess;
    }
    for (const host::EventLogEntry& entry : log.entries()) {
        if (raw) {
            std::printf("0x%08x %-20s %s\n", entry.eventId(), host::narrow(entry.objectName).c_str(),
                        scenario::toHex(entry.packet).c_str());
        } else {
            std::printf("%s\n", log.render(entry).c_str());
        }
    }
    return kExitSuccess;
}

int runCommand(const GlobalOptions& options, const std::string& scenarioFile) {
    if (!options.sim.empty()) {
        throw UsageError("run takes its bus from " + scenarioFile + "; --sim does not apply");
    }
    if (options.usb) {
        throw UsageError("run takes its bus from " + scenarioFile + "; --usb does not apply");
    }
    const scenario::Scenario s = scenario::loadScenarioFile(scenarioFile);
    SystemOptions systemOptions = options.systemOptions();
    systemOptions.progress = Progress::wanted();
    std::cout << runScenario(s, systemOptions).dump(2) << std::endl;
    return kExitSuccess;
}

}  // namespace dfuhost
