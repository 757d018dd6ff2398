#include "tools/commands/session.h"

#include <cstdio>
#include <iostream>

#include "platform/trace.h"
#include "host/libusb/libusb_device_end.h"
#include "tools/system/demo_bus.h"
#include "tools/system/progress.h"
#include "tools/system/usb_bus.h"

namespace dfuhost {

SystemOptions GlobalOptions::systemOptions() const {
    SystemOptions s;
    // Real devices take real time: a virtual clock would skip the poll time-outs they need.
    s.realTime = realTime || usb;
    s.registryFile = registry;
    s.driverImage = driver;
    if (!osVersion.empty()) {
        const std::size_t dot = osVersion.find('.');
        const auto part = [&](const std::string& text) {
            return static_cast<unsigned>(parseNumber(text, "--os-version " + osVersion, 9999));
        };
        if (dot == std::string::npos || osVersion.find_first_not_of("0123456789.") != std::string::npos) {
            throw UsageError("--os-version " + osVersion + ": expected MAJOR.MINOR, such as 10.0 or 6.1");
        }
        s.osVersion = std::make_pair(part(osVersion.substr(0, dot)), part(osVersion.substr(dot + 1)));
    }
    if (!trace.empty()) {
        constexpr ULONG kDriverFlags = TRACE_DRIVER | TRACE_DFU | TRACE_CONTROL | TRACE_NOTIFY;
        if (trace == "usb") {
            s.traceFlags = TRACE_USB;
            s.traceUsb = true;
        } else if (trace == "driver") {
            s.traceFlags = kDriverFlags;
        } else if (trace == "all") {
            s.traceFlags = kDriverFlags | TRACE_USB;
            s.traceUsb = true;
        } else {
            throw UsageError("--trace " + trace + ": expected usb, driver or all");
        }
    }
    return s;
}

Session::Session(const GlobalOptions& options) : options_(options) {
    progress_ = Progress::wanted();
    SystemOptions systemOptions = options_.systemOptions();
    systemOptions.progress = progress_;
    if (options_.usb) {
        if (!options_.sim.empty()) {
            throw UsageError("--usb and --sim " + options_.sim + " both name the bus; give one");
        }
        try {
            UsbBus usb = usbBus();
            for (const std::string& line : usb.skipped) {
                std::fprintf(stderr, "dfuhost: left out %s\n", line.c_str());
            }
            if (usb.scenario.devices.empty()) {
                throw UsageError(
                    "no STM32 bootloader (USB 0483:DF11) found; put the board in its system-memory "
                    "bootloader (BOOT0 high, then reset) and check that `lsusb -d 0483:df11` sees it");
            }
            systemOptions.deviceEnd = usb.deviceEnd;
            system_ = std::make_unique<DriverOnBus>(usb.scenario, systemOptions);
        } catch (const host::libusb::UsbError& e) {
            throw UsageError(e.what());
        }
    } else {
        const scenario::Scenario bus =
            options_.sim.empty() ? demoBus() : scenario::loadScenarioFile(options_.sim);
        system_ = std::make_unique<DriverOnBus>(bus, systemOptions);
    }
    const NTSTATUS entry = system_->start();
    if (!NT_SUCCESS(entry)) {
        std::fprintf(stderr, "dfuhost: the driver did not load: %s\n", statusName(entry).c_str());
    }
}

Session::~Session() = default;

DeviceSlot& Session::device(const std::string& nameOrNumber) {
    if (DeviceSlot* slot = system_->find(nameOrNumber)) return *slot;
    std::string names;
    for (const DeviceSlot& slot : system_->devices()) {
        names += (names.empty() ? "" : ", ") + slot.name();
    }
    throw UsageError("no device \"" + nameOrNumber + "\" on this bus; its devices are: " +
                     (names.empty() ? "(none)" : names));
}

client::Handle Session::open(DeviceSlot& device, InterfaceKind kind) {
    const auto link = system_->interfaceLink(device, kind);
    if (!link) {
        throw UsageError(device.name() + " publishes no " + interfaceKindName(kind) +
                         " interface (see `dfuhost list`)");
    }
    client::OpenResult opened = client::openLink(*link);
    if (!NT_SUCCESS(opened.status)) {
        throw UsageError("cannot open the " + std::string(interfaceKindName(kind)) +
                         " interface of " + device.name() + ": " + statusName(opened.status));
    }
    return std::move(opened.handle);
}

void Session::finish() {
    system_->removeAll();
    system_->unload();
    for (const std::string& tag : system_->leaks()) {
        std::fprintf(stderr, "dfuhost: pool tag %s still allocated after the driver unloaded\n",
                     tag.c_str());
    }
}

std::uint64_t parseNumber(const std::string& text, const std::string& what, std::uint64_t max) {
    const bool hex = text.size() > 2 && (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0);
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 16u : 19u) ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
        throw UsageError(what + ": expected a number (decimal, or hexadecimal with 0x)");
    }
    const std::uint64_t value = std::stoull(digits, nullptr, hex ? 16 : 10);
    if (value > max) {
        throw UsageError(what + ": expected a number up to " + std::to_string(max));
    }
    return value;
}

std::vector<std::uint8_t> parseHexArgument(const std::string& text, const std::string& what) {
    try {
        return scenario::parseHex(text, what);
    } catch (const scenario::ScenarioError& e) {
        throw UsageError(e.what());
    }
}

void printJson(Json document, const std::string& driver) {
    if (document.is_array()) {
        for (Json& element : document) {
            if (element.is_object()) element["driver"] = driver;
        }
    } else if (document.is_object()) {
        document["driver"] = driver;
    }
    std::cout << document.dump(2) << std::endl;
}

}  // namespace dfuhost
