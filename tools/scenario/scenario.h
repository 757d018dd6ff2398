// A scenario: the machine, its bus and its devices, and the actions to run on them. Read from
// the JSON document that docs/scenario.md describes; every error names the file, the path of
// the bad element and what was expected.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "host/fault_plan.h"
#include "sim/config.h"

namespace scenario {

class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using Bytes = std::vector<std::uint8_t>;

struct RegistryValue {
    enum class Type { Dword, Sz, Binary, Qword, MultiSz } type = Type::Dword;
    std::uint64_t number = 0;              // Dword, Qword
    std::string text;                      // Sz
    Bytes binary;                          // Binary
    std::vector<std::string> strings;      // MultiSz
};

struct Parameters {
    enum class Kind { Empty, Missing, RegFile, Values } kind = Kind::Empty;
    std::string regFile;  // RegFile: as written; relative paths are taken from the scenario's folder
    std::vector<std::pair<std::string, RegistryValue>> values;
};

// A failure the machine makes on purpose while the driver runs: the nth allocation of a pool tag,
// or the nth call of a system service, counted from the start of the run.
struct MachineFault {
    std::optional<ULONG> allocationTag;   // the tag, as the pool counts it
    std::optional<host::FaultSite> service;
    std::uint64_t nth = 1;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;  // a service's failure
};

struct Fault {
    std::string request;  // DNLOAD, UPLOAD, GETSTATUS, GETSTATE, CLRSTATUS, ABORT, DETACH,
                          // GET_DESCRIPTOR, ANY
    unsigned nth = 1;
    unsigned count = 1;   // 0: every occurrence from nth on
    std::string action;   // stall, timeout, unplug, reply
    Bytes reply;
};

struct IdentityRecord {
    std::uint16_t pid = 0;
    std::uint16_t vid = 0;
    std::uint16_t variant = 0;
};

struct MemoryPatch {
    std::uint32_t address = 0;
    Bytes bytes;
};

// What a busy GETSTATUS announces and how long the work really takes, both in ms; unset keeps
// the preset's.
struct OperationTiming {
    std::string operation;  // set_address, page_erase, mass_erase, write, leave, option_byte_write,
                            // read_unprotect
    std::optional<std::uint32_t> pollMs;
    std::optional<std::uint32_t> busyMs;
};

struct Device {
    std::string name;
    std::size_t index = 0;  // position in "devices", for error paths
    std::vector<unsigned> location;  // root-hub port, then hub ports; filled in when not given
    bool locationGiven = false;
    unsigned controller = 0;
    std::optional<unsigned> productCode;  // preset; none: a blank bootloader

    std::optional<std::vector<std::string>> hardwareIds;
    bool serialGiven = false;
    std::optional<std::string> serial;  // serialGiven && !serial: no serial-number string
    std::optional<std::uint16_t> bcdUsb, bcdDevice, idVendor, idProduct;
    std::optional<bool> highSpeed;
    std::optional<std::uint16_t> transferSize;
    std::optional<std::uint8_t> attributes;
    std::optional<std::vector<std::string>> segments;
    std::optional<Bytes> optionBytes;
    std::vector<IdentityRecord> identityRecords;
    std::vector<MemoryPatch> memory;
    std::optional<bool> readProtected;
    std::optional<Bytes> getCommands;
    std::vector<Fault> faults;
    // Beyond version 1 of the contract: what the preset writes into the EEPROM section and the
    // version block.
    std::optional<std::uint64_t> manufacturerSerial;
    std::optional<std::uint16_t> firmwareVersion;
    std::vector<OperationTiming> timings;
    sim::Quirks quirks;  // off unless the scenario says
};

struct OpenAction {
    std::string handle;
    std::string device;
    std::string interfaceKind = "driver";  // driver, product, companion
};
struct CloseAction {
    std::string handle;
};
struct IoctlAction {
    std::uint32_t code = 0;
    std::string handle;
    Bytes in;
    std::uint32_t outLength = 0;
    Bytes outData;  // initial contents of the output buffer (what an in-direct code sends)
};
struct DeviceAction {
    enum class Kind { SurpriseRemove, Remove, Plug } kind;
    std::string device;
};
struct SiblingNotifyAction {
    std::uint64_t command = 0x1001;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::vector<unsigned> location{1};
    unsigned controller = 0;
    bool serialOut = true;
    std::uint64_t result = 0;
};
struct WaitAction {
    std::uint64_t ms = 0;
};

// Firmware work; paths are resolved against the scenario's folder when it is read.
struct FlashAction {
    std::string device;
    std::string file;
    std::optional<std::uint32_t> address;
    bool verify = true;
    bool leave = false;
};
struct ReadAction {
    std::string device;
    std::string file;
    std::uint32_t address = 0;
    std::uint32_t length = 0;
};
struct VerifyAction {
    std::string device;
    std::string file;
};

using Action = std::variant<OpenAction, CloseAction, IoctlAction, DeviceAction,
                            SiblingNotifyAction, WaitAction, FlashAction, ReadAction, VerifyAction>;

struct Scenario {
    std::string fileName;
    unsigned osMajor = 10;
    unsigned osMinor = 0;
    Parameters parameters;
    std::vector<Device> devices;
    std::vector<Action> actions;
    // A Windows driver image to run instead of the driver built into the program; empty: the
    // built-in one.
    std::string driverImage;
    std::vector<MachineFault> machineFaults;

    const Device* findDevice(const std::string& name) const;
    // The ports of the hub (or root hub) at `prefix` of a controller: as many as the highest port
    // a device of the scenario uses right below it, and at least `narrowest`.
    unsigned hubWidth(unsigned controller, const std::vector<unsigned>& prefix, unsigned narrowest) const;
};

// A scenario's hubs have at least this many ports.
inline constexpr unsigned kNarrowestHub = 8;

// Limits of the bus: ports per hub are numbered 1..255; hubs reach five tiers below the root.
inline constexpr unsigned kMaxPort = 255;
inline constexpr std::size_t kMaxLocationDepth = 6;
inline constexpr unsigned kMaxControllers = 16;

// Throws ScenarioError.
Scenario parseScenario(const nlohmann::json& document, const std::string& fileName);
Scenario parseScenarioText(const std::string& text, const std::string& fileName);
Scenario loadScenarioFile(const std::string& path);

// A fault found after parsing (a preset the table does not have, a layout the model refuses):
// the same message form, "file: path: expected ...".
[[noreturn]] void fail(const Scenario& scenario, const std::string& path,
                       const std::string& expected);

// "0a0b" -> {0x0a, 0x0b}; throws ScenarioError naming where.
Bytes parseHex(const std::string& text, const std::string& where);
// Lower case, no separators.
std::string toHex(const std::uint8_t* data, std::size_t length);
inline std::string toHex(const Bytes& bytes) { return toHex(bytes.data(), bytes.size()); }

}  // namespace scenario
