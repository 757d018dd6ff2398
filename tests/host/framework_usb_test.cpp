// The framework's USB target, interfaces and memory objects on the machine, and the kind check
// of their handles.
#include <gtest/gtest.h>

#include "host/framework/device.h"
#include "host/framework/memory.h"
#include "host/framework/usb_target.h"
#include "platform/kernel_helpers.h"
#include "tests/support/descriptor_bytes.h"
#include "tests/support/transport_harness.h"

namespace ostdfu_test {
namespace {

Bytes wire(const host::usb::TrafficEntry& entry) {
    return {entry.setup.begin(), entry.setup.end()};
}

std::unique_ptr<TransportHarness> harnessWith(const Bytes& configuration) {
    auto end = std::make_shared<ScriptedDeviceEnd>();
    end->setConfigurationDescriptor(configuration);
    return std::make_unique<TransportHarness>(TransportOptions{}, end);
}

WDFUSBDEVICE createTarget(TransportHarness& h) {
    WDFUSBDEVICE usbDevice = nullptr;
    EXPECT_EQ(WdfUsbTargetDeviceCreate(h.device(), WDF_NO_OBJECT_ATTRIBUTES, &usbDevice),
              STATUS_SUCCESS);
    return usbDevice;
}

TEST(UsbTarget, ConfigDescriptorSizeIsAskedWithNoOrAShortBuffer) {
    auto h = harnessWith(descriptors::kDfuConfiguration);
    WDFUSBDEVICE usbDevice = createTarget(*h);
    USHORT length = 0;
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usbDevice, nullptr, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 54);
    UCHAR buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), 0xEE);
    length = 10;
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usbDevice, buffer, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 54);
    EXPECT_EQ(buffer[0], 0xEE) << "a short buffer is left alone";
    length = sizeof(buffer);
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usbDevice, buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 54);
    EXPECT_EQ(Bytes(buffer, buffer + 54), descriptors::kDfuConfiguration);
    EXPECT_EQ(buffer[54], 0xEE);
}

TEST(UsbTarget, InterfacesAndTheirSettingsComeFromTheConfiguration) {
    auto h = harnessWith(descriptors::kThreeInterfaceConfiguration);
    WDFUSBDEVICE usbDevice = createTarget(*h);
    ASSERT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usbDevice), 3);
    EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(WdfUsbTargetDeviceGetInterface(usbDevice, 1)), 1);
    EXPECT_EQ(WdfUsbInterfaceGetNumEndpoints(WdfUsbTargetDeviceGetInterface(usbDevice, 0), 0), 2);
    EXPECT_EQ(WdfUsbInterfaceGetNumEndpoints(WdfUsbTargetDeviceGetInterface(usbDevice, 0), 1), 0);
    EXPECT_EQ(WdfUsbTargetDeviceGetInterface(usbDevice, 3), nullptr);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(WdfUsbTargetDeviceGetInterface(usbDevice, 0)), 0)
        << "nothing is configured before a selection";
}

TEST(UsbTarget, SingleInterfaceSelectionOfAThreeInterfaceDeviceIsRefused) {
    auto h = harnessWith(descriptors::kThreeInterfaceConfiguration);
    WDFUSBDEVICE usbDevice = createTarget(*h);
    const std::size_t before = h->traffic().size();
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice, nullptr, &params),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h->traffic().size(), before);
}

TEST(UsbTarget, PairsWithAnotherSettingSendSetInterfaceAfterTheConfiguration) {
    auto h = harnessWith(descriptors::kDfuConfiguration);
    WDFUSBDEVICE usbDevice = createTarget(*h);
    WDF_USB_INTERFACE_SETTING_PAIR pair{WdfUsbTargetDeviceGetInterface(usbDevice, 0), 3};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 1, &pair);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice, nullptr, &params), STATUS_SUCCESS);
    EXPECT_EQ(params.Types.MultiInterface.NumberOfConfiguredInterfaces, 1);
    const auto traffic = h->traffic();
    ASSERT_GE(traffic.size(), 2u);
    EXPECT_EQ(wire(traffic[traffic.size() - 2]),
              (Bytes{0x00, 0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(wire(traffic.back()), (Bytes{0x01, 0x0B, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(h->end().alternateSetting(0), 3);
}

TEST(UsbTarget, PairsMustNameEachInterfaceOfThisDeviceOnce) {
    auto h = harnessWith(descriptors::kThreeInterfaceConfiguration);
    WDFUSBDEVICE usbDevice = createTarget(*h);
    WDFUSBINTERFACE i0 = WdfUsbTargetDeviceGetInterface(usbDevice, 0);
    WDFUSBINTERFACE i1 = WdfUsbTargetDeviceGetInterface(usbDevice, 1);
    WDF_USB_INTERFACE_SETTING_PAIR duplicate[3] = {{i0, 0}, {i1, 0}, {i1, 0}};
    WDF_USB_INTERFACE_SETTING_PAIR badSetting[3] = {
        {i0, 0}, {i1, 5}, {WdfUsbTargetDeviceGetInterface(usbDevice, 2), 0}};
    for (auto* pairs : {duplicate, badSetting}) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 3, pairs);
        EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice, nullptr, &params),
                  STATUS_INVALID_PARAMETER);
    }
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 2, duplicate);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice, nullptr, &params),
              STATUS_INVALID_PARAMETER);
}

TEST(UsbTarget, SettingCannotBeSelectedBeforeTheConfiguration) {
    auto h = harnessWith(descriptors::kDfuConfiguration);
    WDFUSBDEVICE usbDevice = createTarget(*h);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, 1);
    EXPECT_EQ(WdfUsbInterfaceSelectSetting(WdfUsbTargetDeviceGetInterface(usbDevice, 0), nullptr,
                                           &params),
              STATUS_INVALID_DEVICE_STATE);
}

struct CreateFailure {
    const char* name;
    SetupMatcher match;
    ScriptedReply reply;
    Bytes configuration;
    NTSTATUS status;
};

TEST(UsbTarget, CreationFailsOnADeviceItCannotDescribe) {
    const Bytes twoInterfacesOneDescribed = {0x09, 0x02, 0x12, 0x00, 0x02, 0x01, 0x00, 0x80, 0x32,
                                             0x09, 0x04, 0x00, 0x00, 0x00, 0xFE, 0x01, 0x02, 0x00};
    const std::vector<CreateFailure> cases = {
        {"ShortDeviceDescriptor", descriptorMatcher(0x01), ScriptedReply::answer(Bytes(8, 0x12)),
         descriptors::kDfuConfiguration, STATUS_UNSUCCESSFUL},
        {"StalledConfiguration", descriptorMatcher(0x02), ScriptedReply::stall(),
         descriptors::kDfuConfiguration, STATUS_UNSUCCESSFUL},
        {"NotAConfigurationHeader", descriptorMatcher(0x02),
         ScriptedReply::answer({0x09, 0x04, 0x09, 0x00, 0x00, 0x01, 0x00, 0x80, 0x32}),
         descriptors::kDfuConfiguration, STATUS_UNSUCCESSFUL},
        {"MissingInterface",
         [](const host::SetupPacket&) { return false; },
         {},
         twoInterfacesOneDescribed,
         STATUS_INVALID_PARAMETER},
    };
    for (const CreateFailure& c : cases) {
        SCOPED_TRACE(c.name);
        auto h = harnessWith(c.configuration);
        h->end().script(c.match, c.reply);
        WDFUSBDEVICE usbDevice = reinterpret_cast<WDFUSBDEVICE>(1);
        EXPECT_EQ(WdfUsbTargetDeviceCreate(h->device(), nullptr, &usbDevice), c.status);
        EXPECT_EQ(usbDevice, nullptr);
    }
}

TEST(Memory, TakesTheCallersTagAndPoolTypeAndGoesWithItsParent) {
    auto h = harnessWith(descriptors::kDfuConfiguration);
    WDFUSBDEVICE usbDevice = createTarget(*h);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = usbDevice;
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolNx, PoolTag("f5ds"), 40, &memory, &buffer),
              STATUS_SUCCESS);
    const auto block = h->machine().pool().find(buffer);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->tag, PoolTag("f5ds"));
    EXPECT_EQ(block->type, NonPagedPoolNx);
    EXPECT_EQ(block->size, 40u);
    SIZE_T size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
    EXPECT_EQ(size, 40u);

    WdfObjectDelete(usbDevice);
    EXPECT_TRUE(h->leakedTags().empty());
}

TEST(Objects, AHandleIsTakenOnlyAsItsOwnKind) {
    auto h = harnessWith(descriptors::kDfuConfiguration);
    WDFUSBDEVICE usbDevice = createTarget(*h);
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(WdfMemoryCreate(nullptr, PagedPool, PoolTag("test"), 8, &memory, nullptr),
              STATUS_SUCCESS);
    EXPECT_NE(host::fx::Object::from<host::fx::UsbDevice>(usbDevice), nullptr);
    EXPECT_NE(host::fx::Object::from<host::fx::Memory>(memory), nullptr);
    EXPECT_EQ(host::fx::Object::from<host::fx::Memory>(usbDevice), nullptr);
    EXPECT_EQ(host::fx::Object::from<host::fx::UsbDevice>(memory), nullptr);
    EXPECT_EQ(host::fx::Object::from<host::fx::Device>(memory), nullptr);
    EXPECT_EQ(host::fx::Object::from<host::fx::Device>(nullptr), nullptr);
    WdfObjectDelete(memory);
    WdfObjectDelete(usbDevice);
    EXPECT_TRUE(h->leakedTags().empty());
}

TEST(Memory, FrameworkObjectFaultFailsTheCreation) {
    auto h = harnessWith(descriptors::kDfuConfiguration);
    h->machine().faults().failCall(host::FaultSite::FrameworkObject, 1, STATUS_UNSUCCESSFUL);
    WDFMEMORY memory = reinterpret_cast<WDFMEMORY>(1);
    EXPECT_EQ(WdfMemoryCreate(nullptr, PagedPool, PoolTag("test"), 8, &memory, nullptr),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(memory, nullptr);
    EXPECT_TRUE(h->leakedTags().empty());
}

}  // namespace
}  // namespace ostdfu_test
