// A configuration descriptor is whatever the device sends: the driver must configure (or refuse)
// it, walk it and search it without reading outside the bytes it received.
//
// Input: one option byte, then the configuration descriptor. Option bit 0 patches wTotalLength
// to the size sent, so that most inputs get past the framework's own length check and reach
// the driver's walk.
#include <cstdint>
#include <memory>

#include "dfu/dfu_protocol.h"
#include "driver/segments.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/descriptor_bytes.h"
#include "tests/support/transport_harness.h"
#include "usb/configuration.h"

namespace {

using ostdfu_fuzz::check;

// Every step of the walk is a whole descriptor inside the configuration, and each one moves
// forward by at least two bytes: the walk ends, and ends inside.
void walkAll(WDFDEVICE device) {
    FDO_DATA* fdo = FdoGetData(device);
    const auto* begin = reinterpret_cast<const UCHAR*>(fdo->ConfigurationDescriptor);
    const UCHAR* end = GetConfigDescriptorEnd(device);
    const UCHAR* previous = nullptr;
    std::size_t steps = 0;
    for (const USB_COMMON_DESCRIPTOR* d = NextDescriptor(device, nullptr); d != nullptr;
         d = NextDescriptor(device, d)) {
        const auto* p = reinterpret_cast<const UCHAR*>(d);
        check(p >= begin && p + 2 <= end && d->bLength >= 2 && p + d->bLength <= end,
              "walk left the configuration");
        check(previous == nullptr || p >= previous + 2, "walk did not advance");
        previous = p;
        check(++steps <= 0x8000, "walk does not end");
    }
}

void searchAll(WDFDEVICE device) {
    FDO_DATA* fdo = FdoGetData(device);
    const UCHAR* end = GetConfigDescriptorEnd(device);
    PUSB_INTERFACE_DESCRIPTOR dfu = FindInterfaceDescriptor(
        device, nullptr, ANY_DESCRIPTOR_VALUE, ANY_DESCRIPTOR_VALUE, 0xFE, 0x01, ANY_DESCRIPTOR_VALUE);
    if (dfu != nullptr) {
        check(reinterpret_cast<const UCHAR*>(dfu) + sizeof(*dfu) <= end,
              "interface descriptor found past the end");
        check(dfu->bInterfaceClass == 0xFE && dfu->bInterfaceSubClass == 0x01,
              "interface found that does not match");
    }
    // Each alternate setting in turn, the way the segments are found.
    for (LONG setting = 0; setting < 4 && dfu != nullptr; ++setting) {
        FindInterfaceDescriptor(device, nullptr, dfu->bInterfaceNumber, setting,
                                ANY_DESCRIPTOR_VALUE, ANY_DESCRIPTOR_VALUE, ANY_DESCRIPTOR_VALUE);
    }
    PUSB_COMMON_DESCRIPTOR functional =
        FindDescriptor(device, dfu, USB_DFU_FUNCTIONAL_DESCRIPTOR_TYPE);
    if (functional != nullptr) {
        check(functional->bDescriptorType == USB_DFU_FUNCTIONAL_DESCRIPTOR_TYPE &&
                  reinterpret_cast<const UCHAR*>(functional) + functional->bLength <= end,
              "functional descriptor found past the end");
    }
    // A start that is not a descriptor of the configuration finds nothing.
    const UCHAR outside[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, 0xFE, 1, 2, 0};
    check(FindDescriptor(device, outside, USB_INTERFACE_DESCRIPTOR_TYPE) == nullptr,
          "search started outside the configuration");

    // The segments as hardware preparation reads them: every string the device has is a layout.
    fdo->DfuInterfaceDescriptor = dfu;
    fdo->DeviceCaps2.Segment1AltSetting = 0;
    fdo->DeviceCaps2.Segment2AltSetting = 1;
    fdo->DeviceCaps2.Segment3AltSetting = 2;
    fdo->DeviceCaps2.Segment4AltSetting = 3;
    for (ULONG segment = 1; segment <= 4; ++segment) GetSegmentBaseAddress(device, segment);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ostdfu_fuzz::InputReader input(data, size);
    const std::uint8_t options = input.u8();
    std::vector<std::uint8_t> configuration = input.rest();
    if (configuration.size() > 0xFFFF) return -1;
    if ((options & 1) != 0 && configuration.size() >= 4) {
        configuration[2] = static_cast<std::uint8_t>(configuration.size());
        configuration[3] = static_cast<std::uint8_t>(configuration.size() >> 8);
    }
    {
        ostdfu_test::TransportHarness h;
        ostdfu_test::ScriptedDeviceEnd& end = h.end();
        end.setDeviceDescriptor(ostdfu_test::descriptors::kDfuDevice);
        end.setConfigurationDescriptor(configuration);
        for (std::uint8_t index = 1; index < 8; ++index) {
            end.setString(index, u"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg");
        }
        const WDFDEVICE device = h.device();
        ReadAndSelectDescriptors(device);
        if (FdoGetData(device)->ConfigurationDescriptor != nullptr) {
            walkAll(device);
            searchAll(device);
        }
        // The driver's own read of the configuration, by hand-built URB.
        PUSB_CONFIGURATION_DESCRIPTOR copy = nullptr;
        ULONG length = 0;
        if (NT_SUCCESS(GetConfigurationDescriptor(device, &copy, &length)) && copy != nullptr) {
            check(length >= sizeof(USB_CONFIGURATION_DESCRIPTOR) && length <= configuration.size(),
                  "configuration copy longer than what the device sent");
            ExFreePoolWithTag(copy, CONFIGURATION_DESCRIPTOR_TAG);
        }
        h.machine().pnp().shutdown();
        ostdfu_fuzz::checkPoolEmpty(h.machine());
    }
    return 0;
}
