// Driver entry and the driver-wide parameters: pool type by system version, the two registry
// paths, the failure paths, the driver's cleanup, and reading one parameter on request.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "host/framework/driver.h"
#include "notify/event_log.h"
#include "tests/support/driver_harness.h"

namespace {

using ostdfu_test::DriverHarness;
using ostdfu_test::RegValue;
using ostdfu_test::textOf;

struct VersionCase {
    unsigned major;
    unsigned minor;
    POOL_TYPE expected;
};
std::string caseName(const VersionCase& c) { return "Version" + std::to_string(c.major) + "_" + std::to_string(c.minor); }
void PrintTo(const VersionCase& c, std::ostream* os) { *os << caseName(c); }

class PoolTypeByVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(PoolTypeByVersion, NonPagedAllocationsUseTheChosenType) {
    DriverHarness h({GetParam().major, GetParam().minor});
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(NonPagedPoolType, GetParam().expected);
    h.offerStDfuDevice();
    // The hardware-ID list is the non-paged allocation of add; the paths stay paged.
    EXPECT_EQ(h.machine().pool().typesUsed(OSTDFU_TAG_HARDWARE_IDS),
              std::vector<POOL_TYPE>{GetParam().expected});
    for (POOL_TYPE t : h.machine().pool().typesUsed(OSTDFU_TAG_REGISTRY_PATH)) {
        EXPECT_EQ(t, PagedPool);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, PoolTypeByVersion,
                         testing::Values(VersionCase{5, 1, NonPagedPool}, VersionCase{6, 1, NonPagedPool},
                                         VersionCase{6, 2, NonPagedPoolNx}, VersionCase{6, 3, NonPagedPoolNx},
                                         VersionCase{10, 0, NonPagedPoolNx}),
                         [](const testing::TestParamInfo<VersionCase>& info) { return caseName(info.param); });

TEST(DriverEntry, FailedVersionQueryKeepsThePagedChoiceSafe) {
    DriverHarness h({10, 0});
    h.faults().failCall(host::FaultSite::VersionQuery, 1, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(NonPagedPoolType, NonPagedPool);
}

TEST(DriverEntry, KeepsTheRegistryPathAndATerminatedParametersPath) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    const std::u16string path = h.machine().pnp().registryPath();
    const std::size_t n = path.size() * 2;
    EXPECT_EQ(textOf(RegistryPathCopy), path);
    EXPECT_EQ(RegistryPathCopy.MaximumLength, n + 2);
    EXPECT_EQ(textOf(ParametersKeyPath), path + u"\\Parameters");
    EXPECT_EQ(ParametersKeyPath.Length, n + 22);
    EXPECT_EQ(ParametersKeyPath.MaximumLength, n + 26);
    EXPECT_EQ(ParametersKeyPath.Buffer[ParametersKeyPath.Length / 2], 0);
    // The buffers are what the pool handed out for them.
    auto block = h.machine().pool().find(ParametersKeyPath.Buffer);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->size, n + 26);
    EXPECT_EQ(block->type, PagedPool);
}

TEST(DriverEntry, LogsEntryCreatesTheFrameworkDriverAndCleansUpAtUnload) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    host::fx::Driver* fx = h.machine().framework().driver();
    ASSERT_NE(fx, nullptr);
    EXPECT_NE(fx->config().EvtDriverDeviceAdd, nullptr);
    EXPECT_EQ(fx->config().EvtDriverUnload, nullptr);
    EXPECT_EQ(fx->attributes().EvtCleanupCallback, &OstDFUDriverEvtContextCleanup);
    EXPECT_EQ(h.machine().trace().sessions(), 1);

    ASSERT_TRUE(h.unloadDriver());
    EXPECT_EQ(h.eventTexts(), (std::vector<std::string>{
                                  "device \\Driver\\ostdfu icode:DriverEntry.",
                                  "device \\Driver\\ostdfu icode:DriverEvtContextCleanup."}));
    const auto events = h.events();
    EXPECT_EQ(events[0].packet.size(), 76u);
    EXPECT_EQ(RegistryPathCopy.Buffer, nullptr);
    EXPECT_EQ(ParametersKeyPath.Buffer, nullptr);
    EXPECT_EQ(h.machine().trace().sessions(), 0);
    EXPECT_TRUE(h.leakedTags().empty());
}

TEST(DriverEntry, FrameworkDriverFailureFreesBothPathsAndStopsTracing) {
    DriverHarness h;
    h.faults().failCall(host::FaultSite::DriverCreate, 1, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h.loadDriver(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(h.machine().pnp().driverLoaded());
    EXPECT_EQ(h.machine().trace().sessions(), 0);
    EXPECT_TRUE(h.leakedTags().empty());
    // The entry event was logged before anything could fail.
    ASSERT_EQ(h.eventTexts().size(), 1u);
    EXPECT_EQ(h.eventTexts()[0], "device \\Driver\\ostdfu icode:DriverEntry.");
}

TEST(DriverEntry, RegistryPathTooLongForItsCopiesIsRefused) {
    host::Machine machine;
    PDRIVER_OBJECT driver = machine.ioObjects().createDriver(u"\\Driver\\ostdfu");
    // Near the largest countable string: adding the suffix would wrap the 16-bit length.
    std::u16string longPath(32760, u'a');
    UNICODE_STRING path{static_cast<USHORT>(longPath.size() * 2),
                        static_cast<USHORT>(longPath.size() * 2 + 2), longPath.data()};
    EXPECT_EQ(DriverEntry(driver, &path), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(machine.pool().leakedTags().empty());
    EXPECT_EQ(machine.trace().sessions(), 0);
    machine.ioObjects().deleteDriver(driver);
}

// ---- ReadRegGlobalParameterDword --------------------------------------------------------------

struct ReadCase {
    const char* what;
    std::optional<RegValue> value;
    NTSTATUS status;
    ULONG expected;  // the output, which starts as 0xAAAAAAAA
};
void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.what; }

class ReadParameter : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadParameter, TakesFourBytesOrLeavesTheOutputAlone) {
    DriverHarness h;
    if (GetParam().value) {
        h.setParameters({{u"Probe", *GetParam().value}});
    } else {
        h.setParameters({});
    }
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    ULONG out = 0xAAAAAAAA;
    EXPECT_EQ(ReadRegGlobalParameterDword(nullptr, u"Probe", &out), GetParam().status);
    EXPECT_EQ(out, GetParam().expected);
    EXPECT_EQ(h.machine().objects().openHandles(), 0u);
    EXPECT_EQ(h.machine().pool().allocations(OSTDFU_TAG_READ_PARAMETER), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReadParameter,
    testing::Values(ReadCase{"dword", RegValue::dword(0x12345678), STATUS_SUCCESS, 0x12345678},
                    ReadCase{"one character string", RegValue::string(u"7"), STATUS_SUCCESS, 0x00000037},
                    ReadCase{"two byte binary", RegValue::binary({1, 2}), STATUS_SUCCESS, 0xAAAAAAAA},
                    ReadCase{"ten character string", RegValue::string(u"0123456789"), STATUS_BUFFER_OVERFLOW, 0xAAAAAAAA},
                    ReadCase{"missing value", std::nullopt, STATUS_OBJECT_NAME_NOT_FOUND, 0xAAAAAAAA}),
    [](const testing::TestParamInfo<ReadCase>& info) {
        std::string name = info.param.what;
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(ReadParameter, MissingKeyGivesTheOpenStatus) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    ULONG out = 5;
    EXPECT_EQ(ReadRegGlobalParameterDword(nullptr, u"Probe", &out), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(out, 5u);
}

TEST(ReadParameter, BufferFailureClosesTheKey) {
    DriverHarness h;
    h.setParameters({{u"Probe", RegValue::dword(1)}});
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    h.faults().failAllocation(OSTDFU_TAG_READ_PARAMETER, 1);
    ULONG out = 5;
    EXPECT_EQ(ReadRegGlobalParameterDword(nullptr, u"Probe", &out), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(out, 5u);
    EXPECT_EQ(h.machine().objects().openHandles(), 0u);
}

}  // namespace
