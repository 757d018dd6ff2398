// The emulated USB bus: topology, what its physical device objects answer, the record, and
// devices that leave and come back.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/io/irp.h"
#include "host/machine.h"
#include "host/rtl/text.h"
#include "host/usb/enumeration.h"
#include "host/usb/urb_host.h"
#include "tests/support/scripted_device_end.h"

namespace ostdfu_test {
namespace {

struct Sent {
    NTSTATUS status;
    ULONG_PTR information;
};

IO_COMPLETION_ROUTINE completeAndKeep;
NTSTATUS completeAndKeep(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// One internal I/O control to the device's PDO in an IRP of the test's own; the bus completes
// synchronously.
Sent sendToPdo(host::usb::Device& device, ULONG code, PVOID argument1) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = argument1;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    IoSetCompletionRoutine(irp, completeAndKeep, nullptr, TRUE, TRUE, TRUE);
    const NTSTATUS returned = IofCallDriver(device.pdo(), irp);
    EXPECT_NE(returned, STATUS_PENDING);
    Sent sent{irp->IoStatus.Status, irp->IoStatus.Information};
    EXPECT_EQ(sent.status, returned);
    IoFreeIrp(irp);
    return sent;
}

URB descriptorUrb(UCHAR type, UCHAR index, USHORT language, PVOID buffer, ULONG length) {
    URB urb{};
    auto& d = urb.UrbControlDescriptorRequest;
    d.Hdr.Length = sizeof(d);
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.DescriptorType = type;
    d.Index = index;
    d.LanguageId = language;
    d.TransferBuffer = buffer;
    d.TransferBufferLength = length;
    return urb;
}

class UsbBus : public ::testing::Test {
  protected:
    host::Machine machine;
    host::usb::Bus& bus = machine.usb();
    std::shared_ptr<ScriptedDeviceEnd> end = std::make_shared<ScriptedDeviceEnd>();
};

TEST_F(UsbBus, TopologyAddressFollowsTheHubsDownToFiveTiers) {
    host::usb::Hub& root = bus.addController({1, 0x1A, 2}, 6).rootHub();
    host::usb::Device& direct = root.attachDevice(6, std::make_shared<ScriptedDeviceEnd>());
    EXPECT_EQ(direct.topologyAddress().RootHubPortNumber, 6);
    EXPECT_EQ(direct.topologyAddress().HubPortNumber[0], 0);
    EXPECT_EQ(direct.topologyAddress().PciBusNumber, 1u);
    EXPECT_EQ(direct.topologyAddress().PciDeviceNumber, 0x1Au);
    EXPECT_EQ(direct.topologyAddress().PciFunctionNumber, 2u);

    host::usb::Hub* hub = &root;
    USHORT rootPort = 2;
    hub = &hub->attachHub(rootPort, 4);
    for (unsigned tier = 1; tier <= 5; ++tier) {
        host::usb::Device& device = hub->attachDevice(1, std::make_shared<ScriptedDeviceEnd>());
        const USB_TOPOLOGY_ADDRESS& a = device.topologyAddress();
        EXPECT_EQ(a.RootHubPortNumber, rootPort);
        for (unsigned t = 0; t < 5; ++t) {
            // Hubs sit on port 4 of the hub above; the device on port 1 of the last one.
            const USHORT expected = t + 1 < tier ? 4 : (t + 1 == tier ? 1 : 0);
            EXPECT_EQ(a.HubPortNumber[t], expected) << "tier " << tier << " entry " << t;
        }
        if (tier < 5) {
            hub = &hub->attachHub(4, 4);
        }
    }
    EXPECT_EQ(hub->tier(), 5u);
    EXPECT_THROW(hub->attachHub(4, 4), std::logic_error);
    EXPECT_THROW(root.attachDevice(7, end), std::logic_error);
    EXPECT_THROW(root.attachDevice(6, end), std::logic_error);
    EXPECT_EQ(bus.devices().size(), 6u);
}

TEST_F(UsbBus, DevicesGetTheirOwnPdoNames) {
    host::usb::Hub& root = bus.addController({}, 2).rootHub();
    host::usb::Device& a = root.attachDevice(1, std::make_shared<ScriptedDeviceEnd>());
    host::usb::Device& b = root.attachDevice(2, std::make_shared<ScriptedDeviceEnd>());
    EXPECT_NE(a.pdoName(), b.pdoName());
    EXPECT_EQ(a.pdoName().rfind(u"\\Device\\USBPDO-", 0), 0u);
    EXPECT_EQ(machine.ioObjects().nameOf(a.pdo()), a.pdoName());
    EXPECT_EQ(bus.deviceOf(b.pdo()), &b);
}

TEST_F(UsbBus, DescriptorUrbBecomesGetDescriptorWithLanguageAndLength) {
    host::usb::Device& device = bus.addController({}, 4).rootHub().attachDevice(1, end);
    end->setString(2, u"STM32");
    UCHAR buffer[255] = {};
    URB urb = descriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, buffer, sizeof(buffer));
    EXPECT_EQ(sendToPdo(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb).status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 12u);
    const auto entry = device.traffic().back();
    EXPECT_EQ(Bytes(entry.setup.begin(), entry.setup.end()),
              (Bytes{0x80, 0x06, 0x02, 0x03, 0x09, 0x04, 0xFF, 0x00}));
    EXPECT_EQ(entry.data, stringDescriptor(u"STM32"));
    EXPECT_EQ(entry.requestedLength, 255u);
    EXPECT_EQ(entry.actualLength, 12u);
    // Without a time-out from the sender the device end gets the USB limit.
    EXPECT_EQ(end->transfers().back().timeoutMs, host::usb::Bus::kDefaultTransferTimeoutMs);
}

TEST_F(UsbBus, ControlTransferCanUseAnMdlInsteadOfABuffer) {
    host::usb::Device& device = bus.addController({}, 4).rootHub().attachDevice(1, end);
    end->script(requestMatcher(0xC0, 0x33), ScriptedReply::answer({1, 2, 3}));
    UCHAR buffer[8] = {};
    MDL mdl{};  // as the system describes a non-paged buffer: mapped already
    mdl.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
    mdl.MappedSystemVa = buffer;
    mdl.ByteCount = sizeof(buffer);
    URB urb{};
    auto& v = urb.UrbControlVendorClassRequest;
    v.Hdr.Length = sizeof(v);
    v.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    v.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    v.TransferBufferMDL = &mdl;
    v.TransferBufferLength = sizeof(buffer);
    v.Request = 0x33;
    EXPECT_EQ(sendToPdo(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb).status, STATUS_SUCCESS);
    EXPECT_EQ(v.TransferBufferLength, 3u);
    EXPECT_EQ(buffer[2], 3);
}

TEST_F(UsbBus, UnknownUrbFunctionsAndRequestsAreRefused) {
    host::usb::Device& device = bus.addController({}, 4).rootHub().attachDevice(1, end);
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    EXPECT_EQ(sendToPdo(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, host::usb::USBD_STATUS_INVALID_URB_FUNCTION);
    EXPECT_EQ(sendToPdo(device, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sendToPdo(device, 0x220ABC, nullptr).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(sendToPdo(device, IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS, nullptr).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(end->transfers().empty());
}

TEST_F(UsbBus, DisconnectMarksTheDeviceGoneUntilItComesBack) {
    struct Listener : host::usb::BusListener {
        std::vector<std::string> events;
        void deviceAttached(host::usb::Device&) override { events.push_back("attached"); }
        void deviceDetached(host::usb::Device&) override { events.push_back("detached"); }
        void deviceDisconnected(host::usb::Device&) override { events.push_back("disconnected"); }
        void deviceReconnected(host::usb::Device&) override { events.push_back("reconnected"); }
    } listener;
    bus.setListener(&listener);
    host::usb::Hub& root = bus.addController({}, 4).rootHub();
    host::usb::Device& device = root.attachDevice(1, end);

    end->disconnect();
    EXPECT_TRUE(device.gone());
    UCHAR buffer[18];
    URB urb = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof(buffer));
    EXPECT_EQ(sendToPdo(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb).status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
    EXPECT_EQ(sendToPdo(device, IOCTL_INTERNAL_USB_RESET_PORT, nullptr).status,
              STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(end->transfers().empty()) << "a gone device is not reached";

    end->reconnect();
    EXPECT_FALSE(device.gone());
    EXPECT_EQ(sendToPdo(device, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb).status, STATUS_SUCCESS);
    root.detach(1);
    bus.setListener(nullptr);
    EXPECT_EQ(listener.events,
              (std::vector<std::string>{"attached", "disconnected", "reconnected", "detached"}));
    // The record kept the failed attempts too.
    EXPECT_TRUE(bus.devices().empty());
}

TEST_F(UsbBus, TrafficLinesCarrySetupStatusCountsAndData) {
    host::usb::TrafficEntry entry;
    entry.setup = {0xA1, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00};
    entry.data = {0x00, 0x64, 0x00, 0x00, 0x02, 0x00};
    entry.requestedLength = 6;
    entry.actualLength = 6;
    EXPECT_EQ(host::usb::describe(entry),
              "ctrl A1 03 00 00 00 00 06 00 -> STATUS_SUCCESS usbd 0x00000000 6/6 "
              "[00 64 00 00 02 00]");
    host::usb::TrafficEntry stalled;
    stalled.setup = {0x21, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    stalled.status = STATUS_UNSUCCESSFUL;
    stalled.usbdStatus = USBD_STATUS_STALL_PID;
    EXPECT_EQ(host::usb::describe(stalled),
              "ctrl 21 01 00 00 00 00 00 00 -> STATUS_UNSUCCESSFUL usbd 0xC0000004 0/0");
    host::usb::TrafficEntry cycle;
    cycle.kind = host::usb::TrafficEntry::Kind::CyclePort;
    EXPECT_EQ(host::usb::describe(cycle), "cycle port -> STATUS_SUCCESS");
}

TEST_F(UsbBus, EnumerationGivesTheHardwareIdsAndTheSerialNumber) {
    host::usb::Hub& root = bus.addController({}, 4).rootHub();
    end->setString(3, u"315A28A0B956");
    host::usb::Device& device = root.attachDevice(1, end);
    const auto description = host::usb::enumerate(device);
    ASSERT_TRUE(description.has_value());
    EXPECT_EQ(description->hardwareIds,
              (std::vector<std::u16string>{u"USB\\VID_0483&PID_DF11&REV_2200",
                                           u"USB\\VID_0483&PID_DF11"}));
    EXPECT_EQ(description->serialNumber, u"315A28A0B956");
    EXPECT_EQ(description->physicalDevice, device.pdo());
    EXPECT_TRUE(device.traffic().empty()) << "the hub's requests are not the driver's traffic";

    // No serial-number string, a stalled one, and a device that does not describe itself.
    auto plain = std::make_shared<ScriptedDeviceEnd>();
    Bytes noSerial = end->transfers().front().in;
    noSerial[16] = 0;
    plain->setDeviceDescriptor(noSerial);
    EXPECT_EQ(host::usb::enumerate(root.attachDevice(2, plain))->serialNumber, u"");
    auto stalling = std::make_shared<ScriptedDeviceEnd>();
    stalling->script(descriptorMatcher(0x03), ScriptedReply::stall());
    EXPECT_EQ(host::usb::enumerate(root.attachDevice(3, stalling))->serialNumber, u"");
    auto mute = std::make_shared<ScriptedDeviceEnd>();
    mute->script(descriptorMatcher(0x01), ScriptedReply::answer(Bytes(8, 0x12)));
    EXPECT_FALSE(host::usb::enumerate(root.attachDevice(4, mute)).has_value());
}

TEST_F(UsbBus, ASerialNumberThatCannotNameAKeyIsNoSerialNumber) {
    struct Row {
        std::u16string serial;
        std::u16string expected;
    };
    const Row rows[] = {
        {u"315A28A0B956", u"315A28A0B956"},
        {u"~!#$%", u"~!#$%"},
        {u"A\\B", u""},  // would split the instance key in two
        {u"\\", u""},
        {u"A,B", u""},
        {u"A B", u""},
        {u"AB\x7F", u""},
        {u"AB\tCD", u""},
        {u"\u00C4B", u""},
    };
    host::usb::Hub& root = bus.addController({}, 16).rootHub();
    ULONG port = 1;
    for (const Row& row : rows) {
        auto device = std::make_shared<ScriptedDeviceEnd>();
        device->setString(3, row.serial);
        EXPECT_EQ(host::usb::enumerate(root.attachDevice(port++, device))->serialNumber, row.expected)
            << host::narrow(row.serial);
    }
}

// ---- the bus interface -------------------------------------------------------------------------

NTSTATUS queryInterface(host::usb::Device& device, const GUID& type, USHORT version,
                        USB_BUS_INTERFACE_USBDI_V1* out) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &type;
    next->Parameters.QueryInterface.Size = sizeof(*out);
    next->Parameters.QueryInterface.Version = version;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(out);
    IoSetCompletionRoutine(irp, completeAndKeep, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(device.pdo(), irp);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

TEST_F(UsbBus, OnlyTheVersionOneUsbdiInterfaceIsHandedOutAndItIsCounted) {
    host::usb::Device& device = bus.addController({}, 4).rootHub().attachDevice(1, end);
    USB_BUS_INTERFACE_USBDI_V1 busInterface{};
    const GUID other = {0x12345678, 0, 0, {0}};
    EXPECT_EQ(queryInterface(device, other, 1, &busInterface), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(queryInterface(device, USB_BUS_INTERFACE_USBDI_GUID, 2, &busInterface),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(device.busInterfaceReferences(), 0);

    ASSERT_EQ(queryInterface(device, USB_BUS_INTERFACE_USBDI_GUID, 1, &busInterface),
              STATUS_SUCCESS);
    EXPECT_EQ(device.busInterfaceReferences(), 1);
    busInterface.InterfaceReference(busInterface.BusContext);
    EXPECT_EQ(device.busInterfaceReferences(), 2);
    busInterface.InterfaceDereference(busInterface.BusContext);
    busInterface.InterfaceDereference(busInterface.BusContext);
    EXPECT_EQ(device.busInterfaceReferences(), 0);
    EXPECT_EQ(device.busInterfaceReferenceCalls(), 2);
    EXPECT_EQ(device.busInterfaceDereferenceCalls(), 2);
    EXPECT_DEATH(busInterface.InterfaceDereference(busInterface.BusContext), "more often");
}

}  // namespace
}  // namespace ostdfu_test
