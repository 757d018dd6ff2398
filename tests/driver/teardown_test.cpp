// The end of a device: the liveness check at suspend, release after a full and after an empty
// preparation, and the driver's unload leaving no pool block behind.
#include <gtest/gtest.h>

#include "driver/callbacks.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace ostdfu_test {
namespace {

TEST(Suspend, ADeviceThatNoLongerAnswersIsMarkedGone) {
    ArrivalHarness h;
    const Arrived device = h.plug(presets::presetFor(41));
    device.bus->clearTraffic();
    EXPECT_EQ(OstDFUDeviceSelfManagedIoSuspend(device.device()), STATUS_SUCCESS);
    EXPECT_EQ(device.context()->DeviceActive, 1);
    const auto traffic = device.bus->traffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(std::vector<std::uint8_t>(traffic[0].setup.begin(), traffic[0].setup.end()),
              (std::vector<std::uint8_t>{0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}));

    device.rom->clearFaults();  // counts occurrences from here
    device.rom->addFault({sim::FaultRequest::Any, 1, 1, sim::FaultAction::Timeout, {}});
    EXPECT_EQ(OstDFUDeviceSelfManagedIoSuspend(device.device()), STATUS_SUCCESS);
    EXPECT_EQ(device.context()->DeviceActive, 0);
}

TEST(Release, UndoesAFullPreparationAndLeavesNothingBehind) {
    ArrivalHarness h;
    const Arrived device = h.plug(presets::presetFor(41));
    ASSERT_NE(device.context()->CallbackObject, nullptr);
    h.machine().pnp().removeDevice(*device.pnp);
    const auto texts = h.eventTexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "device \\Device\\USBPDO-1 icode:RelHW: pcode:41.");
    EXPECT_EQ(texts.back(), "device \\Device\\USBPDO-1 icode:DriverEvtContextCleanup.");
    EXPECT_EQ(device.bus->busInterfaceReferences(), 0) << "the bus interface was given back";
    EXPECT_TRUE(h.interfaces(GUID{}).empty());
    EXPECT_TRUE(h.driver().unloadDriver()) << "no pool block left";
    EXPECT_TRUE(h.driver().leakedTags().empty());
}

TEST(Release, AfterAPreparationThatRegisteredNothing) {
    ArrivalHarness h;
    h.driver().faults().failCall(host::FaultSite::FrameworkObject, 1);
    const Arrived device = h.plug(presets::presetFor(41));
    ASSERT_EQ(device.context()->PrepareHardwareDone, 0);
    h.machine().pnp().removeDevice(*device.pnp);
    const auto texts = h.eventTexts();
    EXPECT_EQ(texts[texts.size() - 2], "device \\Device\\USBPDO-1 icode:RelHW: pcode:24.");
    EXPECT_TRUE(h.driver().unloadDriver());
}

}  // namespace
}  // namespace ostdfu_test
