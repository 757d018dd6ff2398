// The control interface's operations by name, and the raw ioctl: each opens the device's
// interface through the updater's library, sends one request and reports what came back.
#include <cstdio>
#include <set>

#include "host/rtl/text.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_report.h"
#include "tools/system/progress.h"
#include "updater_interface/ioctl.h"

namespace dfuhost {

namespace {

// Operations after which the device leaves the bus (and most come back): the listing shows
// where it stands afterwards.
const std::set<std::string> kLeavesTheBus = {"detach", "leave", "read-unprotect",
                                              "option-bytes write", "cycle-port"};

struct Outcome {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    Json data = Json::object();       // what the reply held, for --json
    std::vector<std::string> lines;  // the same for people
};

Outcome fromResult(const client::Result& result) { return {result.status, result.information, Json::object(), {}}; }

ULONG selectorOf(const std::string& text) {
    if (text == "interface") return DESCRIPTOR_SELECTOR_DFU_INTERFACE;
    if (text == "functional") return DESCRIPTOR_SELECTOR_DFU_FUNCTIONAL;
    if (text == "configuration") return DESCRIPTOR_SELECTOR_CONFIGURATION;
    if (text == "string") return DESCRIPTOR_SELECTOR_STRING;
    if (text == "device") return DESCRIPTOR_SELECTOR_DEVICE;
    return static_cast<ULONG>(parseNumber(
        text, "descriptor selector (interface, functional, configuration, string, device or a number)",
        0xFFFFFFFF));
}

std::string argument(const OperationRequest& r, std::size_t index, const char* what) {
    if (index >= r.arguments.size()) throw UsageError(r.operation + ": " + what + " is missing");
    return r.arguments[index];
}

Outcome perform(const OperationRequest& r, const client::Handle& h) {
    const std::string& op = r.operation;
    if (op == "detach") {
        std::optional<USHORT> timeout;
        if (r.timeout) timeout = static_cast<USHORT>(parseNumber(*r.timeout, "--timeout", 0xFFFF));
        return fromResult(client::Detach(h, timeout));
    }
    if (op == "leave") return fromResult(client::Leave(h));
    if (op == "set-idle") return fromResult(client::SetIdle(h));
    if (op == "mass-erase") return fromResult(client::MassErase(h));
    if (op == "read-unprotect") return fromResult(client::ReadUnprotect(h));
    if (op == "cycle-port") return fromResult(client::CyclePort(h));
    if (op == "reset-port") return fromResult(client::ResetPort(h));
    if (op == "ping") return fromResult(client::SequentialPing(h));
    if (op == "option-bytes read") {
        const std::size_t length = r.length ? parseNumber(*r.length, "--length", 0xFFFF) : 16;
        const auto reply = client::ReadOptionBytes(h, length);
        Outcome o{reply.status, reply.information, Json::object(), {}};
        if (NT_SUCCESS(reply.status)) {
            o.data["option_bytes"] = scenario::toHex(reply.bytes);
            o.lines.push_back("option bytes " + scenario::toHex(reply.bytes));
        }
        return o;
    }
    if (op == "option-bytes write") {
        const auto bytes = parseHexArgument(argument(r, 0, "the option bytes (hex)"), "option bytes");
        if (r.allow) {
            const auto allowed = client::SetOptionByteWritesAllowed(h, 1);
            if (!NT_SUCCESS(allowed.status)) return fromResult(allowed);
        }
        return fromResult(client::WriteOptionBytes(h, bytes));
    }
    if (op == "erase-eeprom") {
        const auto section = parseNumber(argument(r, 0, "the section number"), "section", 0xFFFFFFFF);
        return fromResult(client::EraseEepromSection(h, static_cast<LONG>(section)));
    }
    if (op == "begin-dfu") {
        const auto setting = parseNumber(argument(r, 0, "the alternate setting"), "alternate setting", 255);
        return fromResult(client::BeginDfu(h, static_cast<UCHAR>(setting)));
    }
    if (op == "param") {
        const std::string name = argument(r, 0, "the value name");
        const auto reply = client::ReadParameter(h, host::widen(name));
        Outcome o{reply.status, reply.information, Json::object(), {}};
        if (NT_SUCCESS(reply.status)) {
            o.data["value"] = reply.record;
            char text[96];
            std::snprintf(text, sizeof(text), "%u (0x%08x)", reply.record, reply.record);
            o.lines.push_back(name + " = " + text);
        }
        return o;
    }
    if (op == "poll") {
        const auto count = parseNumber(argument(r, 0, "the iteration count"), "iterations", 0xFFFFFFFF);
        std::optional<ULONG> delay;
        if (r.delay) delay = static_cast<ULONG>(parseNumber(*r.delay, "--delay", 0xFFFFFFFF));
        return fromResult(client::PollDevice(h, static_cast<ULONG>(count), delay));
    }
    if (op == "set-version") {
        const auto version = parseNumber(argument(r, 0, "the version"), "version", 0xFFFFFFFF);
        return fromResult(client::SetFirmwareVersion(h, static_cast<ULONG>(version)));
    }
    if (op == "descriptor") {
        const ULONG selector = selectorOf(argument(r, 0, "the selector"));
        const auto index = r.stringIndex ? parseNumber(*r.stringIndex, "--string", 255) : 0;
        const std::size_t length = r.length ? parseNumber(*r.length, "--length", 0xFFFF)
                                   : selector == DESCRIPTOR_SELECTOR_STRING ? 256
                                                                            : 4096;
        const auto reply = client::GetUsbDescriptor(h, selector, static_cast<UCHAR>(index), length);
        Outcome o{reply.status, reply.information, Json::object(), {}};
        if (NT_SUCCESS(reply.status)) {
            o.data["bytes"] = scenario::toHex(reply.bytes);
            if (selector == DESCRIPTOR_SELECTOR_STRING) {
                std::u16string text;
                for (std::size_t i = 0; i + 1 < reply.bytes.size(); i += 2) {
                    const auto unit = static_cast<char16_t>(reply.bytes[i] | reply.bytes[i + 1] << 8);
                    if (unit == 0) break;
                    text.push_back(unit);
                }
                o.data["text"] = host::narrow(text);
                o.lines.push_back("\"" + host::narrow(text) + "\"");
            } else {
                o.lines.push_back(scenario::toHex(reply.bytes));
            }
        }
        return o;
    }
    throw UsageError("unknown operation " + op);
}

}  // namespace

int operationCommand(const GlobalOptions& options, const OperationRequest& r) {
    Session session(options);
    DeviceSlot& device = session.device(r.device);
    Outcome outcome;
    {
        const client::Handle handle = session.open(device);
        Progress progress(session.progress(), r.operation + " " + device.name(),
                          &session.system().machine().clock());
        outcome = perform(r, handle);
    }
    // The handle is closed: a device that left and came back can arrive again.
    session.system().settle();

    Json result = Json::object();
    result["device"] = device.name();
    result["operation"] = r.operation;
    result["status"] = statusText(outcome.status);
    result["information"] = outcome.information;
    for (auto& [key, value] : outcome.data.items()) result[key] = value;
    std::string after;
    if (kLeavesTheBus.contains(r.operation)) {
        const DeviceSummary summary = summarize(session, device);
        result["after"] = summaryJson(summary);
        after = summaryLine(summary);
    }
    session.finish();

    if (options.json) {
        printJson(result, session.system().driverName());
    } else {
        std::printf("%s %s: %s\n", r.operation.c_str(), device.name().c_str(),
                    statusName(outcome.status).c_str());
        for (const std::string& line : outcome.lines) std::printf("  %s\n", line.c_str());
        if (!after.empty()) std::printf("now: %s\n", after.c_str());
    }
    return NT_SUCCESS(outcome.status) ? kExitSuccess : kExitFailed;
}

int ioctlCommand(const GlobalOptions& options, const IoctlRequest& r) {
    ULONG code = 0;
    bool named = false;
    for (const IoctlName& known : IOCTL_NAMES) {
        if (r.code == known.name) {
            code = known.code;
            named = true;
        }
    }
    if (!named) {
        code = static_cast<ULONG>(parseNumber(r.code, "control code (a name such as "
                                                      "IOCTL_DFU_GET_DEVICE_CAPS, or a number)",
                                              0xFFFFFFFF));
    }
    const auto input = parseHexArgument(r.input, "--in");
    std::vector<std::uint8_t> output = parseHexArgument(r.outputData, "--out-data");
    if (!r.outputLength.empty()) {
        const auto length = parseNumber(r.outputLength, "--out", 1 << 20);
        if (length < output.size()) throw UsageError("--out: shorter than --out-data");
        output.resize(length, 0);
    }
    InterfaceKind kind = InterfaceKind::Driver;
    if (r.interfaceKind == "product") kind = InterfaceKind::Product;
    else if (r.interfaceKind == "companion") kind = InterfaceKind::Companion;
    else if (r.interfaceKind != "driver") throw UsageError("--interface: expected driver, product or companion");

    Session session(options);
    DeviceSlot& device = session.device(r.device);
    client::BytesReply reply;
    {
        const client::Handle handle = session.open(device, kind);
        Progress progress(session.progress(), r.code + " " + device.name(),
                          &session.system().machine().clock());
        reply = client::IoctlWithOutputBuffer(handle, code, input, output);
    }
    session.system().settle();
    session.finish();

    if (options.json) {
        printJson(Json{{"device", device.name()},
                       {"code", hex32(code)},
                       {"status", statusText(reply.status)},
                       {"information", reply.information},
                       {"out", scenario::toHex(reply.bytes)}},
                  session.system().driverName());
    } else {
        std::printf("0x%08x %s: %s, information %llu\n", code, device.name().c_str(),
                    statusName(reply.status).c_str(), static_cast<unsigned long long>(reply.information));
        if (!reply.bytes.empty()) std::printf("out %s\n", scenario::toHex(reply.bytes).c_str());
    }
    return NT_SUCCESS(reply.status) ? kExitSuccess : kExitFailed;
}

}  // namespace dfuhost
