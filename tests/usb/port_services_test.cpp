// Port requests, the topology address and its comparison, the bus interface and the instance
// string.
#include <gtest/gtest.h>

#include "platform/kernel_helpers.h"
#include "tests/support/descriptor_bytes.h"
#include "tests/support/transport_harness.h"
#include "usb/instance_string.h"
#include "usb/port_services.h"

namespace ostdfu_test {
namespace {

USB_TOPOLOGY_ADDRESS address(ULONG function, USHORT root, std::initializer_list<USHORT> hubs) {
    USB_TOPOLOGY_ADDRESS a{};
    a.PciBusNumber = 0;
    a.PciDeviceNumber = 0x14;
    a.PciFunctionNumber = function;
    a.RootHubPortNumber = root;
    int tier = 0;
    for (USHORT port : hubs)
        a.HubPortNumber[tier++] = port;
    return a;
}

struct TopologyCase {
    const char* name;
    USB_TOPOLOGY_ADDRESS a;
    USB_TOPOLOGY_ADDRESS b;
    bool same;
};
void PrintTo(const TopologyCase& c, std::ostream* os) { *os << c.name; }

class TopologyComparison : public ::testing::TestWithParam<TopologyCase> {};

TEST_P(TopologyComparison, SameHubMeansSameProduct) {
    const TopologyCase& c = GetParam();
    EXPECT_EQ(DoPassedUsbTopologyAddressesReferToSameDevice(nullptr, &c.a, &c.b) != FALSE, c.same);
    EXPECT_EQ(DoPassedUsbTopologyAddressesReferToSameDevice(nullptr, &c.b, &c.a) != FALSE, c.same)
        << "the comparison must not depend on the order";
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, TopologyComparison,
    ::testing::Values(
        TopologyCase{"SiblingPortsOfOneHub", address(0, 3, {2, 1}), address(0, 3, {2, 4}), true},
        TopologyCase{"DifferentRootPorts", address(0, 3, {2, 1}), address(0, 4, {2, 4}), false},
        TopologyCase{"DifferentHubAbove", address(0, 3, {2, 1}), address(0, 3, {5, 4}), false},
        TopologyCase{"DifferentPciFunction", address(0, 3, {2, 1}), address(1, 3, {2, 1}), false},
        TopologyCase{"BothAtRootPorts", address(0, 3, {}), address(0, 3, {}), false},
        TopologyCase{"OneAtARootPort", address(0, 3, {}), address(0, 3, {1}), false},
        TopologyCase{"FiveTiersAndTwoTiers", address(0, 3, {2, 7, 1, 1, 1}), address(0, 3, {2, 4}),
                     true},
        TopologyCase{"FiveTiersAndTwoTiersOtherTierZero", address(0, 3, {2, 7, 1, 1, 1}),
                     address(0, 3, {6, 4}), false},
        TopologyCase{"SameHubFirstTier", address(0, 1, {3}), address(0, 1, {4}), true},
        TopologyCase{"IdenticalDeepAddresses", address(0, 2, {1, 2, 3, 4, 5}),
                     address(0, 2, {1, 2, 3, 4, 5}), true}),
    [](const ::testing::TestParamInfo<TopologyCase>& info) {
        return std::string(info.param.name);
    });

TEST(TopologyAddress, ComesFromTheHubChainOfTheDevice) {
    TransportOptions options;
    options.pci = {2, 0x1D, 7};
    options.rootPort = 4;
    options.hubPorts = {3, 1, 2, 4, 6};  // five hubs deep
    TransportHarness harness(options);
    USB_TOPOLOGY_ADDRESS a;
    std::memset(&a, 0xEE, sizeof(a));
    ASSERT_EQ(GetUsbTopologyAddress(harness.device(), &a), STATUS_SUCCESS);
    EXPECT_EQ(a.PciBusNumber, 2u);
    EXPECT_EQ(a.PciDeviceNumber, 0x1Du);
    EXPECT_EQ(a.PciFunctionNumber, 7u);
    EXPECT_EQ(a.Reserved, 0u);
    EXPECT_EQ(a.RootHubPortNumber, 4);
    EXPECT_EQ((std::vector<USHORT>(a.HubPortNumber, a.HubPortNumber + 5)),
              (std::vector<USHORT>{3, 1, 2, 4, 6}));
    EXPECT_EQ(a.Reserved2, 0);
}

TEST(TopologyAddress, FailureLeavesItZero) {
    TransportOptions options;
    options.filter = true;
    TransportHarness harness(options);
    harness.filter().setCompletion(host::io::ScriptedLowerDevice::Completion::AtOnce);
    harness.filter().setAnswer(
        {STATUS_INVALID_DEVICE_REQUEST, 0, [](PIRP irp) {
             std::memset(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1, 0x5A,
                         sizeof(USB_TOPOLOGY_ADDRESS));
         }});
    USB_TOPOLOGY_ADDRESS a;
    EXPECT_EQ(GetUsbTopologyAddress(harness.device(), &a), STATUS_INVALID_DEVICE_REQUEST);
    const USB_TOPOLOGY_ADDRESS zero{};
    EXPECT_EQ(std::memcmp(&a, &zero, sizeof(a)), 0);
}

// ---- port requests -----------------------------------------------------------------------------

TEST(PortRequests, CycleAndResetReachThePortAndFreeTheirIrps) {
    TransportHarness harness;
    EXPECT_EQ(CyclePort(harness.device()), STATUS_SUCCESS);
    EXPECT_EQ(ResetPort(harness.device()), STATUS_SUCCESS);
    EXPECT_EQ(harness.end().cycles(), 1);
    EXPECT_EQ(harness.end().resets(), 1);
    const auto traffic = harness.traffic();
    ASSERT_EQ(traffic.size(), 2u);
    EXPECT_EQ(traffic[0].kind, host::usb::TrafficEntry::Kind::CyclePort);
    EXPECT_EQ(traffic[1].kind, host::usb::TrafficEntry::Kind::ResetPort);
    EXPECT_TRUE(harness.leakedTags().empty());
}

TEST(PortRequests, PendingCompletionIsWaitedForThroughTheStatusBlock) {
    TransportOptions options;
    options.filter = true;
    TransportHarness harness(options);
    harness.filter().setCompletion(host::io::ScriptedLowerDevice::Completion::FromThread);
    harness.filter().setAnswer({STATUS_DEVICE_NOT_CONNECTED, 0, {}});
    EXPECT_EQ(ResetPort(harness.device()), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(harness.filter().seen().back().ioControlCode, IOCTL_INTERNAL_USB_RESET_PORT);
    EXPECT_TRUE(harness.leakedTags().empty());
}

TEST(PortRequests, GoneDeviceGivesNoSuchDevice) {
    TransportHarness harness;
    harness.end().disconnect();
    EXPECT_EQ(CyclePort(harness.device()), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(harness.end().cycles(), 0);
}

// ---- the bus interface -------------------------------------------------------------------------

TEST(BusInterface, ObtainedReferencedOnceAndReleasedOnce) {
    for (const host::UsbSpeed speed : {host::UsbSpeed::Full, host::UsbSpeed::High}) {
        auto end = std::make_shared<ScriptedDeviceEnd>();
        end->setSpeed(speed);
        TransportHarness harness({}, end);
        FDO_DATA* fdo = harness.fdo();
        ASSERT_EQ(ObtainAndReferenceHCDirectCallInterface(harness.device()), STATUS_SUCCESS);
        EXPECT_EQ(fdo->BusInterfaceReferenced, 1);
        EXPECT_EQ(fdo->BusInterface.Version, 1);
        EXPECT_EQ(fdo->BusInterface.Size, sizeof(USB_BUS_INTERFACE_USBDI_V1));
        ASSERT_NE(fdo->BusInterface.IsDeviceHighSpeed, nullptr);
        EXPECT_EQ(fdo->BusInterface.IsDeviceHighSpeed(fdo->BusInterface.BusContext) != FALSE,
                  speed == host::UsbSpeed::High);
        EXPECT_EQ(harness.busDevice().busInterfaceReferences(), 1);

        DereferenceHCDirectCallInterface(harness.device());
        DereferenceHCDirectCallInterface(harness.device());
        EXPECT_EQ(fdo->BusInterfaceReferenced, 0);
        EXPECT_EQ(harness.busDevice().busInterfaceReferences(), 0);
        EXPECT_EQ(harness.busDevice().busInterfaceDereferenceCalls(), 1);
        EXPECT_TRUE(harness.leakedTags().empty());
    }
}

TEST(BusInterface, DereferenceWithoutObtainDoesNothing) {
    TransportHarness harness;
    DereferenceHCDirectCallInterface(harness.device());
    EXPECT_EQ(harness.busDevice().busInterfaceDereferenceCalls(), 0);
}

TEST(BusInterface, UnansweredQueryIsNotSupportedAndHoldsNoReference) {
    TransportOptions options;
    options.filter = true;
    TransportHarness harness(options);
    // A lower driver that completes the query without touching its status.
    harness.filter().setCompletion(host::io::ScriptedLowerDevice::Completion::AtOnce);
    harness.filter().setAnswer({STATUS_NOT_SUPPORTED, 0, {}});
    EXPECT_EQ(ObtainAndReferenceHCDirectCallInterface(harness.device()), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(harness.fdo()->BusInterfaceReferenced, 0);
    EXPECT_EQ(harness.filter().seen().back().minorFunction, IRP_MN_QUERY_INTERFACE);
}

// ---- the instance string -----------------------------------------------------------------------

TEST(InstanceString, SerialNumberDeviceGivesItsLowerCaseSerial) {
    TransportHarness harness;  // serial 315A28A0B956, iSerialNumber 3
    harness.fdo()->DeviceDescriptor.iSerialNumber = 3;
    SIZE_T size = 99;
    PWSTR text = QueryInstanceString(harness.device(), harness.fdo()->PhysicalDeviceObject, &size);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), u"315a28a0b956");
    EXPECT_EQ(size, 12u * 2 + 8);
    ExFreePoolWithTag(text, PoolTag("iinf"));
    EXPECT_TRUE(harness.leakedTags().empty());
}

TEST(InstanceString, DeviceWithoutSerialDropsThePortParts) {
    TransportOptions options;
    options.serialNumber = u"";
    TransportHarness harness(options);
    harness.fdo()->DeviceDescriptor.iSerialNumber = 0;
    SIZE_T size = 0;
    PWSTR text = QueryInstanceString(harness.device(), harness.fdo()->PhysicalDeviceObject, &size);
    ASSERT_NE(text, nullptr);
    // The generated instance id looks like 5&1a2b3c4d&0&2: its port parts go.
    const std::u16string id = harness.pnpDevice().instanceId();
    EXPECT_EQ(std::u16string(text), id.substr(0, id.find(u'&', 2)));
    EXPECT_EQ(std::u16string(text).find(u'&'), 1u);
    ExFreePoolWithTag(text, PoolTag("iinf"));
}

TEST(InstanceString, UnreadableKeyGivesNullAndSizeZero) {
    TransportHarness harness;
    harness.machine().faults().failCall(host::FaultSite::RegistryOpen, 1);
    SIZE_T size = 99;
    EXPECT_EQ(QueryInstanceString(harness.device(), harness.fdo()->PhysicalDeviceObject, &size),
              nullptr);
    EXPECT_EQ(size, 0u);
}

struct CutCase {
    const char* name;
    std::u16string keyName;
    bool serial;
    const char16_t* instance;  // nullptr: no instance string
};
void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class InstanceStringCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(InstanceStringCut, FindsTheInstancePart) {
    const CutCase& c = GetParam();
    std::u16string name = c.keyName;
    PCWSTR instance = nullptr;
    const BOOLEAN found =
        FindInstanceStringInKeyName(name.data(), name.size(), c.serial, &instance);
    if (c.instance == nullptr) {
        EXPECT_FALSE(found);
    } else {
        ASSERT_TRUE(found);
        EXPECT_EQ(std::u16string(instance), c.instance);
    }
}

const std::u16string kEnum =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_0483&PID_DF11\\";

INSTANTIATE_TEST_SUITE_P(
    KeyNames, InstanceStringCut,
    ::testing::Values(
        CutCase{"Serial", kEnum + u"315A28A0B956\\Device Parameters", true, u"315A28A0B956"},
        CutCase{"Generated", kEnum + u"5&1a2b3c4d&0&2\\Device Parameters", false, u"5&1a2b3c4d"},
        CutCase{"NoBackslash", u"VID_0483&PID_DF11&5&1a2b3c4d&0&2", false, nullptr},
        CutCase{"NoBackslashWithSerial", u"STM32", true, nullptr},
        CutCase{"OnlyTheFirstCharacterIsABackslash", u"\\Device Parameters", true, nullptr},
        CutCase{"OneComponentAboveTheLast", u"\\R\\A\\B", true, u"A"},
        CutCase{"BackslashOnlyAtTheStart", u"\\A\\B", true, nullptr},
        CutCase{"NotEnoughAmpersands", u"\\X\\abc&d\\Device Parameters", false, nullptr},
        CutCase{"Empty", u"", true, nullptr}),
    [](const ::testing::TestParamInfo<CutCase>& info) { return std::string(info.param.name); });

TEST(InstanceStringCopy, SizeCountsTheCharactersTheTerminatorAndSlack) {
    TransportHarness harness;
    SIZE_T size = 0;
    PWSTR copy = AllocateInstanceStringCopy(u"0123456789", &size);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(size, 28u);
    EXPECT_EQ(std::u16string(copy), u"0123456789");
    ExFreePoolWithTag(copy, PoolTag("iinf"));
    size = 5;
    EXPECT_EQ(AllocateInstanceStringCopy(nullptr, &size), nullptr);
    EXPECT_EQ(size, 0u);
}

}  // namespace
}  // namespace ostdfu_test
