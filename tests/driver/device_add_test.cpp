// Device add: recognition by hardware ID, the failure codes with their events, the context as
// add leaves it, the recorded framework configuration, and the parameters read at add.
#include <gtest/gtest.h>

#include "context/device_context.h"
#include "control/ioctl_dispatch.h"
#include "driver/callbacks.h"
#include "driver/device_add.h"
#include "driver/driver.h"
#include "host/framework/device.h"
#include "host/framework/queue.h"
#include "notify/event_log.h"
#include "tests/support/driver_harness.h"
#include "updater_interface/interface_guids.h"

namespace {

using ostdfu_test::DriverHarness;
using ostdfu_test::RegValue;

constexpr ULONG kInfo = OSTDFU_EVENT_INFORMATION;
constexpr ULONG kError = OSTDFU_EVENT_ERROR;

struct IdCase {
    const char* what;
    std::vector<std::u16string> ids;
    bool recognised;
};
void PrintTo(const IdCase& c, std::ostream* os) { *os << c.what; }

class HardwareIdMatching : public testing::TestWithParam<IdCase> {};

TEST_P(HardwareIdMatching, DecidesWhetherTheDeviceIsAdded) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    host::PnpDevice& device = h.offerDevice(GetParam().ids);
    if (GetParam().recognised) {
        EXPECT_EQ(device.addStatus(), STATUS_SUCCESS);
        ASSERT_NE(h.context(device), nullptr);
        EXPECT_EQ(h.context(device)->ProductType, PRODUCT_TYPE_STM_DFU);
        EXPECT_EQ(h.context(device)->IsStmDfuDevice, 1u);
    } else {
        EXPECT_EQ(device.addStatus(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(device.device(), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ids, HardwareIdMatching,
    testing::Values(
        IdCase{"upper case with revision", {u"USB\\VID_0483&PID_DF11&REV_2200", u"USB\\VID_0483&PID_DF11"}, true},
        IdCase{"lower case", {u"usb\\vid_0483&pid_df11"}, true},
        IdCase{"match in the second id", {u"USB\\VID_1234&PID_0001", u"USB\\VID_0483&PID_DF11"}, true},
        IdCase{"mixed case product is not matched", {u"USB\\VID_0483&PID_Df11"}, false},
        IdCase{"ST vendor with another product", {u"USB\\VID_0483&PID_5740&REV_0200", u"USB\\VID_0483&PID_5740"}, false},
        IdCase{"DF11 without the ST vendor", {u"USB\\VID_1209&PID_DF11"}, false},
        // A one-character ID ends the walk before a later match is seen.
        IdCase{"short id ends the walk", {u"X", u"USB\\VID_0483&PID_DF11"}, false},
        IdCase{"no ids at all", {}, false}),
    [](const testing::TestParamInfo<IdCase>& info) {
        std::string name = info.param.what;
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(DeviceAdd, RecognisedDeviceLogsProductTypeThenSuccessOnTheDevice) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    h.machine().eventLog().clear();
    h.offerStDfuDevice();
    const auto events = h.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].eventId(), kInfo);
    EXPECT_EQ(events[0].insertionStrings().at(0), u"pcode:24");
    EXPECT_EQ(events[1].eventId(), kInfo);
    EXPECT_EQ(events[1].insertionStrings().at(0), u"AddDevice Code:0 status:0x0");
    EXPECT_EQ(events[1].objectName, u"\\Device\\USBPDO-1");
    EXPECT_FALSE(events[1].chargedToDriver);
    EXPECT_EQ(h.eventTexts()[1], "device \\Device\\USBPDO-1 icode:AddDevice Code:0 status:0x0.");
}

// Each failure: status, the add event's text, and where it is charged.
struct FailureCase {
    const char* what;
    std::function<void(DriverHarness&)> arrange;
    bool stDfuIds;
    NTSTATUS status;
    const char16_t* text;
    bool onDriver;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.what; }

class AddFailures : public testing::TestWithParam<FailureCase> {};

TEST_P(AddFailures, ReportStatusEventAndObject) {
    const FailureCase& c = GetParam();
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    h.machine().eventLog().clear();
    c.arrange(h);
    host::PnpDevice& device = c.stDfuIds ? h.offerStDfuDevice()
                                         : h.offerDevice({u"USB\\VID_0483&PID_5740"});
    EXPECT_EQ(device.addStatus(), c.status);
    EXPECT_EQ(device.state(), host::PnpState::AddFailed);
    const auto events = h.events();
    const host::EventLogEntry* add = nullptr;
    for (const auto& e : events) {
        if (!e.insertionStrings().empty() && e.insertionStrings()[0].starts_with(u"AddDevice")) add = &e;
    }
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add->eventId(), kError);
    EXPECT_EQ(add->insertionStrings()[0], c.text);
    EXPECT_EQ(add->chargedToDriver, c.onDriver);
    EXPECT_EQ(add->objectName, c.onDriver ? u"\\Driver\\ostdfu" : u"\\Device\\USBPDO-1");
    // A device created before the failure is deleted again: its context cleanup is logged.
    const bool deviceExisted = !c.onDriver;
    EXPECT_EQ(events.back().insertionStrings().at(0) == u"DriverEvtContextCleanup", deviceExisted);
    EXPECT_EQ(h.machine().ioObjects().deviceCount(), 0u);
    EXPECT_TRUE(h.unloadDriver());
    EXPECT_TRUE(h.leakedTags().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Codes, AddFailures,
    testing::Values(
        FailureCase{"no matching id", [](DriverHarness&) {}, false, STATUS_UNSUCCESSFUL,
                    u"AddDevice Code:2 status:0xc0000001", true},
        FailureCase{"property unreadable",
                    [](DriverHarness& h) { h.faults().failCall(host::FaultSite::DeviceProperty, 1, STATUS_NO_SUCH_DEVICE); },
                    true, STATUS_NO_SUCH_DEVICE, u"AddDevice Code:2 status:0xc000000e", true},
        FailureCase{"second property read fails",
                    [](DriverHarness& h) { h.faults().failCall(host::FaultSite::DeviceProperty, 2, STATUS_INVALID_DEVICE_REQUEST); },
                    true, STATUS_INVALID_DEVICE_REQUEST, u"AddDevice Code:2 status:0xc0000010", true},
        FailureCase{"id list not allocated",
                    [](DriverHarness& h) { h.faults().failAllocation(OSTDFU_TAG_HARDWARE_IDS, 1); },
                    true, STATUS_INSUFFICIENT_RESOURCES, u"AddDevice Code:2 status:0xc000009a", true},
        FailureCase{"device not created",
                    [](DriverHarness& h) { h.faults().failCall(host::FaultSite::DeviceCreate, 1); },
                    true, STATUS_INSUFFICIENT_RESOURCES, u"AddDevice Code:3 status:0xc000009a", true},
        FailureCase{"default queue not created",
                    [](DriverHarness& h) { h.faults().failCall(host::FaultSite::QueueCreate, 1); },
                    true, STATUS_INSUFFICIENT_RESOURCES, u"AddDevice Code:14 status:0xc000009a", false},
        FailureCase{"sequential queue not created",
                    [](DriverHarness& h) { h.faults().failCall(host::FaultSite::QueueCreate, 2, STATUS_UNSUCCESSFUL); },
                    true, STATUS_UNSUCCESSFUL, u"AddDevice Code:15 status:0xc0000001", false}),
    [](const testing::TestParamInfo<FailureCase>& info) {
        std::string name = info.param.what;
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

// A driver loaded again starts as a fresh image does: its first device is device 1 again, as the
// handle-information reply tells the updater.
TEST(DeviceAdd, EveryLoadOfTheDriverNumbersItsDevicesFromOne) {
    for (int load = 0; load < 2; ++load) {
        DriverHarness h;
        ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
        const host::PnpDevice& first = h.offerStDfuDevice(u"A1");
        const host::PnpDevice& second = h.offerStDfuDevice(u"A2");
        EXPECT_EQ(h.context(first)->DeviceInstanceNumber, 1u) << "load " << load;
        EXPECT_EQ(h.context(second)->DeviceInstanceNumber, 2u) << "load " << load;
    }
}

TEST(DeviceAdd, WithoutPhysicalDeviceFailsWithCodeOneOnTheDriver) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    h.machine().eventLog().clear();
    WDFDEVICE_INIT init;
    init.driver = h.machine().framework().driver();
    EXPECT_EQ(OstDFUDeviceEvtAdd(WdfGetDriver(), &init), STATUS_INVALID_DEVICE_STATE);
    const auto events = h.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].eventId(), kError);
    EXPECT_EQ(events[0].insertionStrings()[0], u"AddDevice Code:1 status:0xc0000184");
    EXPECT_EQ(events[0].objectName, u"\\Driver\\ostdfu");
}

TEST(DeviceAdd, HardwareIdListWithoutItsTerminatorIsNotReadPastItsEnd) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    host::PnpDeviceDescription description;
    for (char16_t c : std::u16string_view(u"USB\\VID_1234&PID_0001")) {  // no terminator at all
        description.hardwareIdBytes.push_back(static_cast<std::uint8_t>(c));
        description.hardwareIdBytes.push_back(0);
    }
    host::PnpDevice& device = h.machine().pnp().offerDevice(description);
    EXPECT_EQ(device.addStatus(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h.eventTexts().back(), "device \\Driver\\ostdfu ecode:AddDevice Code:2 status:0xc000000d.");
    EXPECT_TRUE(h.unloadDriver());
    EXPECT_TRUE(h.leakedTags().empty());
}

TEST(DeviceAdd, LostAddEventDoesNotChangeTheResult) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    h.faults().failCall(host::FaultSite::ErrorLogEntry, 2);  // the add event, after pcode
    host::PnpDevice& device = h.offerStDfuDevice();
    EXPECT_EQ(device.addStatus(), STATUS_SUCCESS);
    EXPECT_EQ(device.state(), host::PnpState::Started);
}

TEST(DeviceAdd, ContextStartsAsTheDriverExpectsIt) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    host::PnpDevice& device = h.offerStDfuDevice();
    FDO_DATA* c = h.context(device);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->DeviceObject, WdfDeviceWdmGetDeviceObject(device.handle()));
    EXPECT_EQ(c->PhysicalDeviceObject, device.physicalDevice());
    EXPECT_EQ(c->AttachedDeviceObject, device.physicalDevice());  // nothing else in between
    EXPECT_EQ(c->DriverObject, h.machine().pnp().driverObject());
    EXPECT_EQ(c->RegistryPath, &RegistryPathCopy);
    EXPECT_EQ(c->ParametersPath, &ParametersKeyPath);
    EXPECT_EQ(c->NumDfuBootIterBusyWaits, 75u);
    EXPECT_EQ(c->OptionByteProductCode, 0x0DEADEADu);
    EXPECT_EQ(c->ManufacturerSerial, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_FALSE(c->ManufacturerSerialCache.Valid);
    EXPECT_EQ(c->ManufacturerSerialCache.Block.Marker, 0x53454546u);
    EXPECT_EQ(c->ManufacturerSerialCache.Block.Value, 0u);
    EXPECT_TRUE(IsEqualGUID(c->DriverInterfaceGuid, GUID_DEVINTERFACE_OSTDFU_DRIVER));
    EXPECT_EQ(c->DeviceCaps2.CapsVersion, 0u);
    EXPECT_EQ(c->DeviceCaps2Valid, 0);
    EXPECT_EQ(c->DfuSessionOwner, nullptr);
    // Prepare hardware has run by now; with no USB function below the device it ends at its
    // first step, without the done flag.
    EXPECT_EQ(c->DeviceActive, 1);
    EXPECT_EQ(c->PrepareHardwareDone, 0);
    EXPECT_NE(c->DefaultQueue, nullptr);
    EXPECT_NE(c->SequentialQueue, nullptr);
}

TEST(DeviceAdd, RegistersTheFrameworkConfigurationTheControlPathNeeds) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    host::PnpDevice& device = h.offerStDfuDevice();
    host::fx::Device* fx = device.device();
    ASSERT_NE(fx, nullptr);
    const WDFDEVICE_INIT& init = fx->init();
    EXPECT_TRUE(init.powerPageable);
    const WDF_PNPPOWER_EVENT_CALLBACKS& pnp = init.pnpPowerCallbacks;
    EXPECT_EQ(pnp.EvtDeviceD0Entry, &OstDFUDeviceEvtDeviceD0Entry);
    EXPECT_EQ(pnp.EvtDeviceD0Exit, &OstDFUDeviceEvtDeviceD0Exit);
    EXPECT_EQ(pnp.EvtDevicePrepareHardware, &OstDFUDeviceEvtDevicePrepareHardware);
    EXPECT_EQ(pnp.EvtDeviceReleaseHardware, &OstDFUDeviceEvtDeviceReleaseHardware);
    EXPECT_EQ(pnp.EvtDeviceSelfManagedIoSuspend, &OstDFUDeviceSelfManagedIoSuspend);
    EXPECT_EQ(pnp.EvtDeviceSurpriseRemoval, &OstDFUDeviceIoSurpriseRemoval);
    ASSERT_TRUE(init.fileObjectConfigSet);
    EXPECT_EQ(init.fileObjectConfig.EvtDeviceFileCreate, &OstDFUDeviceEvtDeviceFileCreate);
    EXPECT_EQ(init.fileObjectConfig.EvtFileCleanup, &OstDFUDeviceEvtFileCleanup);
    EXPECT_EQ(init.fileObjectConfig.EvtFileClose, &OstDFUDeviceEvtFileClose);
    EXPECT_EQ(init.fileObjectConfig.AutoForwardCleanupClose, WdfUseDefault);
    EXPECT_EQ(init.fileObjectConfig.FileObjectClass, WdfFileObjectWdfCannotUseFsContexts);
    ASSERT_TRUE(init.fileObjectAttributesSet);
    ASSERT_NE(init.fileObjectAttributes.ContextTypeInfo, nullptr);
    EXPECT_EQ(init.fileObjectAttributes.ContextTypeInfo->ContextSize, sizeof(FILE_CONTEXT))
        << "every handle carries the mark its cleanup sets";
    EXPECT_EQ(fx->executionLevel(), WdfExecutionLevelPassive);
    EXPECT_EQ(fx->synchronizationScope(), WdfSynchronizationScopeNone);

    ASSERT_TRUE(fx->pnpCapabilities().has_value());
    const WDF_DEVICE_PNP_CAPABILITIES& caps = *fx->pnpCapabilities();
    EXPECT_EQ(caps.SurpriseRemovalOK, WdfTrue);
    for (WDF_TRI_STATE s : {caps.LockSupported, caps.EjectSupported, caps.Removable, caps.DockDevice,
                            caps.UniqueID, caps.SilentInstall, caps.HardwareDisabled, caps.NoDisplayInUI}) {
        EXPECT_EQ(s, WdfUseDefault);
    }
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);

    const auto queues = fx->queues();
    ASSERT_EQ(queues.size(), 2u);
    const WDF_IO_QUEUE_CONFIG& parallel = queues[0]->config();
    EXPECT_TRUE(parallel.DefaultQueue);
    EXPECT_EQ(parallel.DispatchType, WdfIoQueueDispatchParallel);
    EXPECT_EQ(parallel.PowerManaged, WdfTrue);
    EXPECT_TRUE(parallel.AllowZeroLengthRequests);
    EXPECT_EQ(parallel.Settings.Parallel.NumberOfPresentedRequests, 0xFFFFFFFFu);
    EXPECT_EQ(parallel.EvtIoDeviceControl, &OstDFUDeviceEvtIoDeviceControlParallel);
    const WDF_IO_QUEUE_CONFIG& sequential = queues[1]->config();
    EXPECT_FALSE(sequential.DefaultQueue);
    EXPECT_EQ(sequential.DispatchType, WdfIoQueueDispatchSequential);
    EXPECT_EQ(sequential.PowerManaged, WdfTrue);
    EXPECT_TRUE(sequential.AllowZeroLengthRequests);
    EXPECT_EQ(sequential.EvtIoDeviceControl, &OstDFUDeviceEvtIoDeviceControlSequential);
    EXPECT_EQ(WdfIoQueueGetDevice(FdoGetData(device.handle())->DefaultQueue), device.handle());
}

// ---- parameters read at add -----------------------------------------------------------------

TEST(DeviceAddParameters, NoKeyKeepsEveryDefault) {
    DriverHarness h;
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    host::PnpDevice& device = h.offerStDfuDevice();
    EXPECT_EQ(device.addStatus(), STATUS_SUCCESS);
    const FDO_DATA* c = h.context(device);
    for (ULONG v : {c->mapFromOtpPID, c->mapToOtpPID, c->MapFromOtpVID, c->MapToOtpVID}) {
        EXPECT_EQ(v, 0x0BADF00Du);
    }
    for (ULONG v : {c->ReadUnProtectIfReadProtected, c->TestReadProtectWithFlashAlso,
                    c->STMBootloaderCommandNoPollWait, c->STMAreOptionByteWritesAllowed}) {
        EXPECT_EQ(v, 0u);
    }
    EXPECT_EQ(h.machine().objects().openHandles(), 0u);
}

struct DataCase {
    const char* what;
    RegValue value;
    ULONG expected;
};
void PrintTo(const DataCase& c, std::ostream* os) { *os << c.what; }

class ParameterData : public testing::TestWithParam<DataCase> {};

TEST_P(ParameterData, FirstFourBytesOrTheDefault) {
    DriverHarness h;
    h.setParameters({{u"STMAreOptionByteWritesAllowed", GetParam().value},
                     {u"mapToOtpPID", GetParam().value}});
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    const FDO_DATA* c = h.context(h.offerStDfuDevice());
    EXPECT_EQ(c->STMAreOptionByteWritesAllowed, GetParam().expected);
    const ULONG mappingDefault = GetParam().expected == 0 ? 0x0BADF00D : GetParam().expected;
    EXPECT_EQ(c->mapToOtpPID, mappingDefault);
    EXPECT_EQ(h.machine().objects().openHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ParameterData,
    testing::Values(DataCase{"dword", RegValue::dword(1), 1},
                    DataCase{"one character string", RegValue::string(u"1"), 0x31},
                    DataCase{"three character string", RegValue::string(u"abc"), 0x00620061},
                    DataCase{"two byte binary", RegValue::binary({1, 2}), 0},
                    DataCase{"eight byte binary", RegValue::binary({1, 2, 3, 4, 5, 6, 7, 8}), 0x04030201},
                    DataCase{"nine byte binary", RegValue::binary({1, 2, 3, 4, 5, 6, 7, 8, 9}), 0},
                    DataCase{"four character string", RegValue::string(u"1234"), 0}),
    [](const testing::TestParamInfo<DataCase>& info) {
        std::string name = info.param.what;
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(DeviceAddParameters, EveryValueLandsInItsField) {
    DriverHarness h;
    h.loadReg(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\ostdfu\Parameters]
"mapFromOtpPID"=dword:00000001
"mapToOtpPID"=dword:00000002
"MapFromOtpVID"=dword:00000003
"MapToOtpVID"=dword:00000004
"readunprotectifreadprotected"=dword:00000005
"TestReadProtectWithFlashAlso"=dword:00000006
"STMBootloaderCommandNoPollWait"=dword:00000007
"STMAreOptionByteWritesAllowed"=dword:00000008
)");
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    const FDO_DATA* c = h.context(h.offerStDfuDevice());
    EXPECT_EQ(c->mapFromOtpPID, 1u);
    EXPECT_EQ(c->mapToOtpPID, 2u);
    EXPECT_EQ(c->MapFromOtpVID, 3u);
    EXPECT_EQ(c->MapToOtpVID, 4u);
    EXPECT_EQ(c->ReadUnProtectIfReadProtected, 5u);
    EXPECT_EQ(c->TestReadProtectWithFlashAlso, 6u);
    EXPECT_EQ(c->STMBootloaderCommandNoPollWait, 7u);
    EXPECT_EQ(c->STMAreOptionByteWritesAllowed, 8u);
}

TEST(DeviceAddParameters, KeyThatCannotBeOpenedKeepsDefaultsAndSucceeds) {
    DriverHarness h;
    h.setParameters({{u"STMAreOptionByteWritesAllowed", RegValue::dword(1)}});
    ASSERT_EQ(h.loadDriver(), STATUS_SUCCESS);
    h.faults().failCall(host::FaultSite::RegistryOpen, 1, STATUS_ACCESS_DENIED);
    host::PnpDevice& device = h.offerStDfuDevice();
    EXPECT_EQ(device.addStatus(), STATUS_SUCCESS);
    EXPECT_EQ(h.context(device)->STMAreOptionByteWritesAllowed, 0u);
}

// ---- allocation failures at every site of entry and add --------------------------------------

TEST(DeviceAddSweep, EveryAllocationFailureHasItsStatusAndLeaksNothing) {
    const ULONG tags[] = {OSTDFU_TAG_REGISTRY_PATH, OSTDFU_TAG_HARDWARE_IDS, OSTDFU_TAG_ADD_PARAMETERS};
    std::map<ULONG, std::uint64_t> counts;
    {
        DriverHarness clean;
        clean.setParameters({{u"STMAreOptionByteWritesAllowed", RegValue::dword(1)}});
        ASSERT_EQ(clean.loadDriver(), STATUS_SUCCESS);
        clean.offerStDfuDevice();
        for (ULONG tag : tags) counts[tag] = clean.machine().pool().allocations(tag);
        ASSERT_TRUE(clean.unloadDriver());
        EXPECT_TRUE(clean.leakedTags().empty());
    }
    EXPECT_EQ(counts[OSTDFU_TAG_REGISTRY_PATH], 2u);
    EXPECT_EQ(counts[OSTDFU_TAG_HARDWARE_IDS], 1u);
    EXPECT_EQ(counts[OSTDFU_TAG_ADD_PARAMETERS], 1u);

    for (ULONG tag : tags) {
        for (std::uint64_t n = 1; n <= counts[tag]; ++n) {
            SCOPED_TRACE(ostdfu_test::tagName(tag) + " #" + std::to_string(n));
            DriverHarness h;
            h.setParameters({{u"STMAreOptionByteWritesAllowed", RegValue::dword(1)}});
            h.faults().failAllocation(tag, n);
            const NTSTATUS entry = h.loadDriver();
            if (tag == OSTDFU_TAG_REGISTRY_PATH) {
                EXPECT_EQ(entry, STATUS_INSUFFICIENT_RESOURCES);
                EXPECT_FALSE(h.machine().pnp().driverLoaded());
                EXPECT_EQ(h.machine().trace().sessions(), 0);
            } else {
                ASSERT_EQ(entry, STATUS_SUCCESS);
                host::PnpDevice& device = h.offerStDfuDevice();
                if (tag == OSTDFU_TAG_HARDWARE_IDS) {
                    EXPECT_EQ(device.addStatus(), STATUS_INSUFFICIENT_RESOURCES);
                } else {
                    // The parameters are optional: the add succeeds with the defaults.
                    EXPECT_EQ(device.addStatus(), STATUS_SUCCESS);
                    EXPECT_EQ(h.context(device)->STMAreOptionByteWritesAllowed, 0u);
                }
                EXPECT_TRUE(h.unloadDriver());
            }
            EXPECT_TRUE(h.leakedTags().empty());
            EXPECT_EQ(h.machine().objects().openHandles(), 0u);
        }
    }
}

}  // namespace
