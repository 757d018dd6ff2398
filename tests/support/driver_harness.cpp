#include "tests/support/driver_harness.h"

#include <stdexcept>
#include <utility>

#include "driver/driver.h"
#include "host/registry/reg_file.h"
#include "notify/message_table.h"

namespace ostdfu_test {

RegValue RegValue::dword(std::uint32_t value) {
    return {REG_DWORD,
            {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
             static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)}};
}

RegValue RegValue::string(std::u16string_view text) {
    return {REG_SZ, host::registryStringData(text)};
}

RegValue RegValue::binary(std::vector<std::uint8_t> bytes) { return {REG_BINARY, std::move(bytes)}; }

host::MessageTable driverMessageTable() {
    host::MessageTable table;
    ULONG count = 0;
    const EVENT_MESSAGE_ENTRY* messages = OstDfuMessageTable(&count);
    for (ULONG i = 0; i < count; ++i) {
        table.add(messages[i].MessageId, messages[i].Text);
    }
    return table;
}

DriverHarness::DriverHarness(HarnessOptions options)
    : machine_(host::MachineOptions{!options.realClock, options.osMajor, options.osMinor, 19045}),
      driverImage_(std::move(options.driverImage)) {
    machine_.eventLog().setMessageTable(driverMessageTable());
}

void DriverHarness::setParameters(const std::map<std::u16string, RegValue>& values) {
    registry().createKey(kParametersPath);
    for (const auto& [name, value] : values) {
        registry().setValue(kParametersPath, name, value.type, value.data);
    }
}

void DriverHarness::loadReg(std::string_view text) { host::loadRegText(registry(), text); }

NTSTATUS DriverHarness::loadDriver() {
    if (driverImage_.empty()) {
        return machine_.pnp().loadDriver(DriverEntry, kService);
    }
    const host::image::DriverImages::Loaded loaded = machine_.driverImages().load(driverImage_);
    if (loaded.image == nullptr) {
        throw std::runtime_error(loaded.error);
    }
    return machine_.pnp().loadDriver(loaded.image->entryPoint(), kService, host::FrameworkBinding::ByDriver);
}

host::PnpDevice& DriverHarness::offerDevice(std::vector<std::u16string> hardwareIds,
                                            std::u16string serialNumber) {
    host::PnpDeviceDescription description;
    description.hardwareIds = std::move(hardwareIds);
    description.serialNumber = std::move(serialNumber);
    return machine_.pnp().offerDevice(std::move(description));
}

host::PnpDevice& DriverHarness::offerStDfuDevice(std::u16string serialNumber) {
    return offerDevice({std::u16string(kStDfuId), std::u16string(kStDfuIdNoRev)},
                       std::move(serialNumber));
}

bool DriverHarness::unloadDriver() { return machine_.pnp().unloadDriver(); }

FDO_DATA* DriverHarness::context(const host::PnpDevice& device) const {
    return device.handle() == nullptr ? nullptr : FdoGetData(device.handle());
}

std::u16string textOf(const UNICODE_STRING& string) {
    if (string.Buffer == nullptr) {
        return {};
    }
    return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

std::string tagName(ULONG tag) { return host::tagText(tag); }

}  // namespace ostdfu_test
