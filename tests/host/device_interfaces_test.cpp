// Device interfaces: the links drivers register, what user mode sees of them and when, and the
// strings the system hands the driver.
#include <gtest/gtest.h>

#include "host/framework/device.h"
#include "host/io/user_mode.h"
#include "host/rtl/rtl.h"
#include "platform/rtl.h"
#include "tests/support/io_test_driver.h"

namespace {

using ostdfu_test::IoTestMachine;
using ostdfu_test::kSecondTestInterfaceGuid;
using ostdfu_test::kTestInterfaceGuid;

std::u16string textOf(const UNICODE_STRING& s) { return {s.Buffer, s.Length / sizeof(WCHAR)}; }

constexpr std::u16string_view kFirstLink =
    u"\\??\\USB#VID_0483&PID_DF11#IOTEST0001#{5e0c1d7a-2b44-4c1e-9a31-0f6d27b84410}";

TEST(DeviceInterfaces, RegisterGivesAWindowsLikeLinkInASystemStringTheDriverFrees) {
    IoTestMachine m;
    host::PnpDevice& device = m.offer();
    UNICODE_STRING first{}, again{}, other{};
    ASSERT_EQ(IoRegisterDeviceInterface(device.physicalDevice(), &kTestInterfaceGuid, nullptr, &first),
              STATUS_SUCCESS);
    EXPECT_EQ(textOf(first), kFirstLink);
    EXPECT_EQ(first.MaximumLength, first.Length + sizeof(WCHAR));
    EXPECT_EQ(first.Buffer[first.Length / sizeof(WCHAR)], 0);
    ASSERT_TRUE(m.machine().pool().find(first.Buffer).has_value());
    EXPECT_EQ(m.machine().pool().find(first.Buffer)->tag, host::kSystemStringTag);

    // The same class again: the same link, in a buffer of its own.
    ASSERT_EQ(IoRegisterDeviceInterface(device.physicalDevice(), &kTestInterfaceGuid, nullptr, &again),
              STATUS_SUCCESS);
    EXPECT_EQ(textOf(again), kFirstLink);
    EXPECT_NE(again.Buffer, first.Buffer);

    WCHAR reference[] = u"control";
    UNICODE_STRING referenceString{14, 16, reference};
    ASSERT_EQ(IoRegisterDeviceInterface(device.physicalDevice(), &kSecondTestInterfaceGuid,
                                        &referenceString, &other),
              STATUS_SUCCESS);
    EXPECT_EQ(textOf(other),
              u"\\??\\USB#VID_0483&PID_DF11#IOTEST0001#{5e0c1d7a-2b44-4c1e-9a31-0f6d27b84411}\\control");

    for (UNICODE_STRING* link : {&first, &again, &other}) {
        RtlFreeUnicodeString(link);
        EXPECT_EQ(link->Buffer, nullptr);
    }
    EXPECT_EQ(m.machine().pool().outstanding().size(), 1u);  // the test driver's own link only
}

TEST(DeviceInterfaces, UserModeSeesEnabledLinksOfStartedDevicesOnly) {
    IoTestMachine m;
    host::PnpDevice& first = m.offer(u"IOTEST0001");
    host::PnpDevice& second = m.offer(u"IOTEST0002");
    std::vector<host::InterfaceInstance> seen = host::user::listInterfaces(kTestInterfaceGuid);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].symbolicLink, kFirstLink);
    EXPECT_EQ(seen[0].deviceInstanceId, u"USB\\VID_0483&PID_DF11\\IOTEST0001");
    EXPECT_EQ(seen[0].physicalDevice, first.physicalDevice());
    EXPECT_EQ(seen[1].deviceInstanceId, u"USB\\VID_0483&PID_DF11\\IOTEST0002");
    EXPECT_TRUE(host::user::listInterfaces(kSecondTestInterfaceGuid).empty());

    UNICODE_STRING& link = m.context(first)->links[0];
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    seen = host::user::listInterfaces(kTestInterfaceGuid);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].physicalDevice, second.physicalDevice());
    host::UserHandle handle;
    EXPECT_EQ(host::user::openSymbolicLink(kFirstLink, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(host::user::openSymbolicLink(kFirstLink, &handle), STATUS_SUCCESS);
    EXPECT_EQ(host::user::closeHandle(handle), STATUS_SUCCESS);

    m.machine().pnp().removeDevice(first);
    seen = host::user::listInterfaces(kTestInterfaceGuid);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].physicalDevice, second.physicalDevice());
    EXPECT_EQ(host::user::openInterface(kTestInterfaceGuid, 1, &handle), STATUS_NO_MORE_ENTRIES);
}

TEST(DeviceInterfaces, StateChangesThatFail) {
    IoTestMachine m;
    host::PnpDevice& device = m.offer();
    UNICODE_STRING& link = m.context(device)->links[0];
    WCHAR unknownText[] = u"\\??\\USB#VID_0483&PID_DF11#NOBODY#{5e0c1d7a-2b44-4c1e-9a31-0f6d27b84410}";
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, unknownText);
    struct Step {
        PUNICODE_STRING link;
        BOOLEAN enable;
        NTSTATUS status;
    } steps[] = {
        {&link, TRUE, STATUS_SUCCESS},  // enabling an enabled link changes nothing
        {&link, FALSE, STATUS_SUCCESS},
        {&link, FALSE, STATUS_OBJECT_NAME_NOT_FOUND},  // already disabled
        {&unknown, FALSE, STATUS_OBJECT_NAME_NOT_FOUND},
        {&unknown, TRUE, STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(IoSetDeviceInterfaceState(step.link, step.enable), step.status);
    }
}

TEST(DeviceInterfaces, FaultSitesFailWithTheirStatusAndAllocateNothing) {
    IoTestMachine m;
    host::PnpDevice& device = m.offer();
    m.machine().faults().failCall(host::FaultSite::InterfaceRegister, 1, STATUS_UNSUCCESSFUL);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(device.physicalDevice(), &kSecondTestInterfaceGuid, nullptr, &link),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(link.Buffer, nullptr);
    EXPECT_EQ(m.machine().pool().outstanding().size(), 1u);  // the test driver's own link only

    m.machine().faults().failCall(host::FaultSite::InterfaceState, 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoSetDeviceInterfaceState(&m.context(device)->links[0], FALSE),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::user::listInterfaces(kTestInterfaceGuid).size(), 1u);  // still enabled

    // A device object that is not a physical one cannot carry interfaces.
    EXPECT_EQ(IoRegisterDeviceInterface(device.device()->deviceObject(), &kTestInterfaceGuid,
                                        nullptr, &link),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST(DeviceInterfaces, LinksADriverLeavesEnabledGoWithItsDevice) {
    ostdfu_test::TestDriverOptions options;
    options.disableInterfacesAtRelease = false;
    IoTestMachine m(options);
    host::PnpDevice& device = m.offer();
    m.machine().pnp().removeDevice(device);
    const std::vector<host::InterfaceInstance> all = m.machine().interfaces().registered();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_FALSE(all[0].enabled);
    // The device comes back: same link, enabled again by its new start.
    m.offer();
    EXPECT_EQ(host::user::listInterfaces(kTestInterfaceGuid).size(), 1u);
}

}  // namespace
