// The transport against the bootloader model instead of a scripted end: configuration,
// strings, a DFU request through the gate, alternate settings and a port cycle, as the driver
// will do them at arrival.
#include <gtest/gtest.h>

#include "sim/bootloader.h"
#include "tests/support/transport_harness.h"
#include "usb/configuration.h"
#include "usb/control_transfer.h"
#include "usb/port_services.h"

namespace ostdfu_test {
namespace {

TransportOptions withBootloader() {
    TransportOptions options;
    options.makeEnd = [](host::Clock& clock) {
        return std::make_shared<sim::Bootloader>(sim::BootloaderConfig{}, clock);
    };
    return options;
}

sim::Bootloader& bootloaderOf(TransportHarness& h) {
    return dynamic_cast<sim::Bootloader&>(h.deviceEnd());
}

TEST(WithBootloader, ArrivalReadsConfiguresAndTalksDfu) {
    TransportHarness harness(withBootloader());
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    FDO_DATA* fdo = harness.fdo();
    EXPECT_EQ(fdo->DeviceDescriptor.idVendor, 0x0483);
    EXPECT_EQ(fdo->NumberOfInterfaces, 1u);
    EXPECT_EQ(bootloaderOf(harness).configuration(), 1);

    WCHAR product[128];
    ASSERT_EQ(
        GetStringDescString(&fdo->DeviceDescriptor, fdo->DeviceDescriptor.iProduct, 0x0409,
                            fdo->DeviceObject, fdo->AttachedDeviceObject, product, sizeof(product)),
        STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(product), u"STM32  BOOTLOADER");

    UCHAR status[6] = {};
    ULONG bytes = 0;
    USBD_STATUS usbStatus = -1;
    ASSERT_EQ(ControlVendorOrClassRequest(harness.device(), URB_FUNCTION_CLASS_INTERFACE, 3, 0, 0,
                                          USBD_TRANSFER_DIRECTION_IN, status, nullptr,
                                          sizeof(status), &bytes, 500, &usbStatus),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 6u);
    EXPECT_EQ(usbStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(status[4], 2) << "dfuIDLE";

    ASSERT_EQ(SetAlternateSetting(harness.device(), 1), STATUS_SUCCESS);
    EXPECT_EQ(bootloaderOf(harness).alternateSetting(), 1);
    const auto records = bootloaderOf(harness).transfers();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().setup, harness.traffic().back().setup)
        << "the bus and the device saw the same setup packet";
}

TEST(WithBootloader, DeviceQualifierIsStalledByTheRom) {
    TransportHarness harness(withBootloader());
    UCHAR qualifier[10];
    ULONG bytes = 5;
    USBD_STATUS usbStatus = 0;
    EXPECT_EQ(GetUSBDescriptor(harness.device(), USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0, 0,
                               qualifier, sizeof(qualifier), &bytes, 500, &usbStatus),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(usbStatus, USBD_STATUS_STALL_PID);
}

TEST(WithBootloader, UnpluggedBootloaderIsGoneForTheGate) {
    TransportHarness harness(withBootloader());
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    bootloaderOf(harness).unplug();
    EXPECT_TRUE(harness.busDevice().gone());
    UCHAR state = 0;
    EXPECT_EQ(ControlVendorOrClassRequest(harness.device(), URB_FUNCTION_CLASS_INTERFACE, 5, 0, 0,
                                          USBD_TRANSFER_DIRECTION_IN, &state, nullptr, 1, nullptr,
                                          500, nullptr),
              STATUS_NO_SUCH_DEVICE);
    bootloaderOf(harness).plug();
    EXPECT_FALSE(harness.busDevice().gone());
}

}  // namespace
}  // namespace ostdfu_test
