// Configuration at preparation, the bounded descriptor walk, alternate settings and the fresh
// read of the configuration descriptor.
#include <gtest/gtest.h>

#include "host/framework/usb_target.h"
#include "platform/kernel_helpers.h"
#include "tests/support/descriptor_bytes.h"
#include "tests/support/transport_harness.h"
#include "usb/configuration.h"

namespace ostdfu_test {
namespace {

Bytes wire(const host::usb::TrafficEntry& entry) {
    return {entry.setup.begin(), entry.setup.end()};
}

const Bytes kGetDevice = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
const Bytes kGetConfigHeader = {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x09, 0x00};
const Bytes kSetConfiguration1 = {0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(Configuration, SingleInterfaceDeviceIsSelectedAsSingleInterface) {
    TransportHarness harness;
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    FDO_DATA* fdo = harness.fdo();

    EXPECT_EQ(fdo->DeviceDescriptor.idProduct, 0xDF11);
    EXPECT_EQ(fdo->DeviceDescriptor.bcdDevice, 0x2200);
    ASSERT_NE(fdo->ConfigurationDescriptor, nullptr);
    const auto* bytes = reinterpret_cast<const UCHAR*>(fdo->ConfigurationDescriptor);
    EXPECT_EQ(Bytes(bytes, bytes + 54), descriptors::kDfuConfiguration);
    EXPECT_EQ(fdo->NumberOfInterfaces, 1u);
    ASSERT_NE(fdo->UsbInterface, nullptr);
    EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(fdo->UsbInterface), 0);
    EXPECT_EQ(fdo->NumberConfiguredPipes, 0);
    EXPECT_NE(fdo->DefaultIoTarget, nullptr);
    EXPECT_EQ(host::fx::Object::from<host::fx::UsbDevice>(fdo->UsbDevice)->lastSelectType(),
              WdfUsbTargetDeviceSelectConfigTypeSingleInterface);

    const auto traffic = harness.traffic();
    ASSERT_EQ(traffic.size(), 4u);
    EXPECT_EQ(wire(traffic[0]), kGetDevice);
    EXPECT_EQ(wire(traffic[1]), kGetConfigHeader);
    EXPECT_EQ(wire(traffic[2]), (Bytes{0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x36, 0x00}));
    EXPECT_EQ(wire(traffic[3]), kSetConfiguration1);
    EXPECT_EQ(harness.end().configuration(), 1);
}

TEST(Configuration, ThreeInterfacesAreSelectedAsPairsAtSettingZero) {
    auto end = std::make_shared<ScriptedDeviceEnd>();
    end->setConfigurationDescriptor(descriptors::kThreeInterfaceConfiguration);
    TransportHarness harness({}, end);
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    FDO_DATA* fdo = harness.fdo();

    EXPECT_EQ(fdo->NumberOfInterfaces, 3u);
    EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(fdo->UsbInterface), 0);
    EXPECT_EQ(fdo->NumberConfiguredPipes, 2);  // interface 0 has two endpoints
    EXPECT_EQ(host::fx::Object::from<host::fx::UsbDevice>(fdo->UsbDevice)->lastSelectType(),
              WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs);
    // Every interface stays at its first setting: SET_CONFIGURATION alone, no SET_INTERFACE.
    const auto traffic = harness.traffic();
    ASSERT_EQ(traffic.size(), 4u);
    EXPECT_EQ(wire(traffic[3]), kSetConfiguration1);
    EXPECT_TRUE(harness.leakedTags().size() == 1 && harness.leakedTags()[0] == "f5ds")
        << "the pairs array must be freed; only the descriptor memory stays";
}

TEST(Configuration, ZeroInterfacesIsAnInvalidDeviceState) {
    auto end = std::make_shared<ScriptedDeviceEnd>();
    end->setConfigurationDescriptor(descriptors::kEmptyConfiguration);
    TransportHarness harness({}, end);
    EXPECT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(harness.fdo()->NumberOfInterfaces, 0u);
    EXPECT_EQ(harness.fdo()->UsbInterface, nullptr);
    for (const auto& entry : harness.traffic()) {
        EXPECT_NE(entry.setup[1], 0x09) << "nothing may be configured";
    }
}

TEST(Configuration, SecondPreparationReusesTheUsbDeviceAndReplacesTheDescriptor) {
    TransportHarness harness;
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    const WDFUSBDEVICE usbDevice = harness.fdo()->UsbDevice;
    const PUSB_CONFIGURATION_DESCRIPTOR first = harness.fdo()->ConfigurationDescriptor;
    harness.busDevice().clearTraffic();

    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    EXPECT_EQ(harness.fdo()->UsbDevice, usbDevice);
    EXPECT_NE(harness.fdo()->ConfigurationDescriptor, first);
    // No second read of the descriptors: the existing target keeps them.
    const auto traffic = harness.traffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(wire(traffic[0]), kSetConfiguration1);
}

// ---- the descriptor walk -----------------------------------------------------------------------

struct WalkCase {
    const char* name;
    Bytes configuration;
    std::vector<std::size_t> offsets;  // where the walk stops, in order
};
void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class DescriptorWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(DescriptorWalk, YieldsWholeDescriptorsAndEndsAtTheFirstBadOne) {
    const WalkCase& c = GetParam();
    TransportHarness harness;
    Bytes buffer = c.configuration;
    // The bytes after wTotalLength are not the descriptor's: a walk that reads them is wrong.
    buffer.resize(buffer.size() + 16, 0x09);
    harness.fdo()->ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer.data());

    std::vector<std::size_t> offsets;
    for (PUSB_COMMON_DESCRIPTOR d = NextDescriptor(harness.device(), nullptr); d != nullptr;
         d = NextDescriptor(harness.device(), d)) {
        offsets.push_back(static_cast<std::size_t>(reinterpret_cast<UCHAR*>(d) - buffer.data()));
        ASSERT_LT(offsets.size(), 64u) << "the walk loops";
    }
    EXPECT_EQ(offsets, c.offsets);
    EXPECT_EQ(GetConfigDescriptorEnd(harness.device()),
              buffer.data() + (c.configuration[2] | c.configuration[3] << 8));
    harness.fdo()->ConfigurationDescriptor = nullptr;
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, DescriptorWalk,
    ::testing::Values(
        WalkCase{"HeaderOnly", descriptors::kEmptyConfiguration, {0}},
        WalkCase{"DfuConfiguration", descriptors::kDfuConfiguration, {0, 9, 18, 27, 36, 45}},
        // interface descriptor with bLength 0 in the middle: the walk must not loop on it
        WalkCase{
            "LengthZeroInTheMiddle",
            {0x09, 0x02, 0x1B, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x00, 0x00, 0x00,
             0xFE, 0x01, 0x02, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0xFE, 0x01, 0x02, 0x00},
            {0, 9}},
        WalkCase{"LengthOne",
                 {0x09, 0x02, 0x0C, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x01, 0x04, 0x00},
                 {0}},
        // the interface descriptor claims 10 bytes where 9 remain
        WalkCase{"OverrunsTotalLengthByOneByte",
                 {0x09, 0x02, 0x12, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x0A, 0x04, 0x00, 0x00,
                  0x00, 0xFE, 0x01, 0x02, 0x00},
                 {0}},
        // a single trailing byte: no room for a descriptor header
        WalkCase{"TrailingByte",
                 {0x09, 0x02, 0x13, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x00, 0x00,
                  0x00, 0xFE, 0x01, 0x02, 0x00, 0x09},
                 {0, 9}},
        // the header itself claims more than wTotalLength
        WalkCase{
            "HeaderLongerThanTotal", {0x09, 0x02, 0x08, 0x00, 0x00, 0x01, 0x00, 0x80, 0x32}, {}}),
    [](const ::testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

TEST(DescriptorWalk, NothingIsValidWithoutAConfiguration) {
    TransportHarness harness;
    USB_COMMON_DESCRIPTOR d{9, 4};
    EXPECT_EQ(NextDescriptor(harness.device(), nullptr), nullptr);
    EXPECT_FALSE(IsDescriptorValid(harness.device(), &d));
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    EXPECT_FALSE(IsDescriptorValid(harness.device(), nullptr));
}

// ---- alternate settings ------------------------------------------------------------------------

TEST(AlternateSetting, SelectingSendsSetInterfaceAndRemembersTheSetting) {
    TransportHarness harness;
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    ASSERT_EQ(SetAlternateSetting(harness.device(), 2), STATUS_SUCCESS);
    EXPECT_EQ(harness.fdo()->CurrentAlternateSetting, 2);
    EXPECT_EQ(harness.end().alternateSetting(0), 2);
    EXPECT_EQ(wire(harness.traffic().back()),
              (Bytes{0x01, 0x0B, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(AlternateSetting, FailureKeepsTheSettingInForce) {
    TransportHarness harness;
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    ASSERT_EQ(SetAlternateSetting(harness.device(), 1), STATUS_SUCCESS);
    const std::size_t before = harness.traffic().size();

    // A setting the interface does not have never reaches the wire.
    EXPECT_EQ(SetAlternateSetting(harness.device(), 7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(harness.traffic().size(), before);
    EXPECT_EQ(harness.fdo()->CurrentAlternateSetting, 1);

    harness.end().script(requestMatcher(0x01, 0x0B), ScriptedReply::stall());
    EXPECT_EQ(SetAlternateSetting(harness.device(), 3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(harness.fdo()->CurrentAlternateSetting, 1);
}

// ---- fresh read of the configuration descriptor -------------------------------------------------

struct FreshReadCase {
    const char* name;
    std::vector<ScriptedReply> answers;  // to the header read, then the full read
    NTSTATUS status;
    ULONG length;
    bool buffer;
};
void PrintTo(const FreshReadCase& c, std::ostream* os) { *os << c.name; }

class FreshConfigurationRead : public ::testing::TestWithParam<FreshReadCase> {};

TEST_P(FreshConfigurationRead, ChecksTheLengthOfEachAnswer) {
    const FreshReadCase& c = GetParam();
    TransportHarness harness;
    for (const ScriptedReply& answer : c.answers) {
        harness.end().script(descriptorMatcher(0x02), answer);
    }
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(1);
    ULONG length = 12345;
    EXPECT_EQ(GetConfigurationDescriptor(harness.device(), &descriptor, &length), c.status);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(descriptor != nullptr, c.buffer);
    if (descriptor != nullptr) {
        const auto* bytes = reinterpret_cast<const UCHAR*>(descriptor);
        EXPECT_EQ(Bytes(bytes, bytes + length), descriptors::kDfuConfiguration);
        ExFreePoolWithTag(descriptor, PoolTag("c73z"));
    }
    EXPECT_TRUE(harness.leakedTags().empty());
}

const Bytes& dfu = descriptors::kDfuConfiguration;

INSTANTIATE_TEST_SUITE_P(
    Answers, FreshConfigurationRead,
    ::testing::Values(FreshReadCase{"Whole", {}, STATUS_SUCCESS, 54, true},
                      FreshReadCase{"EightHeaderBytes",
                                    {ScriptedReply::answer(Bytes(dfu.begin(), dfu.begin() + 8))},
                                    STATUS_UNSUCCESSFUL,
                                    8,
                                    false},
                      FreshReadCase{"TotalLengthNine",
                                    {ScriptedReply::answer(descriptors::kEmptyConfiguration)},
                                    STATUS_SUCCESS,
                                    9,
                                    false},
                      FreshReadCase{"ShortSecondRead",
                                    {ScriptedReply::answer(dfu),
                                     ScriptedReply::answer(Bytes(dfu.begin(), dfu.begin() + 50))},
                                    STATUS_UNSUCCESSFUL,
                                    50,
                                    false},
                      FreshReadCase{
                          "StalledHeader", {ScriptedReply::stall()}, STATUS_UNSUCCESSFUL, 0, false},
                      FreshReadCase{"StalledSecondRead",
                                    {ScriptedReply::answer(dfu), ScriptedReply::stall()},
                                    STATUS_UNSUCCESSFUL,
                                    0,
                                    false}),
    [](const ::testing::TestParamInfo<FreshReadCase>& info) {
        return std::string(info.param.name);
    });

TEST(FreshConfigurationRead, GoneDeviceGivesNoSuchDevice) {
    TransportHarness harness;
    harness.end().disconnect();
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = nullptr;
    ULONG length = 0;
    EXPECT_EQ(GetConfigurationDescriptor(harness.device(), &descriptor, &length),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(descriptor, nullptr);
}

}  // namespace
}  // namespace ostdfu_test
