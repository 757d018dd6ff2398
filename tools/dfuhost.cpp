// dfuhost: loads the driver on the emulated machine, offers it two devices (an STM32 in DFU
// mode and a device that is not one), unloads it, and prints the event log as text.
//
//   dfuhost [--registry FILE.reg] [--syslog]
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/driver.h"
#include "host/machine.h"
#include "host/registry/reg_file.h"
#include "host/rtl/text.h"
#include "notify/message_table.h"

namespace {

int usage(const char* program) {
    std::fprintf(stderr, "usage: %s [--registry FILE.reg] [--syslog]\n", program);
    return 2;
}

host::MessageTable driverMessageTable() {
    host::MessageTable table;
    ULONG count = 0;
    const EVENT_MESSAGE_ENTRY* messages = OstDfuMessageTable(&count);
    for (ULONG i = 0; i < count; ++i) {
        table.add(messages[i].MessageId, messages[i].Text);
    }
    return table;
}

}  // namespace

int main(int argc, char** argv) {
    std::string registryFile;
    bool syslog = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--registry") == 0 && i + 1 < argc) {
            registryFile = argv[++i];
        } else if (std::strcmp(argv[i], "--syslog") == 0) {
            syslog = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(argv[0]);
            return 0;
        } else {
            return usage(argv[0]);
        }
    }

    host::Machine machine;
    machine.eventLog().setMessageTable(driverMessageTable());
    if (syslog) {
        machine.eventLog().forwardToSyslog("dfuhost");
    }
    if (!registryFile.empty()) {
        try {
            host::loadRegFile(machine.registry(), registryFile);
        } catch (const host::RegFileError& e) {
            std::fprintf(stderr, "dfuhost: %s\n", e.what());
            return 1;
        }
    }

    const NTSTATUS entry = machine.pnp().loadDriver(DriverEntry, u"ostdfu");
    if (!NT_SUCCESS(entry)) {
        std::fprintf(stderr, "dfuhost: driver entry failed: 0x%08x\n", static_cast<unsigned>(entry));
    } else {
        host::PnpDeviceDescription bootloader;
        bootloader.hardwareIds = {u"USB\\VID_0483&PID_DF11&REV_2200", u"USB\\VID_0483&PID_DF11"};
        bootloader.serialNumber = u"3276355E3036";
        host::PnpDeviceDescription other;
        other.hardwareIds = {u"USB\\VID_0483&PID_5740&REV_0200", u"USB\\VID_0483&PID_5740"};
        for (host::PnpDeviceDescription* description : {&bootloader, &other}) {
            const std::string id = host::narrow(description->hardwareIds.front());
            host::PnpDevice& device = machine.pnp().offerDevice(*description);
            const char* name = NtStatusName(device.addStatus());
            std::printf("offered %s: %s (add 0x%08x%s%s)\n", id.c_str(), host::pnpStateName(device.state()),
                        static_cast<unsigned>(device.addStatus()), name ? " " : "", name ? name : "");
        }
        machine.pnp().unloadDriver();
    }

    std::printf("\nevent log:\n");
    for (const std::string& line : machine.eventLog().renderAll()) {
        std::printf("  %s\n", line.c_str());
    }
    const auto leaks = machine.pool().leakedTags();
    for (const std::string& tag : leaks) {
        std::printf("leak: pool tag %s\n", tag.c_str());
    }
    return NT_SUCCESS(entry) && leaks.empty() ? 0 : 1;
}
