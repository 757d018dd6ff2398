// The callbacks outside the control path: file handles and the timer resolution, the DFU
// session given up by its handle, removal in the framework's order, the control queues' stubs.
#include <gtest/gtest.h>

#include "driver/callbacks.h"
#include "host/framework/device.h"
#include "host/framework/request.h"
#include "control/ioctl_dispatch.h"
#include "tests/support/driver_harness.h"

namespace {

using ostdfu_test::DriverHarness;

TEST(StreamCount, ResolutionIsRequestedOnceWhileAnyHandleIsOpen) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    host::fx::Device* first = h.offerStDfuDevice(u"A1").device();
    host::fx::Device* second = h.offerStDfuDevice(u"B2").device();
    host::TimerResolution& resolution = h.machine().timerResolution();

    host::fx::FileObject* a = nullptr;
    host::fx::FileObject* b = nullptr;
    host::fx::FileObject* c = nullptr;
    ASSERT_EQ(first->openFile(&a), STATUS_SUCCESS);
    ASSERT_EQ(first->openFile(&b), STATUS_SUCCESS);
    ASSERT_EQ(second->openFile(&c), STATUS_SUCCESS);  // handles of both devices share one count
    EXPECT_EQ(StreamCount, 3);
    EXPECT_EQ(resolution.requests(), 1u);
    first->closeFile(a);
    second->closeFile(c);
    EXPECT_EQ(resolution.releases(), 0u);
    first->closeFile(b);
    EXPECT_EQ(resolution.releases(), 1u);
    EXPECT_EQ(StreamCount, 0);

    ASSERT_EQ(first->openFile(&a), STATUS_SUCCESS);  // a new period asks again
    EXPECT_EQ(resolution.requests(), 2u);
    first->closeFile(a);
}

TEST(FileCleanup, ReleasesTheSessionOnlyForItsOwner) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    host::PnpDevice& device = h.offerStDfuDevice();
    FDO_DATA* context = h.context(device);
    host::fx::FileObject* owner = nullptr;
    host::fx::FileObject* other = nullptr;
    ASSERT_EQ(device.device()->openFile(&owner), STATUS_SUCCESS);
    ASSERT_EQ(device.device()->openFile(&other), STATUS_SUCCESS);
    const WDFFILEOBJECT ownerHandle = owner->handleAs<WDFFILEOBJECT>();
    context->DfuSessionOwner = ownerHandle;

    device.device()->closeFile(other);
    EXPECT_EQ(context->DfuSessionOwner, ownerHandle);
    device.device()->closeFile(owner);
    EXPECT_EQ(context->DfuSessionOwner, nullptr);
}

TEST(Removal, RunsTheFrameworkOrderAndLogsReleaseThenCleanup) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    host::PnpDevice& device = h.offerStDfuDevice();
    h.machine().eventLog().clear();

    h.machine().pnp().surpriseRemoveDevice(device);
    EXPECT_EQ(device.state(), host::PnpState::Removed);
    EXPECT_EQ(device.device(), nullptr);  // no handle open: deleted at once
    EXPECT_EQ(h.eventTexts(), (std::vector<std::string>{
                                  "device \\Device\\USBPDO-1 icode:RelHW: pcode:24.",
                                  "device \\Device\\USBPDO-1 icode:DriverEvtContextCleanup."}));
    EXPECT_EQ(h.machine().ioObjects().deviceCount(), 0u);
}

TEST(Removal, SurpriseRemovalClearsDeviceActiveAndAnOpenHandleDelaysTheContextCleanup) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    host::PnpDevice& device = h.offerStDfuDevice();
    FDO_DATA* context = h.context(device);
    host::fx::Device* fx = device.device();
    host::fx::FileObject* file = nullptr;
    ASSERT_EQ(fx->openFile(&file), STATUS_SUCCESS);
    h.machine().eventLog().clear();

    OstDFUDeviceIoSurpriseRemoval(device.handle());
    EXPECT_EQ(context->DeviceActive, 0);
    h.machine().pnp().removeDevice(device);
    EXPECT_EQ(context->PrepareHardwareDone, 0);
    EXPECT_EQ(h.eventTexts().size(), 1u);  // release only: the handle keeps the device
    EXPECT_FALSE(h.unloadDriver());

    fx->closeFile(file);
    EXPECT_EQ(device.device(), nullptr);
    EXPECT_EQ(h.eventTexts().back(), "device \\Device\\USBPDO-1 icode:DriverEvtContextCleanup.");
    EXPECT_TRUE(h.unloadDriver());
    EXPECT_TRUE(h.leakedTags().empty());
}

TEST(ControlQueues, RefuseEveryRequestUntilTheControlCodesExist) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    FDO_DATA* context = h.context(h.offerStDfuDevice());
    for (auto handler : {&OstDFUDeviceEvtIoDeviceControlParallel, &OstDFUDeviceEvtIoDeviceControlSequential}) {
        host::fx::Request request(nullptr);
        handler(context->DefaultQueue, request.handleAs<WDFREQUEST>(), 0, 0, 0x80882000);
        EXPECT_TRUE(request.completed());
        EXPECT_EQ(request.status(), STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace
