// The PnP manager and the framework with a minimal driver of the test's own: device stacks and
// names, the hardware-ID property, each device's hardware key, and the removal order.
#include <gtest/gtest.h>

#include "host/framework/device.h"
#include "host/machine.h"
#include "platform/wdf.h"

namespace {

struct Calls {
    std::vector<std::string> order;
    bool failAdd = false;
};
Calls* calls = nullptr;

struct TinyContext {
    int value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TinyContext, TinyGetContext)

EVT_WDF_DEVICE_PREPARE_HARDWARE Prepare;
NTSTATUS Prepare(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST) { calls->order.push_back("prepare"); return STATUS_SUCCESS; }
EVT_WDF_DEVICE_RELEASE_HARDWARE Release;
NTSTATUS Release(WDFDEVICE, WDFCMRESLIST) { calls->order.push_back("release"); return STATUS_SUCCESS; }
EVT_WDF_DEVICE_D0_ENTRY D0Entry;
NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE) { calls->order.push_back("d0entry"); return STATUS_SUCCESS; }
EVT_WDF_DEVICE_D0_EXIT D0Exit;
NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE) { calls->order.push_back("d0exit"); return STATUS_SUCCESS; }
EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND Suspend;
NTSTATUS Suspend(WDFDEVICE) { calls->order.push_back("suspend"); return STATUS_SUCCESS; }
EVT_WDF_DEVICE_SURPRISE_REMOVAL Surprise;
void Surprise(WDFDEVICE) { calls->order.push_back("surprise"); }
EVT_WDF_OBJECT_CONTEXT_CLEANUP Cleanup;
void Cleanup(WDFOBJECT) { calls->order.push_back("cleanup"); }
EVT_WDF_OBJECT_CONTEXT_CLEANUP DriverCleanup;
void DriverCleanup(WDFOBJECT) { calls->order.push_back("driver cleanup"); }

EVT_WDF_DRIVER_DEVICE_ADD Add;
NTSTATUS Add(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = Prepare;
    callbacks.EvtDeviceReleaseHardware = Release;
    callbacks.EvtDeviceD0Entry = D0Entry;
    callbacks.EvtDeviceD0Exit = D0Exit;
    callbacks.EvtDeviceSelfManagedIoSuspend = Suspend;
    callbacks.EvtDeviceSurpriseRemoval = Surprise;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TinyContext);
    attributes.EvtCleanupCallback = Cleanup;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (NT_SUCCESS(status) && calls->failAdd) status = STATUS_UNSUCCESSFUL;
    return status;
}

DRIVER_INITIALIZE Entry;
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, Add);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = DriverCleanup;
    return WdfDriverCreate(driver, path, &attributes, &config, WDF_NO_HANDLE);
}

class PnpTest : public testing::Test {
protected:
    PnpTest() {
        calls = &calls_;
        EXPECT_EQ(machine_.pnp().loadDriver(Entry, u"tiny"), STATUS_SUCCESS);
    }
    ~PnpTest() override {
        machine_.pnp().shutdown();
        calls = nullptr;
    }
    host::PnpDevice& offer(std::vector<std::u16string> ids, std::u16string serial = u"") {
        host::PnpDeviceDescription d;
        d.hardwareIds = std::move(ids);
        d.serialNumber = std::move(serial);
        return machine_.pnp().offerDevice(std::move(d));
    }
    Calls calls_;
    host::Machine machine_;
};

TEST_F(PnpTest, StartsAndRemovesInTheFrameworksOrder) {
    host::PnpDevice& device = offer({u"USB\\VID_0483&PID_DF11"});
    EXPECT_EQ(device.state(), host::PnpState::Started);
    machine_.pnp().surpriseRemoveDevice(device);
    ASSERT_TRUE(machine_.pnp().unloadDriver());
    EXPECT_EQ(calls_.order, (std::vector<std::string>{"prepare", "d0entry", "surprise", "suspend", "d0exit",
                                                      "release", "cleanup", "driver cleanup"}));
    EXPECT_EQ(machine_.ioObjects().deviceCount(), 0u);
}

TEST_F(PnpTest, FailedAddDeletesTheDeviceWithoutStartingIt) {
    calls_.failAdd = true;
    host::PnpDevice& device = offer({u"USB\\VID_0483&PID_DF11"});
    EXPECT_EQ(device.state(), host::PnpState::AddFailed);
    EXPECT_EQ(calls_.order, std::vector<std::string>{"cleanup"});
    EXPECT_EQ(machine_.ioObjects().deviceCount(), 0u);
}

TEST_F(PnpTest, DriverDeviceSitsOnThePhysicalDeviceAndIsNamedAfterIt) {
    host::PnpDevice& device = offer({u"USB\\VID_0483&PID_DF11"});
    PDEVICE_OBJECT fdo = WdfDeviceWdmGetDeviceObject(device.handle());
    PDEVICE_OBJECT pdo = device.physicalDevice();
    EXPECT_EQ(WdfDeviceWdmGetAttachedDevice(device.handle()), pdo);
    EXPECT_EQ(WdfDeviceWdmGetPhysicalDevice(device.handle()), pdo);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(fdo->StackSize, pdo->StackSize + 1);
    EXPECT_EQ(fdo->DriverObject, machine_.pnp().driverObject());
    EXPECT_EQ(machine_.ioObjects().eventLogName(fdo), u"\\Device\\USBPDO-1");
    EXPECT_EQ(machine_.ioObjects().eventLogName(machine_.pnp().driverObject()), u"\\Driver\\tiny");
    EXPECT_NE(TinyGetContext(device.handle()), nullptr);
    EXPECT_EQ(TinyGetContext(device.handle())->value, 0);  // contexts start zeroed
}

TEST_F(PnpTest, HardwareIdPropertyIsAMultiStringWithTheBufferRule) {
    host::PnpDevice& device = offer({u"USB\\A", u"USB\\BB"});
    const std::u16string expected(u"USB\\A\0USB\\BB\0\0", 14);
    ULONG needed = 0;
    std::uint8_t probe[4];
    EXPECT_EQ(IoGetDeviceProperty(device.physicalDevice(), DevicePropertyHardwareID, 4, probe, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, expected.size() * 2);
    std::u16string buffer(expected.size(), u'#');
    EXPECT_EQ(IoGetDeviceProperty(device.physicalDevice(), DevicePropertyHardwareID, needed, buffer.data(), &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(buffer, expected);
    // Not a physical device object: refused.
    EXPECT_EQ(IoGetDeviceProperty(WdfDeviceWdmGetDeviceObject(device.handle()), DevicePropertyHardwareID, 4,
                                  probe, &needed),
              STATUS_INVALID_DEVICE_REQUEST);
}

std::u16string keyName(PDEVICE_OBJECT pdo) {
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(key, KEY_READ, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    ZwClose(key);
    std::vector<std::uint8_t> buffer(1024);
    ULONG needed = 0;
    EXPECT_EQ(ObQueryNameString(object, reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data()), 1024, &needed),
              STATUS_SUCCESS);
    ObfDereferenceObject(object);
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(buffer.data());
    return std::u16string(info->Name.Buffer, info->Name.Length / 2);
}

TEST_F(PnpTest, HardwareKeyIsNamedBySerialNumberOrAGeneratedInstanceId) {
    host::PnpDevice& withSerial = offer({u"USB\\VID_0483&PID_DF11&REV_2200"}, u"3276355E3036");
    host::PnpDevice& without = offer({u"USB\\VID_0483&PID_DF11&REV_2200"});
    EXPECT_EQ(keyName(withSerial.physicalDevice()),
              u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_0483&PID_DF11\\3276355E3036\\Device Parameters");
    EXPECT_EQ(keyName(without.physicalDevice()),
              u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Enum\\USB\\VID_0483&PID_DF11\\5&1a2b3c4d&0&2\\Device Parameters");
    EXPECT_EQ(machine_.objects().openHandles(), 0u);
}

}  // namespace
