// A machine with the driver on it, for tests: builds the Machine (virtual clock, chosen system
// version), fills the driver's Parameters key, loads the driver, offers devices, and reads back
// the event log, the device contexts and the pool.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "context/device_context.h"
#include "host/machine.h"

namespace ostdfu_test {

inline constexpr std::u16string_view kService = u"ostdfu";
inline constexpr std::u16string_view kParametersPath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\ostdfu\\Parameters";
inline constexpr std::u16string_view kStDfuId = u"USB\\VID_0483&PID_DF11&REV_2200";
inline constexpr std::u16string_view kStDfuIdNoRev = u"USB\\VID_0483&PID_DF11";

// A registry value as a test writes it.
struct RegValue {
    ULONG type;
    std::vector<std::uint8_t> data;
    static RegValue dword(std::uint32_t value);
    static RegValue string(std::u16string_view text);
    static RegValue binary(std::vector<std::uint8_t> bytes);
};

// The message table compiled from the driver's .mc source, in the host's form.
host::MessageTable driverMessageTable();

struct HarnessOptions {
    unsigned osMajor = 10;
    unsigned osMinor = 0;
    // Benchmarks that measure time for real; tests keep the virtual clock.
    bool realClock = false;
    // A Windows image of the driver (ostdfu.sys) to load instead of the driver compiled in.
    std::string driverImage = {};
};

class DriverHarness {
public:
    explicit DriverHarness(HarnessOptions options = {});

    host::Machine& machine() { return machine_; }
    host::Registry& registry() { return machine_.registry(); }
    host::FaultPlan& faults() { return machine_.faults(); }

    // Values of the driver's Parameters key (the key is created even for an empty map).
    void setParameters(const std::map<std::u16string, RegValue>& values);
    // Loads .reg text; failures throw host::RegFileError.
    void loadReg(std::string_view text);

    // The driver compiled in, or the options' image; an image that does not load throws
    // std::runtime_error with the loader's reason.
    NTSTATUS loadDriver();
    host::PnpDevice& offerDevice(std::vector<std::u16string> hardwareIds,
                                 std::u16string serialNumber = u"");
    host::PnpDevice& offerStDfuDevice(std::u16string serialNumber = u"");
    // Unloads the driver; the machine's pool must then be empty.
    bool unloadDriver();

    FDO_DATA* context(const host::PnpDevice& device) const;
    std::vector<host::EventLogEntry> events() { return machine_.eventLog().entries(); }
    std::vector<std::string> eventTexts() { return machine_.eventLog().renderAll(); }
    std::vector<std::string> leakedTags() { return machine_.pool().leakedTags(); }

private:
    host::Machine machine_;
    std::string driverImage_;
};

// The UTF-16 text of a UNICODE_STRING.
std::u16string textOf(const UNICODE_STRING& string);
// A tag in its four characters, for messages.
std::string tagName(ULONG tag);

}  // namespace ostdfu_test
