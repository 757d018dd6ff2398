// The scenario parser on its own: what a document means where it leaves things out, and that
// every malformed element is refused with a message naming the file, the element and what was
// expected.
#include <gtest/gtest.h>

#include <string>

#include "tools/scenario/scenario.h"

namespace {

using scenario::parseScenarioText;
using scenario::ScenarioError;

std::string errorOf(const std::string& document) {
    try {
        parseScenarioText(document, "doc.json");
    } catch (const ScenarioError& e) {
        return e.what();
    }
    return "(accepted)";
}

struct Malformed {
    const char* what;
    const char* document;
    const char* message;  // the whole message must contain this
};

// Each case names the element at fault and what was expected of it.
const Malformed kMalformed[] = {
    {"not JSON", R"({"devices": [)", "doc.json: not valid JSON"},
    {"a number beyond every type", R"({"version": 1e400})", "doc.json: not valid JSON"},
    {"not an object", R"([1, 2])", "doc.json: (document): expected an object"},
    {"unknown top-level key", R"({"device": []})", "doc.json: device: expected one of the keys"},
    {"version other than 1", R"({"version": 2})", "version: expected 1"},
    {"system version without a dot", R"({"system_version": "10"})",
     "system_version: expected a version \"MAJOR.MINOR\""},
    {"system version with a sign", R"({"system_version": "-1.0"})", "system_version: expected"},
    {"parameters of the wrong kind", R"({"parameters": 5})",
     "parameters: expected a .reg file path, an object of values, or null"},
    {"registry value with two types", R"({"parameters": {"V": {"sz": "a", "qword": 1}}})",
     "parameters.V: expected a number (REG_DWORD) or an object with exactly one of"},
    {"dword too large", R"({"parameters": {"V": 4294967296}})", "parameters.V: expected a number up to 4294967295"},
    {"binary value not hex", R"({"parameters": {"V": {"binary": "0g"}}})",
     "parameters.V.binary: expected hex digits in pairs"},
    {"devices not an array", R"({"devices": {}})", "devices: expected an array of devices"},
    {"device without a name", R"({"devices": [{"preset": 41}]})", "devices[0]: expected an object with a \"name\""},
    {"duplicate name", R"({"devices": [{"name": "a"}, {"name": "a"}]})",
     "devices[1].name: expected a name no other device has"},
    {"unknown device key", R"({"devices": [{"name": "a", "presett": 41}]})",
     "devices[0].presett: expected one of the keys"},
    {"unknown quirk", R"({"devices": [{"name": "a", "quirks": {"strict_abrot": true}}]})",
     "devices[0].quirks.strict_abrot: expected one of the keys"},
    {"quirk switch that is not a boolean", R"({"devices": [{"name": "a", "quirks": {"strict_abort": 1}}]})",
     "devices[0].quirks.strict_abort: expected"},
    {"too many extra busy replies", R"({"devices": [{"name": "a", "quirks": {"extra_busy_replies": 1001}}]})",
     "devices[0].quirks.extra_busy_replies: expected a number up to 1000"},
    {"preset that is not a number", R"({"devices": [{"name": "a", "preset": "pedals"}]})",
     "devices[0].preset: expected a product code or \"blank\""},
    {"negative number", R"({"devices": [{"name": "a", "id_vendor": -1}]})",
     "devices[0].id_vendor: expected a number or a \"0x...\" string"},
    {"16-bit field too large", R"({"devices": [{"name": "a", "bcd_device": "0x10000"}]})",
     "devices[0].bcd_device: expected a number up to 65535"},
    {"port 0", R"({"devices": [{"name": "a", "location": [3, 0]}]})",
     "devices[0].location[1]: expected a port number from 1 to 255"},
    {"too deep", R"({"devices": [{"name": "a", "location": [1, 1, 1, 1, 1, 1, 1]}]})",
     "devices[0].location: expected an array of 1 to 6 port numbers"},
    {"two devices at one port", R"({"devices": [{"name": "a", "location": [2]}, {"name": "b", "location": [2]}]})",
     "devices[1].location: expected a port no other device occupies; devices[0] is there"},
    {"a device where a hub must be",
     R"({"devices": [{"name": "a", "location": [3]}, {"name": "b", "location": [3, 2]}]})",
     "devices[1].location: expected a port that is not on the way to another device"},
    {"controller out of range", R"({"devices": [{"name": "a", "controller": 16}]})",
     "devices[0].controller: expected a number up to 15"},
    {"option bytes too short", R"({"devices": [{"name": "a", "option_bytes": "a55a"}]})",
     "devices[0].option_bytes: expected 16 bytes of hex (32 digits)"},
    {"odd hex", R"({"devices": [{"name": "a", "get_commands": "002"}]})",
     "devices[0].get_commands: expected hex digits in pairs"},
    {"memory without hex", R"({"devices": [{"name": "a", "memory": [{"address": 0}]}]})",
     "devices[0].memory[0]: expected an object with \"address\" and \"hex\""},
    {"fault request unknown", R"({"devices": [{"name": "a", "faults": [{"request": "UPLOADS", "action": "stall"}]}]})",
     "devices[0].faults[0].request: expected DNLOAD, UPLOAD"},
    {"fault action misspelt", R"({"devices": [{"name": "a", "faults": [{"request": "ANY", "action": "stal"}]}]})",
     "devices[0].faults[0].action: expected stall, timeout, unplug or reply, got \"stal\""},
    {"fault nth 0", R"({"devices": [{"name": "a", "faults": [{"request": "ANY", "action": "stall", "nth": 0}]}]})",
     "devices[0].faults[0].nth: expected a number from 1"},
    {"reply without bytes", R"({"devices": [{"name": "a", "faults": [{"request": "UPLOAD", "action": "reply"}]}]})",
     "devices[0].faults[0]: expected \"reply\" bytes with action \"reply\""},
    {"transfer size 0", R"({"devices": [{"name": "a", "transfer_size": 0}]})",
     "devices[0].transfer_size: expected a transfer size from 1 to 65535"},
    {"action of no kind", R"({"actions": [{"jump": 1}]})",
     "actions[0]: expected one of open, close, ioctl, surprise_remove, remove, plug, sibling_notify, wait_ms"},
    {"open of an unknown device", R"({"devices": [{"name": "a"}], "actions": [{"open": "h", "device": "b"}]})",
     "actions[0].device: expected the name of a device of this scenario, got \"b\""},
    {"open without a device", R"({"actions": [{"open": "h"}]})", "actions[0]: expected \"device\" with \"open\""},
    {"interface kind unknown",
     R"({"devices": [{"name": "a"}], "actions": [{"open": "h", "device": "a", "interface": "other"}]})",
     "actions[0].interface: expected driver, product or companion"},
    {"handle opened twice",
     R"({"devices": [{"name": "a"}], "actions": [{"open": "h", "device": "a"}, {"open": "h", "device": "a"}]})",
     "actions[1].open: expected a handle name that is not open already"},
    {"ioctl on a handle never opened", R"({"actions": [{"ioctl": "IOCTL_DFU_SET_IDLE", "handle": "h"}]})",
     "actions[0].handle: expected a handle opened by an earlier action and not closed since"},
    {"ioctl on a closed handle",
     R"({"devices": [{"name": "a"}], "actions": [{"open": "h", "device": "a"}, {"close": "h"},
        {"ioctl": "IOCTL_DFU_SET_IDLE", "handle": "h"}]})",
     "actions[2].handle: expected a handle opened by an earlier action"},
    {"unknown control-code name",
     R"({"devices": [{"name": "a"}], "actions": [{"open": "h", "device": "a"}, {"ioctl": "IOCTL_DFU_NOPE", "handle": "h"}]})",
     "actions[1].ioctl: expected a control-code name such as \"IOCTL_DFU_GET_DEVICE_CAPS\" or a number"},
    {"output above 1 MiB",
     R"({"devices": [{"name": "a"}], "actions": [{"open": "h", "device": "a"}, {"ioctl": 1, "handle": "h", "out": 1048577}]})",
     "actions[1].out: expected a number up to 1048576"},
    {"out shorter than out_data",
     R"({"devices": [{"name": "a"}], "actions": [{"open": "h", "device": "a"}, {"ioctl": 1, "handle": "h", "out_data": "0102", "out": 1}]})",
     "actions[1].out: expected at least as many bytes as \"out_data\" holds"},
    {"sibling key misspelt", R"({"actions": [{"sibling_notify": {"vendor": 1}}]})",
     "actions[0].sibling_notify.vendor: expected one of the keys"},
    {"sibling serial_out not a bool", R"({"actions": [{"sibling_notify": {"serial_out": 1}}]})",
     "actions[0].sibling_notify.serial_out: expected true or false"},
    {"remove with an extra key", R"({"devices": [{"name": "a"}], "actions": [{"remove": "a", "now": true}]})",
     "actions[0].now: expected one of the keys remove"},
    {"wait too long", R"({"actions": [{"wait_ms": 3600001}]})", "actions[0].wait_ms: expected a number up to 3600000"},
};

TEST(ScenarioParser, RefusesMalformedElementsNamingThem) {
    for (const Malformed& c : kMalformed) {
        const std::string message = errorOf(c.document);
        EXPECT_NE(message.find(c.message), std::string::npos)
            << c.what << "\n  expected to contain: " << c.message << "\n  got: " << message;
    }
}

TEST(ScenarioParser, FillsWhatTheDocumentLeavesOut) {
    const auto s = parseScenarioText(R"({"devices": [{"name": "a"}], "actions": [{"sibling_notify": {}}]})", "d");
    EXPECT_EQ(s.osMajor, 10u);
    EXPECT_EQ(s.osMinor, 0u);
    EXPECT_EQ(s.parameters.kind, scenario::Parameters::Kind::Empty);
    ASSERT_EQ(s.devices.size(), 1u);
    EXPECT_FALSE(s.devices[0].productCode.has_value()) << "blank by default";
    EXPECT_FALSE(s.devices[0].serialGiven);
    EXPECT_EQ(s.devices[0].controller, 0u);
    const auto& notify = std::get<scenario::SiblingNotifyAction>(s.actions.at(0));
    EXPECT_EQ(notify.command, 0x1001u);
    EXPECT_TRUE(notify.serialOut);
    EXPECT_EQ(notify.result, 0u);
    EXPECT_EQ(notify.location, std::vector<unsigned>{1});
}

TEST(ScenarioParser, DevicesWithoutLocationTakeTheFreeRootPortsOfTheirController) {
    const auto s = parseScenarioText(R"({"devices": [
        {"name": "a"}, {"name": "b", "location": [2, 4]}, {"name": "c"},
        {"name": "d", "controller": 1}, {"name": "e", "location": [1], "controller": 1}]})",
                                     "d");
    EXPECT_EQ(s.devices[0].location, std::vector<unsigned>{1});
    EXPECT_EQ(s.devices[2].location, std::vector<unsigned>{3}) << "port 2 leads to b's hub";
    EXPECT_EQ(s.devices[3].location, std::vector<unsigned>{2}) << "port 1 of controller 1 is e's";
}

TEST(ScenarioParser, ReadsNumbersHexAndRegistryValuesOfEveryType) {
    const auto s = parseScenarioText(R"({
        "system_version": "6.1",
        "parameters": {"D": "0x10", "S": {"sz": "text"}, "B": {"binary": "0A0b"},
                       "Q": {"qword": "0xFFFFFFFFFFFFFFFF"}, "M": {"multi_sz": ["x", "y"]}},
        "devices": [{"name": "a", "serial": null, "id_vendor": "0x3A7C", "preset": "41",
                     "manufacturer_serial": "0x0102030405060708",
                     "identity_records": [{"pid": "0x5029", "vid": 14972, "variant": "7"}]}],
        "actions": [{"open": "h", "device": "a"},
                    {"ioctl": "0x80882081", "handle": "h", "in": "FF", "out_data": "0102"},
                    {"close": "h"}, {"open": "h", "device": "a", "comment": "a handle name may return"}]})",
                                     "d");
    EXPECT_EQ(s.osMajor, 6u);
    EXPECT_EQ(s.osMinor, 1u);
    using T = scenario::RegistryValue::Type;
    ASSERT_EQ(s.parameters.values.size(), 5u);
    const auto value = [&s](const std::string& name) {
        for (const auto& [n, v] : s.parameters.values) {
            if (n == name) return v;
        }
        ADD_FAILURE() << "no value " << name;
        return scenario::RegistryValue{};
    };
    EXPECT_EQ(value("D").type, T::Dword);
    EXPECT_EQ(value("D").number, 16u);
    EXPECT_EQ(value("S").type, T::Sz);
    EXPECT_EQ(value("S").text, "text");
    EXPECT_EQ(value("B").binary, (scenario::Bytes{0x0A, 0x0B}));
    EXPECT_EQ(value("Q").type, T::Qword);
    EXPECT_EQ(value("Q").number, ~0ull);
    EXPECT_EQ(value("M").strings, (std::vector<std::string>{"x", "y"}));
    const scenario::Device& d = s.devices[0];
    EXPECT_TRUE(d.serialGiven);
    EXPECT_FALSE(d.serial.has_value()) << "null: no serial-number string";
    EXPECT_EQ(d.idVendor, 0x3A7C);
    EXPECT_EQ(d.productCode, 41u);
    EXPECT_EQ(d.manufacturerSerial, 0x0102030405060708ull);
    EXPECT_EQ(d.identityRecords.at(0).variant, 7);
    const auto& ioctl = std::get<scenario::IoctlAction>(s.actions.at(1));
    EXPECT_EQ(ioctl.code, 0x80882081u);
    EXPECT_EQ(ioctl.outLength, 2u) << "out defaults to out_data's length";
    EXPECT_EQ(ioctl.outData, (scenario::Bytes{1, 2}));
}

TEST(ScenarioParser, ParametersNullMeansNoKeyAndAStringIsARegFile) {
    EXPECT_EQ(parseScenarioText(R"({"parameters": null})", "d").parameters.kind,
              scenario::Parameters::Kind::Missing);
    const auto file = parseScenarioText(R"({"parameters": "p.reg"})", "d").parameters;
    EXPECT_EQ(file.kind, scenario::Parameters::Kind::RegFile);
    EXPECT_EQ(file.regFile, "p.reg");
}

}  // namespace
