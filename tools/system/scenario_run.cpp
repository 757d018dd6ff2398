#include "tools/system/scenario_run.h"

#include <map>
#include <variant>

#include "client/updater.h"
#include "tools/system/firmware_jobs.h"
#include "tools/system/progress.h"
#include "updater_interface/ioctl.h"

namespace dfuhost {

namespace {

// Every pool tag the run allocated, with how often: the sites a machine_faults entry can name.
Json allocationCounts(host::Machine& machine) {
    Json counts = Json::object();
    for (const auto& [tag, count] : machine.faults().allocationCounts()) {
        counts[host::tagText(tag)] = count;
    }
    return counts;
}

const char* ioctlName(std::uint32_t code) {
    for (const IoctlName& known : IOCTL_NAMES) {
        if (known.code == code) return known.name;
    }
    return nullptr;
}

InterfaceKind kindOf(const std::string& name) {
    if (name == "product") return InterfaceKind::Product;
    if (name == "companion") return InterfaceKind::Companion;
    return InterfaceKind::Driver;
}

// Plays the actions against the system; the handles it opened are closed at the end.
class ActionRunner {
public:
    ActionRunner(DriverOnBus& system, const SystemOptions& options)
        : system_(system), options_(options) {}

    Json operator()(const scenario::OpenAction& a) {
        client::Handle& handle = handles_[a.handle];
        handle = client::Handle();
        NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
        if (DeviceSlot* slot = system_.find(a.device)) {
            if (const auto link = system_.interfaceLink(*slot, kindOf(a.interfaceKind))) {
                client::OpenResult opened = client::openLink(*link);
                status = opened.status;
                handle = std::move(opened.handle);
            }
        }
        return Json{{"status", statusText(status)}};
    }

    Json operator()(const scenario::CloseAction& a) {
        auto it = handles_.find(a.handle);
        if (it != handles_.end()) {
            it->second.close();
            handles_.erase(it);
        }
        return Json::object();
    }

    Json operator()(const scenario::IoctlAction& a) {
        const client::Handle& handle = handles_[a.handle];
        Json result = Json::object();
        if (!handle.valid()) {
            // The open failed: the caller holds no handle, as INVALID_HANDLE_VALUE would be.
            result["status"] = statusText(STATUS_INVALID_HANDLE);
            result["information"] = 0;
            result["out"] = "";
            return result;
        }
        std::vector<std::uint8_t> output = a.outData;
        output.resize(a.outLength, 0);
        const char* name = ioctlName(a.code);
        Progress progress(options_.progress, name != nullptr ? name : hex32(a.code),
                          &system_.machine().clock());
        const client::BytesReply reply = client::IoctlWithOutputBuffer(handle, a.code, a.in, output);
        result["status"] = statusText(reply.status);
        result["information"] = reply.information;
        result["out"] = scenario::toHex(reply.bytes);
        return result;
    }

    Json operator()(const scenario::DeviceAction& a) {
        if (DeviceSlot* slot = system_.find(a.device)) {
            switch (a.kind) {
                case scenario::DeviceAction::Kind::SurpriseRemove:
                    system_.surpriseRemove(*slot);
                    break;
                case scenario::DeviceAction::Kind::Remove:
                    system_.remove(*slot);
                    break;
                case scenario::DeviceAction::Kind::Plug:
                    system_.plug(*slot);
                    break;
            }
        }
        return Json::object();
    }

    Json operator()(const scenario::SiblingNotifyAction& a) {
        const SiblingAnswer answer = system_.notifySibling(a);
        Json result = Json::object();
        result["result"] = hex64(answer.result);
        result["serial"] = answer.serial ? Json(hex64(*answer.serial)) : Json(nullptr);
        result["notify_status"] = statusText(answer.notifyStatus);
        return result;
    }

    Json operator()(const scenario::WaitAction& a) {
        system_.machine().clock().sleepMicros(a.ms * 1000);
        return Json::object();
    }

    Json operator()(const scenario::FlashAction& a) {
        FlashJob job;
        job.file = a.file;
        job.address = a.address;
        job.verify = a.verify;
        job.leave = a.leave;
        return firmware(a.device, [&](const JobContext& c) { return runFlashJob(job, c); });
    }

    Json operator()(const scenario::ReadAction& a) {
        const ReadJob job{a.file, a.address, a.length};
        return firmware(a.device, [&](const JobContext& c) { return runReadJob(job, c); });
    }

    Json operator()(const scenario::VerifyAction& a) {
        const VerifyJob job{a.file, std::nullopt};
        return firmware(a.device, [&](const JobContext& c) { return runVerifyJob(job, c); });
    }

    void closeAll() {
        for (auto& [name, handle] : handles_) {
            handle.close();
        }
        handles_.clear();
    }

private:
    // A firmware job on its own handle, closed when the job ends.
    Json firmware(const std::string& name, const std::function<JobOutcome(const JobContext&)>& job) {
        DeviceSlot* slot = system_.find(name);
        JobContext context;
        context.open = [&]() -> client::Handle {
            system_.settle();
            const auto link = system_.interfaceLink(*slot, InterfaceKind::Driver);
            if (!link) return {};
            return client::openLink(*link).handle;
        };
        Json warnings = Json::array();
        context.warn = [&](const std::string& text) { warnings.push_back(text); };
        const JobOutcome outcome = job(context);
        Json result = outcome.details;
        if (!warnings.empty()) result["warnings"] = warnings;
        result["ok"] = outcome.exitCode == 0;
        result["message"] = outcome.message;
        return result;
    }

    DriverOnBus& system_;
    const SystemOptions& options_;
    std::map<std::string, client::Handle> handles_;
};

}  // namespace

Json runScenario(const scenario::Scenario& s, const SystemOptions& options) {
    DriverOnBus system(s, options);
    ActionRunner runner(system, options);
    system.start();

    Json actions = Json::array();
    for (const scenario::Action& action : s.actions) {
        actions.push_back(std::visit(runner, action));
        // What the action made leave or come back arrives before the next one.
        system.settle();
    }

    Json devices = Json::object();
    for (DeviceSlot& slot : system.devices()) {
        devices[slot.name()] = deviceSnapshot(system, slot);
    }

    system.removeAll();
    runner.closeAll();
    const bool unloaded = system.unload();

    Json result = Json::object();
    result["actions"] = std::move(actions);
    result["devices"] = std::move(devices);
    result["events"] = eventsJson(system.machine().eventLog());
    result["usb"] = usbJson(system.usb());
    result["waits_ms"] = waitsJson(system.machine().waits());
    result["timer_resolution"] = Json{{"requests", system.machine().timerResolution().requests()},
                                      {"releases", system.machine().timerResolution().releases()}};
    result["leaks"] = unloaded ? Json(system.leaks()) : Json(system.machine().pool().leakedTags());
    result["driver"] = system.driverName();
    result["allocations"] = allocationCounts(system.machine());
    result["driver_entry"] = statusText(system.driverEntryStatus());
    result["unloaded"] = unloaded;
    return result;
}

}  // namespace dfuhost
