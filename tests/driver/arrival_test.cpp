// Device arrival beyond the product rows: where the identity comes from, read protection, every
// way hardware preparation ends, the descriptor serial number, and the sibling callback.
#include <gtest/gtest.h>

#include "driver/callbacks.h"
#include "host/ob/callback_objects.h"
#include "notify/sibling_callback.h"
#include "platform/kernel_helpers.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"
#include "tests/support/descriptor_bytes.h"
#include "tests/support/scripted_device_end.h"
#include "updater_interface/interface_guids.h"

namespace ostdfu_test {
namespace {

constexpr USHORT kVendorA = 0x3A7C;

std::string lastEvent(ArrivalHarness& h) { return h.eventTexts().back(); }

std::string prepEvent(bool error, unsigned code, unsigned status) {
    char text[96];
    std::snprintf(text, sizeof(text), "device \\Device\\USBPDO-1 %s:PrepHW: Code:%u status:0x%x.",
                  error ? "ecode" : "icode", code, status);
    return text;
}

// ---- identity sources ------------------------------------------------------------------------

TEST(Identity, OptionByteCodeWithoutARowFallsBackToTheFlashLayout) {
    presets::PresetOptions options;
    options.optionByteCode = 0;
    {
        ArrivalHarness h;
        FDO_DATA* c = h.plug(presets::presetFor(36, options)).context();
        EXPECT_EQ(c->ProductType, 36u) << "\"@Internal Flash  /0x08000000/128*0002Kg\" names it";
        EXPECT_EQ(c->OptionByteProductCode, 3u);
        EXPECT_EQ(c->DeviceCaps2.IdentityFromOptionBytes, 1);
    }
    {
        // Another option-byte product's flash has another layout string: no identity at all.
        ArrivalHarness h;
        FDO_DATA* c = h.plug(presets::presetFor(35, options)).context();
        EXPECT_EQ(c->ProductType, 24u);
        EXPECT_EQ(c->DeviceCaps2.IdentityFromOptionBytes, 0);
        EXPECT_EQ(c->OptionByteProductCode, 0u);
        EXPECT_EQ(c->AppVid, 0x0483);
        EXPECT_EQ(c->AppPid, 0xDF11);
    }
}

TEST(Identity, RegistryMapsTheRecordedProductAndVendor) {
    ArrivalHarness h;
    h.driver().setParameters({{u"mapFromOtpPID", RegValue::dword(0x7E57)},
                              {u"mapToOtpPID", RegValue::dword(0x15029)},
                              {u"MapFromOtpVID", RegValue::dword(kVendorA)},
                              {u"MapToOtpVID", RegValue::dword(0x10001)}});
    FDO_DATA* c = h.plug(presets::unidentifiedBootloader(0x7E57)).context();
    EXPECT_EQ(c->AppPid, 0x5029) << "the low 16 bits of the replacement";
    EXPECT_EQ(c->ProductType, 41u);
    EXPECT_EQ(c->AppVid, 0x0001) << "vendor 0x0001 is kept, not replaced by the row's default";
}

TEST(Identity, RowDefaultReplacesOnlyAnUnsetVendor) {
    for (auto [recorded, expected] : {std::pair<USHORT, USHORT>{0xFFFF, kVendorA},
                                      std::pair<USHORT, USHORT>{0x0000, kVendorA},
                                      std::pair<USHORT, USHORT>{0x0001, 0x0001}}) {
        presets::PresetOptions options;
        options.vendorId = recorded;
        ArrivalHarness h;
        FDO_DATA* c = h.plug(presets::presetFor(41, options)).context();
        EXPECT_EQ(c->ProductType, 41u);
        EXPECT_EQ(c->AppVid, expected);
    }
}

TEST(Identity, UnknownProductKeepsTheBootloadersIdentity) {
    ArrivalHarness h;
    FDO_DATA* c = h.plug(presets::unidentifiedBootloader()).context();
    EXPECT_EQ(c->ProductType, 24u);
    EXPECT_EQ(c->AppVid, 0x0483);
    EXPECT_EQ(c->AppPid, 0xDF11);
    EXPECT_EQ(c->PrepareHardwareDone, 1);
    EXPECT_EQ(h.interfaces(GUID_DEVINTERFACE_OSTDFU_DRIVER).size(), 1u);
}

TEST(Identity, UnknownVariantOfASharedProductIdChangesNothing) {
    presets::PresetOptions options;
    options.variant = 0x2003;
    ArrivalHarness h;
    FDO_DATA* c = h.plug(presets::presetFor(67, options)).context();
    EXPECT_EQ(c->ProductType, 24u);
    EXPECT_EQ(c->AppPid, 0x5043) << "the identity record's ID stays";
    EXPECT_EQ(c->AppVariant, 0x2003);
}

TEST(Identity, SupportedCommandsComeFromTheGetAnswer) {
    for (auto [reply, erase] : {std::pair<std::vector<std::uint8_t>, BOOLEAN>{{0x00, 0x21, 0x41, 0x92}, TRUE},
                                std::pair<std::vector<std::uint8_t>, BOOLEAN>{{0x00, 0x21, 0x44, 0x92}, FALSE}}) {
        sim::BootloaderConfig config = presets::presetFor(41);
        config.getCommands = reply;
        ArrivalHarness h;
        FDO_DATA* c = h.plug(config).context();
        EXPECT_TRUE(c->SupportsGet);
        EXPECT_TRUE(c->SupportsSetAddress);
        EXPECT_EQ(c->SupportsErase, erase);
        EXPECT_TRUE(c->SupportsReadUnprotect);
    }
}

// ---- read protection ---------------------------------------------------------------------------

bool sentUnprotect(const Arrived& device) {
    for (const auto& t : device.rom->transfers()) {
        if (t.bmRequestType() == 0x21 && t.bRequest() == 1 && t.wValue() == 0 &&
            t.data == std::vector<std::uint8_t>{0x92}) {
            return true;
        }
    }
    return false;
}

TEST(ReadProtection, IsReportedButNotRemovedByDefault) {
    presets::PresetOptions options;
    options.readProtected = true;
    ArrivalHarness h;
    const Arrived device = h.plug(presets::presetFor(41, options));
    FDO_DATA* c = device.context();
    EXPECT_EQ(c->ReadProtectState & 1, 1u);
    EXPECT_FALSE(sentUnprotect(device));
    EXPECT_TRUE(device.rom->readProtected());
    for (const std::string& text : h.eventTexts()) {
        EXPECT_EQ(text.find("READPROTECTED"), std::string::npos);
    }
}

TEST(ReadProtection, IsRemovedWhenTheRegistryAllowsIt) {
    presets::PresetOptions options;
    options.readProtected = true;
    ArrivalHarness h;
    h.driver().setParameters({{u"ReadUnProtectIfReadProtected", RegValue::dword(1)}});
    const Arrived device = h.plug(presets::presetFor(41, options));
    FDO_DATA* c = device.context();
    EXPECT_EQ(c->ReadProtectState & 1, 1u) << "the state keeps what was found";
    EXPECT_TRUE(sentUnprotect(device));
    EXPECT_FALSE(device.rom->readProtected());
    const auto texts = h.eventTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "device \\Device\\USBPDO-1 ecode:READPROTECTED: pcode:24."),
              texts.end());
}

// ---- how preparation ends ------------------------------------------------------------------------

std::shared_ptr<ScriptedDeviceEnd> scriptedBootloader(std::vector<std::uint8_t> configuration,
                                                      std::u16string flashLayout) {
    auto end = std::make_shared<ScriptedDeviceEnd>();
    end->setConfigurationDescriptor(std::move(configuration));
    end->setString(1, u"STMicroelectronics");
    end->setString(2, u"STM32  BOOTLOADER");
    end->setString(3, u"315A28A0B956");
    end->setString(4, flashLayout);
    return end;
}

TEST(Preparation, ShortRunsStillPublishTheDriverInterface) {
    std::vector<std::uint8_t> noFunctional = descriptors::kDfuConfiguration;
    noFunctional.resize(noFunctional.size() - 9);
    noFunctional[2] = static_cast<std::uint8_t>(noFunctional.size());
    std::vector<std::uint8_t> noDfu = descriptors::kDfuConfiguration;
    for (std::size_t i = 9; i + 9 <= 45; i += 9) noDfu[i + 5] = 0xFF;  // vendor class instead
    struct Case {
        const char* name;
        std::vector<std::uint8_t> configuration;
        std::u16string flash;
        unsigned step;
    };
    for (const Case& c : {Case{"no DFU interface", noDfu, u"@Internal Flash  /0x08000000/x", 8},
                          Case{"no functional descriptor", noFunctional,
                               u"@Internal Flash  /0x08000000/x", 9},
                          Case{"no first segment", descriptors::kDfuConfiguration,
                               u"@Internal Flash", 10}}) {
        SCOPED_TRACE(c.name);
        ArrivalHarness h;
        const Arrived device = h.plug(scriptedBootloader(c.configuration, c.flash));
        FDO_DATA* context = device.context();
        EXPECT_EQ(lastEvent(h), prepEvent(false, c.step, 0));
        EXPECT_EQ(context->PrepareHardwareDone, 1);
        EXPECT_EQ(context->ProductType, 24u);
        EXPECT_EQ(h.interfaces(GUID_DEVINTERFACE_OSTDFU_DRIVER).size(), 1u);
    }
}

TEST(Preparation, FailedStepsEndOnTheErrorTailWithoutInterfaces) {
    struct Case {
        const char* name;
        std::function<void(host::FaultPlan&)> fault;
        unsigned step;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"USB target", [](host::FaultPlan& f) { f.failCall(host::FaultSite::FrameworkObject, 1); },
         1, STATUS_INSUFFICIENT_RESOURCES},
        {"bus interface",
         [](host::FaultPlan& f) { f.failCall(host::FaultSite::BusInterface, 1); }, 4,
         STATUS_NOT_SUPPORTED},
        {"instance string",
         [](host::FaultPlan& f) { f.failAllocation(PoolTag("objn"), 1); }, 5,
         STATUS_INSUFFICIENT_RESOURCES},
        {"callback object",
         [](host::FaultPlan& f) { f.failCall(host::FaultSite::CallbackCreate, 1); }, 0,
         STATUS_INSUFFICIENT_RESOURCES},
        {"callback registration",
         [](host::FaultPlan& f) { f.failCall(host::FaultSite::CallbackRegister, 1); }, 0,
         STATUS_INVALID_DEVICE_STATE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ArrivalHarness h;
        c.fault(h.driver().faults());
        const Arrived device = h.plug(presets::presetFor(41));
        EXPECT_EQ(lastEvent(h), prepEvent(true, c.step, static_cast<unsigned>(c.status)));
        EXPECT_EQ(device.context()->PrepareHardwareDone, 0);
        EXPECT_EQ(device.pnp->state(), host::PnpState::Started) << "the start itself succeeds";
        EXPECT_TRUE(h.interfaces(GUID_DEVINTERFACE_OSTDFU_DRIVER).empty());
    }
}

TEST(Preparation, AFailedOptionalInterfaceDoesNotStopTheNext) {
    ArrivalHarness h;
    h.driver().faults().failCall(host::FaultSite::InterfaceRegister, 1);
    const Arrived device = h.plug(presets::presetFor(23));
    FDO_DATA* c = device.context();
    EXPECT_EQ(c->CompanionInterfaceEnabled, 0);
    EXPECT_EQ(c->ProductInterfaceEnabled, 1);
    EXPECT_EQ(c->DriverInterfaceEnabled, 1);
    EXPECT_EQ(lastEvent(h), prepEvent(false, 0, 0));
}

TEST(Preparation, ASecondRunAfterReleaseRefusesTheRowsProductCode) {
    ArrivalHarness h;
    const Arrived device = h.plug(presets::presetFor(41));
    ASSERT_EQ(device.context()->ProductType, 41u);
    ASSERT_EQ(OstDFUDeviceEvtDeviceReleaseHardware(device.device(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(lastEvent(h), "device \\Device\\USBPDO-1 icode:RelHW: pcode:41.");
    ASSERT_EQ(OstDFUDeviceEvtDevicePrepareHardware(device.device(), nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(lastEvent(h), prepEvent(true, 6, static_cast<unsigned>(STATUS_INVALID_PARAMETER)));
    EXPECT_EQ(device.context()->PrepareHardwareDone, 0);
}

TEST(Preparation, ADeviceThatIsNotAnStmBootloaderStopsAtStepSeven) {
    ArrivalHarness h;
    const Arrived device = h.plug(presets::blankBootloader());
    FDO_DATA* c = device.context();
    ASSERT_EQ(OstDFUDeviceEvtDeviceReleaseHardware(device.device(), nullptr), STATUS_SUCCESS);
    c->IsStmDfuDevice = 0;
    OstDFUDeviceEvtDevicePrepareHardware(device.device(), nullptr, nullptr);
    EXPECT_EQ(lastEvent(h),
              prepEvent(true, 7, static_cast<unsigned>(STATUS_INVALID_DEVICE_STATE)));
}

TEST(Preparation, BusyWaitLimitComesFromTheRegistryUnlessZero) {
    for (auto [value, expected] : {std::pair<ULONG, ULONG>{0, 75}, std::pair<ULONG, ULONG>{9, 9}}) {
        ArrivalHarness h;
        h.driver().setParameters({{u"NumDfuBootIterBusyWaits", RegValue::dword(value)}});
        EXPECT_EQ(h.plug(presets::blankBootloader()).context()->NumDfuBootIterBusyWaits, expected);
    }
}

// ---- the descriptor serial number -----------------------------------------------------------------

TEST(DescriptorSerial, IsTheSerialStringAsHexadecimalHalves) {
    struct Case {
        std::optional<std::string> serial;
        ULONG64 expected;
    };
    for (const Case& c : {Case{"355F38623437", 0x0000355F38623437ull},
                          Case{std::nullopt, 0x0BADF00D0BADF00Dull},
                          Case{"STM32", 0x0BADF00D0BADF00Dull},
                          Case{"12G45678", 0x0000001200005678ull},
                          Case{"XY345678", 0x0BADF00D0BADF00Dull}}) {
        SCOPED_TRACE(c.serial.value_or("(none)"));
        presets::PresetOptions options;
        options.descriptorSerial = c.serial;
        ArrivalHarness h;
        FDO_DATA* context = h.plug(presets::blankBootloader(options)).context();
        EXPECT_EQ(context->DescriptorSerial, c.expected);
        EXPECT_EQ(context->DeviceCaps2.Serial, c.expected);
    }
}

TEST(DeviceQualifier, IsAskedOnlyOfAUsb2Device) {
    for (auto [bcdUsb, asked] : {std::pair<USHORT, bool>{0x0110, false}, std::pair<USHORT, bool>{0x0200, true}}) {
        sim::BootloaderConfig config = presets::blankBootloader();
        config.bcdUSB = bcdUsb;
        ArrivalHarness h;
        const Arrived device = h.plug(config);
        bool sawRequest = false;
        for (const auto& t : device.bus->traffic()) {
            sawRequest |= t.setup[1] == 6 && t.setup[3] == USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE;
        }
        EXPECT_EQ(sawRequest, asked);
        EXPECT_EQ(device.context()->HasDeviceQualifier, 0) << "the ROM has no qualifier";
    }
}

// ---- the sibling callback --------------------------------------------------------------------------

struct Sibling {
    SiblingRequestRecord record{};
    ULONG64 serial = 0;
};

Sibling notify(ArrivalHarness& h, const USB_TOPOLOGY_ADDRESS& topology, ULONG64 command,
               USHORT vendorId, USHORT productId, bool serialOut = true) {
    Sibling s;
    s.record.Command = command;
    s.record.SerialOut = serialOut ? &s.serial : nullptr;
    s.record.SiblingVendorId = vendorId;
    s.record.SiblingProductId = productId;
    s.record.Result = 0x1234;
    s.record.SiblingTopology = topology;
    host::notifyCallbackByName(h.machine().objects(), SIBLING_CALLBACK_OBJECT_NAME, nullptr,
                               &s.record);
    return s;
}

// A sibling's own device on another port of the hub the bootloader hangs below.
USB_TOPOLOGY_ADDRESS besideOnPort(const Arrived& device, USHORT port) {
    USB_TOPOLOGY_ADDRESS address = device.bus->topologyAddress();
    address.HubPortNumber[0] = port;
    return address;
}

TEST(Sibling, BelowTheSameHubGetsTheSerialNumber) {
    ArrivalHarness h;
    const Arrived device = h.plug(presets::presetFor(41), Port{0, {2, 1}});
    const Sibling same = notify(h, besideOnPort(device, 3), 0x1001, kVendorA, 0x1111);
    EXPECT_EQ(same.record.Result, STATUS_SUCCESS);
    EXPECT_EQ(same.serial, 0x8877665544332211ull);

    USB_TOPOLOGY_ADDRESS elsewhere = besideOnPort(device, 3);
    elsewhere.RootHubPortNumber = 4;
    const Sibling other = notify(h, elsewhere, 0x1002, kVendorA, 0x1111);
    EXPECT_EQ(other.record.Result, 0x1234) << "left to the device below the sibling's hub";
    EXPECT_EQ(other.serial, 0u);

    const Sibling unknown = notify(h, besideOnPort(device, 3), 0x1003, kVendorA, 0x1111);
    EXPECT_EQ(unknown.record.Result, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(unknown.serial, 0u);

    const Sibling noBuffer = notify(h, besideOnPort(device, 3), 0x1001, kVendorA, 0x1111, false);
    EXPECT_EQ(noBuffer.record.Result, STATUS_SUCCESS);

    InterlockedExchange(&device.context()->PrepareHardwareDone, 0);
    const Sibling early = notify(h, besideOnPort(device, 3), 0x1001, kVendorA, 0x1111);
    EXPECT_EQ(early.record.Result, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(early.serial, 0u);
    InterlockedExchange(&device.context()->PrepareHardwareDone, 1);
}

TEST(Sibling, PairingGivesTheSharedBootloaderThePairedIdentity) {
    for (USHORT announced : {USHORT{0x5022}, USHORT{0x5122}}) {
        ArrivalHarness h;
        const Arrived device = h.plug(presets::presetFor(27), Port{0, {2, 1}});
        FDO_DATA* c = device.context();
        const Sibling s = notify(h, besideOnPort(device, 2), 0x1001, kVendorA, announced);
        EXPECT_EQ(s.record.Result, STATUS_SUCCESS);
        EXPECT_EQ(c->ProductType, 34u);
        EXPECT_EQ(c->DeviceCaps2.CapsProductType, 34u);
        EXPECT_EQ(c->DeviceCaps2.ProductKey, 0x5022u);
        EXPECT_EQ(c->AppPid, 0x5022) << "always product A's identity";
        EXPECT_EQ(c->AppVid, kVendorA);
        EXPECT_EQ(c->DeviceCaps2.Serial, c->ManufacturerSerial);
        EXPECT_EQ(c->DeviceCaps2.VersionLocationValid, 1);
        EXPECT_EQ(c->DeviceCaps2.VersionBlockOffset, 0);
        EXPECT_EQ(c->DeviceCaps2.VersionAddress, 0x0801F800u);
    }
    ArrivalHarness h;
    const Arrived device = h.plug(presets::presetFor(27), Port{0, {2, 1}});
    const Sibling s = notify(h, besideOnPort(device, 2), 0x1001, 0x0483, 0x5022);
    EXPECT_EQ(s.record.Result, STATUS_SUCCESS);
    EXPECT_EQ(s.serial, device.context()->ManufacturerSerial) << "only the serial";
    EXPECT_EQ(device.context()->ProductType, 27u);
}

}  // namespace
}  // namespace ostdfu_test
