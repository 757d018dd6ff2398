#include "tools/scenario/scenario.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "updater_interface/ioctl.h"

namespace scenario {

namespace {

using nlohmann::json;

// Where in the document an element sits, for error messages: devices[2].faults[0].action
class Path {
public:
    Path(std::string file, std::string text) : file_(std::move(file)), text_(std::move(text)) {}
    Path operator/(const std::string& key) const {
        return Path(file_, text_.empty() ? key : text_ + "." + key);
    }
    Path operator[](std::size_t index) const {
        return Path(file_, text_ + "[" + std::to_string(index) + "]");
    }
    [[noreturn]] void fail(const std::string& expected, const json* got = nullptr) const {
        std::string message = file_ + ": " + (text_.empty() ? "(document)" : text_) +
                              ": expected " + expected;
        if (got != nullptr) {
            std::string shown = got->dump();
            if (shown.size() > 60) {
                shown = shown.substr(0, 57) + "...";
            }
            message += ", got " + shown;
        }
        throw ScenarioError(message);
    }

private:
    std::string file_;
    std::string text_;
};

// "comment" is allowed in every object that takes named keys, so examples can explain
// themselves; its value is not read.
constexpr const char* kComment = "comment";

void expectObject(const json& value, const Path& path, const std::set<std::string>& known) {
    if (!value.is_object()) {
        path.fail("an object", &value);
    }
    for (const auto& item : value.items()) {
        if (item.key() != kComment && !known.contains(item.key())) {
            std::string list;
            for (const std::string& k : known) {
                list += (list.empty() ? "" : ", ") + k;
            }
            (path / item.key()).fail("one of the keys " + list);
        }
    }
}

// Numbers may be JSON numbers or strings "0x..." (or decimal strings).
std::uint64_t number(const json& value, const Path& path, std::uint64_t max) {
    std::uint64_t n = 0;
    if (value.is_number_unsigned()) {
        n = value.get<std::uint64_t>();
    } else if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
        n = static_cast<std::uint64_t>(value.get<std::int64_t>());
    } else if (value.is_string()) {
        const std::string text = value.get<std::string>();
        const bool hex = text.size() > 2 && (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0);
        const std::string digits = hex ? text.substr(2) : text;
        if (digits.empty() ||
            digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
                std::string::npos ||
            digits.size() > (hex ? 16u : 19u)) {
            path.fail("a number or a \"0x...\" string", &value);
        }
        n = std::stoull(digits, nullptr, hex ? 16 : 10);
    } else {
        path.fail("a number or a \"0x...\" string", &value);
    }
    if (n > max) {
        path.fail("a number up to " + std::to_string(max), &value);
    }
    return n;
}

template <class T>
T numberAs(const json& value, const Path& path) {
    return static_cast<T>(number(value, path, static_cast<std::uint64_t>(T(~T(0)))));
}

std::string text(const json& value, const Path& path) {
    if (!value.is_string()) {
        path.fail("a string", &value);
    }
    return value.get<std::string>();
}

bool boolean(const json& value, const Path& path) {
    if (!value.is_boolean()) {
        path.fail("true or false", &value);
    }
    return value.get<bool>();
}

Bytes hexBytes(const json& value, const Path& path) {
    const std::string hex = text(value, path);
    if (hex.size() % 2 != 0 ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        path.fail("hex digits in pairs, without separators", &value);
    }
    return parseHex(hex, "");
}

std::vector<std::string> strings(const json& value, const Path& path) {
    if (!value.is_array()) {
        path.fail("an array of strings", &value);
    }
    std::vector<std::string> result;
    for (std::size_t i = 0; i < value.size(); ++i) {
        result.push_back(text(value[i], path[i]));
    }
    return result;
}

std::vector<unsigned> location(const json& value, const Path& path) {
    if (!value.is_array() || value.empty() || value.size() > kMaxLocationDepth) {
        path.fail("an array of 1 to 6 port numbers (root-hub port, then hub ports)", &value);
    }
    std::vector<unsigned> ports;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto port = static_cast<unsigned>(number(value[i], path[i], kMaxPort));
        if (port == 0) {
            path[i].fail("a port number from 1 to 255", &value[i]);
        }
        ports.push_back(port);
    }
    return ports;
}

unsigned controllerIndex(const json& value, const Path& path) {
    return static_cast<unsigned>(number(value, path, kMaxControllers - 1));
}

void parseOsVersion(const json& value, const Path& path, Scenario& s) {
    const std::string v = text(value, path);
    const std::size_t dot = v.find('.');
    auto isNumber = [](const std::string& part) {
        return !part.empty() && part.size() <= 4 &&
               part.find_first_not_of("0123456789") == std::string::npos;
    };
    if (dot == std::string::npos || !isNumber(v.substr(0, dot)) || !isNumber(v.substr(dot + 1))) {
        path.fail("a version \"MAJOR.MINOR\" such as \"10.0\" or \"6.1\"", &value);
    }
    s.osMajor = static_cast<unsigned>(std::stoul(v.substr(0, dot)));
    s.osMinor = static_cast<unsigned>(std::stoul(v.substr(dot + 1)));
}

RegistryValue registryValue(const json& value, const Path& path) {
    RegistryValue r;
    if (value.is_number() || value.is_string()) {
        r.type = RegistryValue::Type::Dword;
        r.number = number(value, path, 0xFFFFFFFF);
        return r;
    }
    if (!value.is_object() || value.size() != 1) {
        path.fail("a number (REG_DWORD) or an object with exactly one of sz, binary, qword, multi_sz",
                  &value);
    }
    expectObject(value, path, {"sz", "binary", "qword", "multi_sz"});
    const auto first = value.begin();
    const std::string key = first.key();
    const json& inner = first.value();
    if (key == "sz") {
        r.type = RegistryValue::Type::Sz;
        r.text = text(inner, path / key);
    } else if (key == "binary") {
        r.type = RegistryValue::Type::Binary;
        r.binary = hexBytes(inner, path / key);
    } else if (key == "qword") {
        r.type = RegistryValue::Type::Qword;
        r.number = number(inner, path / key, ~0ULL);
    } else {
        r.type = RegistryValue::Type::MultiSz;
        r.strings = strings(inner, path / key);
    }
    return r;
}

Parameters parameters(const json& value, const Path& path) {
    Parameters p;
    if (value.is_null()) {
        p.kind = Parameters::Kind::Missing;
    } else if (value.is_string()) {
        p.kind = Parameters::Kind::RegFile;
        p.regFile = value.get<std::string>();
        if (p.regFile.empty()) {
            path.fail("the path of a .reg file", &value);
        }
    } else if (value.is_object()) {
        p.kind = Parameters::Kind::Values;
        for (const auto& item : value.items()) {
            if (item.key().empty()) {
                path.fail("value names that are not empty", &value);
            }
            p.values.emplace_back(item.key(), registryValue(item.value(), path / item.key()));
        }
    } else {
        path.fail("a .reg file path, an object of values, or null", &value);
    }
    return p;
}

Fault fault(const json& value, const Path& path) {
    expectObject(value, path, {"request", "nth", "count", "action", "reply"});
    static const std::set<std::string> kRequests = {"DNLOAD",    "UPLOAD",    "GETSTATUS",
                                                    "GETSTATE",  "CLRSTATUS", "ABORT",
                                                    "DETACH",    "GET_DESCRIPTOR", "ANY"};
    static const std::set<std::string> kActions = {"stall", "timeout", "unplug", "reply"};
    Fault f;
    if (!value.contains("request") || !value.contains("action")) {
        path.fail("an object with \"request\" and \"action\"", &value);
    }
    f.request = text(value["request"], path / "request");
    if (!kRequests.contains(f.request)) {
        (path / "request").fail(
            "DNLOAD, UPLOAD, GETSTATUS, GETSTATE, CLRSTATUS, ABORT, DETACH, GET_DESCRIPTOR or ANY",
            &value["request"]);
    }
    f.action = text(value["action"], path / "action");
    if (!kActions.contains(f.action)) {
        (path / "action").fail("stall, timeout, unplug or reply", &value["action"]);
    }
    if (value.contains("nth")) {
        f.nth = static_cast<unsigned>(number(value["nth"], path / "nth", 1000000));
        if (f.nth == 0) {
            (path / "nth").fail("a number from 1 (the first occurrence)", &value["nth"]);
        }
    }
    if (value.contains("count")) {
        f.count = static_cast<unsigned>(number(value["count"], path / "count", 1000000));
    }
    if (value.contains("reply")) {
        f.reply = hexBytes(value["reply"], path / "reply");
    }
    if (f.action == "reply" && !value.contains("reply")) {
        path.fail("\"reply\" bytes with action \"reply\"", &value);
    }
    return f;
}

MachineFault machineFault(const json& value, const Path& path) {
    expectObject(value, path, {"allocation", "service", "nth", "status"});
    MachineFault f;
    if (value.contains("allocation") == value.contains("service")) {
        path.fail("an object with either \"allocation\" (a pool tag) or \"service\"", &value);
    }
    if (value.contains("allocation")) {
        const std::string tag = text(value["allocation"], path / "allocation");
        if (tag.size() != 4) {
            (path / "allocation").fail("a pool tag of four characters, such as \"urbt\"", &value["allocation"]);
        }
        f.allocationTag = static_cast<ULONG>(static_cast<unsigned char>(tag[0])) |
                          static_cast<ULONG>(static_cast<unsigned char>(tag[1])) << 8 |
                          static_cast<ULONG>(static_cast<unsigned char>(tag[2])) << 16 |
                          static_cast<ULONG>(static_cast<unsigned char>(tag[3])) << 24;
    } else {
        f.service = host::faultSiteNamed(text(value["service"], path / "service"));
        if (!f.service) {
            (path / "service").fail("a service docs/scenario.md lists, such as \"IrpAllocation\"",
                                    &value["service"]);
        }
    }
    if (value.contains("nth")) {
        f.nth = number(value["nth"], path / "nth", 1000000000);
        if (f.nth == 0) {
            (path / "nth").fail("a number from 1 (the first occurrence)", &value["nth"]);
        }
    }
    if (value.contains("status")) {
        f.status = static_cast<NTSTATUS>(number(value["status"], path / "status", 0xFFFFFFFF));
    }
    return f;
}

std::vector<OperationTiming> timings(const json& value, const Path& path) {
    static const std::vector<std::string> kOperations = {"set_address", "page_erase",        "mass_erase",
                                                         "write",       "leave",             "option_byte_write",
                                                         "read_unprotect"};
    expectObject(value, path, std::set<std::string>(kOperations.begin(), kOperations.end()));
    // The poll time-out is a 24-bit field of the status reply.
    constexpr std::uint64_t kMaxMs = 0xFFFFFF;
    std::vector<OperationTiming> result;
    for (const auto& item : value.items()) {
        if (item.key() == kComment) continue;
        const Path at = path / item.key();
        expectObject(item.value(), at, {"poll_ms", "busy_ms"});
        OperationTiming timing{item.key(), std::nullopt, std::nullopt};
        if (item.value().contains("poll_ms")) {
            timing.pollMs = static_cast<std::uint32_t>(number(item.value()["poll_ms"], at / "poll_ms", kMaxMs));
        }
        if (item.value().contains("busy_ms")) {
            timing.busyMs = static_cast<std::uint32_t>(number(item.value()["busy_ms"], at / "busy_ms", kMaxMs));
        }
        result.push_back(std::move(timing));
    }
    return result;
}

sim::Quirks quirks(const json& value, const Path& path) {
    static const std::pair<const char*, bool sim::Quirks::*> kSwitches[] = {
        {"first_status_firmware_error", &sim::Quirks::firstStatusFirmwareError},
        {"stall_status_while_busy", &sim::Quirks::stallStatusWhileBusy},
        {"poll_timeout_shorter_than_busy", &sim::Quirks::pollTimeoutShorterThanBusy},
        {"stay_in_manifest", &sim::Quirks::stayInManifest},
        {"disconnect_before_leave_status", &sim::Quirks::disconnectBeforeLeaveStatus},
        {"answers_while_busy", &sim::Quirks::answersWhileBusy},
        {"strict_abort", &sim::Quirks::strictAbort},
        {"strict_clr_status", &sim::Quirks::strictClrStatus},
    };
    std::set<std::string> known = {"extra_busy_replies"};
    for (const auto& [key, member] : kSwitches) known.insert(key);
    expectObject(value, path, known);
    sim::Quirks q;
    for (const auto& [key, member] : kSwitches) {
        if (value.contains(key)) q.*member = boolean(value[key], path / key);
    }
    if (value.contains("extra_busy_replies")) {
        q.extraBusyReplies =
            static_cast<std::uint32_t>(number(value["extra_busy_replies"], path / "extra_busy_replies", 1000));
    }
    return q;
}

Device device(const json& value, const Path& path) {
    expectObject(value, path,
                 {"name", "location", "controller", "preset", "hardware_ids", "serial",
                  "bcd_usb", "bcd_device", "id_vendor", "id_product", "high_speed",
                  "transfer_size", "attributes", "segments", "option_bytes", "identity_records",
                  "memory", "read_protected", "get_commands", "faults", "manufacturer_serial",
                  "firmware_version", "quirks", "timings"});
    Device d;
    if (!value.contains("name")) {
        path.fail("an object with a \"name\"", &value);
    }
    d.name = text(value["name"], path / "name");
    if (d.name.empty()) {
        (path / "name").fail("a name that is not empty", &value["name"]);
    }
    for (const auto& item : value.items()) {
        const std::string& key = item.key();
        const json& v = item.value();
        const Path p = path / key;
        if (key == "location") {
            d.location = location(v, p);
            d.locationGiven = true;
        } else if (key == "controller") {
            d.controller = controllerIndex(v, p);
        } else if (key == "preset") {
            if (v.is_string() && v.get<std::string>() == "blank") {
                d.productCode.reset();
            } else {
                try {
                    d.productCode = static_cast<unsigned>(number(v, p, 0xFFFFFFFF));
                } catch (const ScenarioError&) {
                    p.fail("a product code or \"blank\"", &v);
                }
            }
        } else if (key == "hardware_ids") {
            d.hardwareIds = strings(v, p);
        } else if (key == "serial") {
            d.serialGiven = true;
            if (!v.is_null()) {
                d.serial = text(v, p);
            }
        } else if (key == "bcd_usb") {
            d.bcdUsb = numberAs<std::uint16_t>(v, p);
        } else if (key == "bcd_device") {
            d.bcdDevice = numberAs<std::uint16_t>(v, p);
        } else if (key == "id_vendor") {
            d.idVendor = numberAs<std::uint16_t>(v, p);
        } else if (key == "id_product") {
            d.idProduct = numberAs<std::uint16_t>(v, p);
        } else if (key == "high_speed") {
            d.highSpeed = boolean(v, p);
        } else if (key == "transfer_size") {
            d.transferSize = numberAs<std::uint16_t>(v, p);
            if (*d.transferSize == 0) {
                p.fail("a transfer size from 1 to 65535", &v);
            }
        } else if (key == "attributes") {
            d.attributes = numberAs<std::uint8_t>(v, p);
        } else if (key == "segments") {
            d.segments = strings(v, p);
            if (d.segments->empty() || d.segments->size() > 255) {
                p.fail("1 to 255 layout strings, one per alternate setting", &v);
            }
        } else if (key == "option_bytes") {
            d.optionBytes = hexBytes(v, p);
            if (d.optionBytes->size() != 16) {
                p.fail("16 bytes of hex (32 digits)", &v);
            }
        } else if (key == "identity_records") {
            if (!v.is_array()) {
                p.fail("an array of {\"pid\", \"vid\", \"variant\"}", &v);
            }
            for (std::size_t i = 0; i < v.size(); ++i) {
                expectObject(v[i], p[i], {"pid", "vid", "variant"});
                IdentityRecord r;
                if (v[i].contains("pid")) r.pid = numberAs<std::uint16_t>(v[i]["pid"], p[i] / "pid");
                if (v[i].contains("vid")) r.vid = numberAs<std::uint16_t>(v[i]["vid"], p[i] / "vid");
                if (v[i].contains("variant")) {
                    r.variant = numberAs<std::uint16_t>(v[i]["variant"], p[i] / "variant");
                }
                d.identityRecords.push_back(r);
            }
        } else if (key == "memory") {
            if (!v.is_array()) {
                p.fail("an array of {\"address\", \"hex\"}", &v);
            }
            for (std::size_t i = 0; i < v.size(); ++i) {
                expectObject(v[i], p[i], {"address", "hex"});
                if (!v[i].contains("address") || !v[i].contains("hex")) {
                    p[i].fail("an object with \"address\" and \"hex\"", &v[i]);
                }
                d.memory.push_back({numberAs<std::uint32_t>(v[i]["address"], p[i] / "address"),
                                    hexBytes(v[i]["hex"], p[i] / "hex")});
            }
        } else if (key == "read_protected") {
            d.readProtected = boolean(v, p);
        } else if (key == "get_commands") {
            d.getCommands = hexBytes(v, p);
        } else if (key == "faults") {
            if (!v.is_array()) {
                p.fail("an array of faults", &v);
            }
            for (std::size_t i = 0; i < v.size(); ++i) {
                d.faults.push_back(fault(v[i], p[i]));
            }
        } else if (key == "manufacturer_serial") {
            d.manufacturerSerial = number(v, p, ~0ULL);
        } else if (key == "firmware_version") {
            d.firmwareVersion = numberAs<std::uint16_t>(v, p);
        } else if (key == "timings") {
            d.timings = timings(v, p);
        } else if (key == "quirks") {
            d.quirks = quirks(v, p);
        }
    }
    return d;
}

std::uint32_t ioctlCode(const json& value, const Path& path) {
    if (value.is_string()) {
        const std::string name = value.get<std::string>();
        for (const IoctlName& known : IOCTL_NAMES) {
            if (name == known.name) {
                return known.code;
            }
        }
        if (name.rfind("0x", 0) != 0 && name.rfind("0X", 0) != 0) {
            path.fail("a control-code name such as \"IOCTL_DFU_GET_DEVICE_CAPS\" or a number",
                      &value);
        }
    }
    return numberAs<std::uint32_t>(value, path);
}

// Handles by name while the actions are read: a handle is usable from its open to its close.
using OpenHandles = std::set<std::string>;

// A path of the scenario, taken relative to the scenario file's folder.
std::string scenarioPath(const json& value, const Path& path, const std::string& fileName) {
    const std::filesystem::path file = text(value, path);
    if (file.empty()) path.fail("a file name", &value);
    return (file.is_absolute() ? file : std::filesystem::path(fileName).parent_path() / file).string();
}

Action action(const json& value, const Path& path, const std::set<std::string>& devices,
              OpenHandles& handles, const std::string& fileName) {
    if (!value.is_object()) {
        path.fail("an action object", &value);
    }
    auto requireDevice = [&](const json& v, const Path& p) {
        std::string name = text(v, p);
        if (!devices.contains(name)) {
            p.fail("the name of a device of this scenario", &v);
        }
        return name;
    };
    auto requireHandle = [&](const json& v, const Path& p) {
        std::string name = text(v, p);
        if (!handles.contains(name)) {
            p.fail("a handle opened by an earlier action and not closed since", &v);
        }
        return name;
    };
    if (value.contains("open")) {
        expectObject(value, path, {"open", "device", "interface"});
        OpenAction a;
        a.handle = text(value["open"], path / "open");
        if (a.handle.empty() || handles.contains(a.handle)) {
            (path / "open").fail("a handle name that is not open already", &value["open"]);
        }
        if (!value.contains("device")) {
            path.fail("\"device\" with \"open\"", &value);
        }
        a.device = requireDevice(value["device"], path / "device");
        if (value.contains("interface")) {
            a.interfaceKind = text(value["interface"], path / "interface");
            if (a.interfaceKind != "driver" && a.interfaceKind != "product" &&
                a.interfaceKind != "companion") {
                (path / "interface").fail("driver, product or companion", &value["interface"]);
            }
        }
        handles.insert(a.handle);
        return a;
    }
    if (value.contains("close")) {
        expectObject(value, path, {"close"});
        CloseAction a{requireHandle(value["close"], path / "close")};
        handles.erase(a.handle);
        return a;
    }
    if (value.contains("ioctl")) {
        expectObject(value, path, {"ioctl", "handle", "in", "out", "out_data"});
        IoctlAction a;
        a.code = ioctlCode(value["ioctl"], path / "ioctl");
        if (!value.contains("handle")) {
            path.fail("\"handle\" with \"ioctl\"", &value);
        }
        a.handle = requireHandle(value["handle"], path / "handle");
        if (value.contains("in")) {
            a.in = hexBytes(value["in"], path / "in");
        }
        if (value.contains("out_data")) {
            a.outData = hexBytes(value["out_data"], path / "out_data");
            a.outLength = static_cast<std::uint32_t>(a.outData.size());
        }
        if (value.contains("out")) {
            a.outLength = static_cast<std::uint32_t>(number(value["out"], path / "out", 1 << 20));
            if (a.outLength < a.outData.size()) {
                (path / "out").fail("at least as many bytes as \"out_data\" holds", &value["out"]);
            }
        }
        return a;
    }
    for (const auto& [key, kind] : {std::pair{"surprise_remove", DeviceAction::Kind::SurpriseRemove},
                                    std::pair{"remove", DeviceAction::Kind::Remove},
                                    std::pair{"plug", DeviceAction::Kind::Plug}}) {
        if (value.contains(key)) {
            expectObject(value, path, {key});
            return DeviceAction{kind, requireDevice(value[key], path / key)};
        }
    }
    if (value.contains("sibling_notify")) {
        expectObject(value, path, {"sibling_notify"});
        const json& v = value["sibling_notify"];
        const Path p = path / "sibling_notify";
        expectObject(v, p, {"command", "vendor_id", "product_id", "location", "controller",
                            "serial_out", "result"});
        SiblingNotifyAction a;
        if (v.contains("command")) a.command = number(v["command"], p / "command", ~0ULL);
        if (v.contains("vendor_id")) a.vendorId = numberAs<std::uint16_t>(v["vendor_id"], p / "vendor_id");
        if (v.contains("product_id")) {
            a.productId = numberAs<std::uint16_t>(v["product_id"], p / "product_id");
        }
        if (v.contains("location")) a.location = location(v["location"], p / "location");
        if (v.contains("controller")) a.controller = controllerIndex(v["controller"], p / "controller");
        if (v.contains("serial_out")) a.serialOut = boolean(v["serial_out"], p / "serial_out");
        if (v.contains("result")) a.result = number(v["result"], p / "result", ~0ULL);
        return a;
    }
    if (value.contains("flash")) {
        expectObject(value, path, {"flash", "file", "address", "verify", "leave"});
        FlashAction a;
        a.device = requireDevice(value["flash"], path / "flash");
        if (!value.contains("file")) path.fail("\"file\" with \"flash\"", &value);
        a.file = scenarioPath(value["file"], path / "file", fileName);
        if (value.contains("address")) a.address = numberAs<std::uint32_t>(value["address"], path / "address");
        if (value.contains("verify")) a.verify = boolean(value["verify"], path / "verify");
        if (value.contains("leave")) a.leave = boolean(value["leave"], path / "leave");
        return a;
    }
    if (value.contains("read")) {
        expectObject(value, path, {"read", "file", "address", "length"});
        for (const char* key : {"file", "address", "length"}) {
            if (!value.contains(key)) path.fail(std::string("\"") + key + "\" with \"read\"", &value);
        }
        ReadAction a;
        a.device = requireDevice(value["read"], path / "read");
        a.file = scenarioPath(value["file"], path / "file", fileName);
        a.address = numberAs<std::uint32_t>(value["address"], path / "address");
        a.length = numberAs<std::uint32_t>(value["length"], path / "length");
        return a;
    }
    if (value.contains("verify")) {
        expectObject(value, path, {"verify", "file"});
        if (!value.contains("file")) path.fail("\"file\" with \"verify\"", &value);
        return VerifyAction{requireDevice(value["verify"], path / "verify"),
                            scenarioPath(value["file"], path / "file", fileName)};
    }
    if (value.contains("wait_ms")) {
        expectObject(value, path, {"wait_ms"});
        return WaitAction{number(value["wait_ms"], path / "wait_ms", 3600000)};
    }
    path.fail("one of open, close, ioctl, surprise_remove, remove, plug, sibling_notify, wait_ms, "
              "flash, read, verify",
              &value);
}

// A port holds a device or a hub, never both: [3] and [3, 2] cannot both be devices.
void checkPlaces(const Scenario& s, const Path& devicesPath) {
    std::map<std::pair<unsigned, std::vector<unsigned>>, std::size_t> taken;
    for (const Device& d : s.devices) {
        for (const auto& [place, other] : taken) {
            if (place.first != d.controller) continue;
            const std::vector<unsigned>& a = place.second;
            const std::vector<unsigned>& b = d.location;
            const std::size_t common = std::min(a.size(), b.size());
            if (std::equal(a.begin(), a.begin() + common, b.begin())) {
                const std::string why = a.size() == b.size()
                                            ? "a port no other device occupies"
                                            : "a port that is not on the way to another device "
                                              "(a port holds a device or a hub, not both)";
                (devicesPath[d.index] / "location").fail(why + "; devices[" + std::to_string(other) +
                                                         "] is there");
            }
        }
        taken[{d.controller, d.location}] = d.index;
    }
}

// Devices without a location take the lowest root-hub ports that nothing else uses.
void placeUnlocated(Scenario& s, const Path& devicesPath) {
    std::set<std::pair<unsigned, unsigned>> used;
    for (const Device& d : s.devices) {
        if (d.locationGiven) used.insert({d.controller, d.location.front()});
    }
    for (Device& d : s.devices) {
        if (d.locationGiven) continue;
        unsigned port = 1;
        while (used.contains({d.controller, port})) ++port;
        if (port > kMaxPort) {
            (devicesPath[d.index]).fail("a \"location\": every root-hub port is taken");
        }
        used.insert({d.controller, port});
        d.location = {port};
    }
}

}  // namespace

const Device* Scenario::findDevice(const std::string& name) const {
    for (const Device& d : devices) {
        if (d.name == name) return &d;
    }
    return nullptr;
}

void fail(const Scenario& scenario, const std::string& path, const std::string& expected) {
    Path(scenario.fileName, path).fail(expected);
}

Bytes parseHex(const std::string& hex, const std::string& where) {
    if (hex.size() % 2 != 0 ||
        hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw ScenarioError(where + ": expected hex digits in pairs, got \"" + hex + "\"");
    }
    Bytes bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string toHex(const std::uint8_t* data, std::size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

Scenario parseScenario(const json& document, const std::string& fileName) {
    Scenario s;
    s.fileName = fileName;
    const Path root(fileName, "");
    expectObject(document, root,
                 {"version", "system_version", "parameters", "devices", "actions", "driver",
                  "machine_faults"});
    if (document.contains("version") && number(document["version"], root / "version", ~0ULL) != 1) {
        (root / "version").fail("1", &document["version"]);
    }
    if (document.contains("system_version")) {
        parseOsVersion(document["system_version"], root / "system_version", s);
    }
    if (document.contains("parameters")) {
        s.parameters = parameters(document["parameters"], root / "parameters");
    }
    if (document.contains("driver")) {
        s.driverImage = scenarioPath(document["driver"], root / "driver", fileName);
    }
    if (document.contains("machine_faults")) {
        const json& faults = document["machine_faults"];
        if (!faults.is_array()) {
            (root / "machine_faults").fail("an array of machine faults", &faults);
        }
        for (std::size_t i = 0; i < faults.size(); ++i) {
            s.machineFaults.push_back(machineFault(faults[i], (root / "machine_faults")[i]));
        }
    }
    std::set<std::string> names;
    const Path devicesPath = root / "devices";
    if (document.contains("devices")) {
        const json& devices = document["devices"];
        if (!devices.is_array()) {
            devicesPath.fail("an array of devices", &devices);
        }
        for (std::size_t i = 0; i < devices.size(); ++i) {
            Device d = device(devices[i], devicesPath[i]);
            d.index = i;
            if (!names.insert(d.name).second) {
                (devicesPath[i] / "name").fail("a name no other device has", &devices[i]["name"]);
            }
            s.devices.push_back(std::move(d));
        }
        placeUnlocated(s, devicesPath);
        checkPlaces(s, devicesPath);
    }
    if (document.contains("actions")) {
        const json& actions = document["actions"];
        if (!actions.is_array()) {
            (root / "actions").fail("an array of actions", &actions);
        }
        OpenHandles handles;
        for (std::size_t i = 0; i < actions.size(); ++i) {
            s.actions.push_back(action(actions[i], (root / "actions")[i], names, handles, fileName));
        }
    }
    return s;
}

Scenario parseScenarioText(const std::string& text, const std::string& fileName) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& e) {
        // A parse error, or a number too large for any type ("1e400"), which the reader refuses
        // with an out-of-range error instead.
        throw ScenarioError(fileName + ": not valid JSON: " + e.what());
    }
    return parseScenario(document, fileName);
}

unsigned Scenario::hubWidth(unsigned controller, const std::vector<unsigned>& prefix, unsigned narrowest) const {
    unsigned widest = narrowest;
    for (const Device& d : devices) {
        if (d.controller != controller || d.location.size() <= prefix.size()) continue;
        if (std::equal(prefix.begin(), prefix.end(), d.location.begin())) widest = std::max(widest, d.location[prefix.size()]);
    }
    return widest;
}

Scenario loadScenarioFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ScenarioError(path + ": cannot be read");
    }
    std::ostringstream content;
    content << in.rdbuf();
    return parseScenarioText(content.str(), path);
}

}  // namespace scenario
