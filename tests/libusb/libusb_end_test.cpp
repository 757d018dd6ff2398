// The libusb device end: how libusb's answers reach the bus, where a real device is placed on
// the emulated bus, and, under umockdev, the end and `dfuhost --usb` against the bootloader
// model served as a usbdevfs node.
#include <sys/ioctl.h>

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include <libusb.h>

#include <gtest/gtest.h>

#include "host/clock.h"
#include "host/libusb/bootloader_watch.h"
#include "host/libusb/libusb_device_end.h"
#include "presets/presets.h"
#include "tests/e2e/dfuhost_process.h"
#include "host/umockdev/usbdevfs_server.h"
#include "tools/system/driver_on_bus.h"
#include "tools/system/usb_bus.h"

namespace host {
// Failures name the status rather than print its bytes.
void PrintTo(TransferStatus status, std::ostream* out) {
    static constexpr const char* kNames[] = {"Completed", "Stalled", "TimedOut", "Disconnected"};
    *out << kNames[static_cast<int>(status)];
}
}  // namespace host

namespace {

using host::TransferStatus;
namespace lu = host::libusb;

TEST(LibusbEnd, LibusbResultsReachTheBusAsTransferResults) {
    struct Case {
        int rc;
        std::uint16_t wLength;
        TransferStatus status;
        std::uint32_t actual;
    };
    const Case cases[] = {
        {6, 6, TransferStatus::Completed, 6},
        {2, 64, TransferStatus::Completed, 2},  // a short IN answer succeeds with its count
        {0, 0, TransferStatus::Completed, 0},
        {70, 64, TransferStatus::Completed, 64},  // never more than the buffer holds
        {LIBUSB_ERROR_PIPE, 6, TransferStatus::Stalled, 0},
        {LIBUSB_ERROR_TIMEOUT, 6, TransferStatus::TimedOut, 0},
        {LIBUSB_ERROR_NO_DEVICE, 6, TransferStatus::Disconnected, 0},
        {LIBUSB_ERROR_NOT_FOUND, 6, TransferStatus::Disconnected, 0},
        // Failures with no status of their own must still fail, never complete.
        {LIBUSB_ERROR_IO, 6, TransferStatus::Stalled, 0},
        {LIBUSB_ERROR_OVERFLOW, 6, TransferStatus::Stalled, 0},
        {LIBUSB_ERROR_BUSY, 0, TransferStatus::Stalled, 0},
    };
    for (const Case& c : cases) {
        const host::TransferResult result = lu::transferResultOf(c.rc, c.wLength);
        EXPECT_EQ(result.status, c.status) << "libusb " << c.rc;
        EXPECT_EQ(result.actualLength, c.actual) << "libusb " << c.rc;
    }
}

TEST(LibusbEnd, PortNumbersGiveTheTopologyAddressOfTheRealTree) {
    struct Case {
        unsigned bus;
        std::vector<unsigned> ports;
        USHORT root;
        std::array<USHORT, 5> hubs;
        const char* name;
    };
    const Case cases[] = {
        {3, {1}, 1, {0, 0, 0, 0, 0}, "3-1"},
        {1, {2, 4}, 2, {4, 0, 0, 0, 0}, "1-2.4"},
        {2, {1, 2, 3, 4, 5, 6}, 1, {2, 3, 4, 5, 6}, "2-1.2.3.4.5.6"},
    };
    for (const Case& c : cases) {
        const lu::BusPlace place = lu::busPlaceOf(c.bus, c.ports);
        const USB_TOPOLOGY_ADDRESS address = dfuhost::topologyOf(place.controller, place.location);
        EXPECT_EQ(place.controller, c.bus);
        EXPECT_EQ(address.RootHubPortNumber, c.root) << c.name;
        for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(address.HubPortNumber[i], c.hubs[i]) << c.name;
        EXPECT_EQ(dfuhost::usbDeviceName(c.bus, c.ports), c.name);
    }
    // A root hub itself, a seventh tier, and a port the hub cannot have are refused, not
    // truncated into somebody else's address.
    EXPECT_THROW(lu::busPlaceOf(1, {}), lu::UsbError);
    EXPECT_THROW(lu::busPlaceOf(1, {1, 2, 3, 4, 5, 6, 7}), lu::UsbError);
    EXPECT_THROW(lu::busPlaceOf(1, {1, 0}), lu::UsbError);
}

TEST(LibusbEnd, OpenFailuresNameTheDeviceAndTheFix) {
    const std::string denied = lu::openFailureText(LIBUSB_ERROR_ACCESS, 3, {1, 4}, 7);
    EXPECT_NE(denied.find("bus 3 port 1.4"), std::string::npos) << denied;
    EXPECT_NE(denied.find("/dev/bus/usb/003/007"), std::string::npos) << denied;
    EXPECT_NE(denied.find("ATTR{idProduct}==\"df11\""), std::string::npos) << denied;
    const std::string busy = lu::openFailureText(LIBUSB_ERROR_BUSY, 3, {1, 4}, 7);
    EXPECT_NE(busy.find("in use by another program"), std::string::npos) << busy;
}

// The model on a umockdev testbed at bus 3, root-hub port 1, address 5.
class ServedBootloader : public ::testing::Test {
protected:
    void SetUp() override {
        if (!host::umockdev::underUmockdev()) {
            GTEST_SKIP() << "needs umockdev's preload (run through ctest, which starts the suite "
                            "with umockdev-wrapper; sanitizer builds cannot preload it)";
        }
        testbed_ = std::make_unique<host::umockdev::Testbed>();
    }
    void TearDown() override {
        server_.reset();
        testbed_.reset();
    }
    void serve() {
        rom_ = std::make_unique<sim::Bootloader>(presets::presetFor(49), clock_);
        server_ = std::make_unique<host::umockdev::UsbdevfsServer>(*testbed_, *rom_, host::umockdev::UsbPlace{3, {1}, 5});
    }

    host::VirtualClock clock_;
    std::unique_ptr<host::umockdev::Testbed> testbed_;
    std::unique_ptr<sim::Bootloader> rom_;
    std::unique_ptr<host::umockdev::UsbdevfsServer> server_;
};

class CountingEvents final : public host::DeviceEndEvents {
public:
    void deviceDisconnected() override { ++disconnected; }
    void deviceReconnected() override { ++reconnected; }
    int disconnected = 0;
    int reconnected = 0;
};

TEST_F(ServedBootloader, EnumeratesAndTalksToTheModelThroughLibusb) {
    serve();
    auto context = std::make_shared<lu::Context>();
    const std::vector<lu::FoundDevice> found = lu::findBootloaders(*context);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].busNumber, 3u);
    EXPECT_EQ(found[0].address, 5u);
    EXPECT_EQ(found[0].ports, std::vector<unsigned>{1});

    lu::LibusbDeviceEnd end(context, found[0], clock_);
    EXPECT_TRUE(end.connected());
    EXPECT_EQ(end.speed(), host::UsbSpeed::Full);

    // GETSTATUS of an idle bootloader: OK, dfuIDLE.
    std::vector<std::uint8_t> status(6, 0xEE);
    host::TransferResult result = end.controlTransfer({0xA1, 0x03, 0, 0, 6}, status, 1000);
    ASSERT_EQ(result.status, TransferStatus::Completed);
    EXPECT_EQ(result.actualLength, 6u);
    EXPECT_EQ(status[0], 0x00);
    EXPECT_EQ(status[4], 0x02);

    // The serial-number string, a short answer to a long buffer.
    std::vector<std::uint8_t> text(255);
    result = end.controlTransfer({0x80, 0x06, 0x0303, 0x0409, 255}, text, 1000);
    ASSERT_EQ(result.status, TransferStatus::Completed);
    const std::string serial = "315A28A0B956";
    ASSERT_EQ(result.actualLength, 2 + 2 * serial.size());
    EXPECT_EQ(text[1], 0x03);
    for (std::size_t i = 0; i < serial.size(); ++i) EXPECT_EQ(text[2 + 2 * i], serial[i]);

    // SET_INTERFACE goes through the kernel's alternate-setting call and reaches the device.
    std::vector<std::uint8_t> none;
    result = end.controlTransfer({0x01, 0x0B, 1, 0, 0}, none, 1000);
    EXPECT_EQ(result.status, TransferStatus::Completed);
    EXPECT_EQ(rom_->alternateSetting(), 1);
    const std::vector<unsigned long> requests = server_->requests();
    EXPECT_NE(std::count(requests.begin(), requests.end(), USBDEVFS_SETINTERFACE), 0);

    // DNLOAD with wValue 1 is stalled by the ROM.
    std::vector<std::uint8_t> block(4, 0);
    result = end.controlTransfer({0x21, 0x01, 1, 0, 4}, block, 1000);
    EXPECT_EQ(result.status, TransferStatus::Stalled);

    // A buffer shorter than wLength is refused before it reaches the device.
    std::vector<std::uint8_t> small(2);
    result = end.controlTransfer({0xA1, 0x03, 0, 0, 6}, small, 1000);
    EXPECT_EQ(result.status, TransferStatus::Stalled);
}

TEST_F(ServedBootloader, ADeviceThatLeavesIsReportedOnceAndStaysGone) {
    serve();
    auto context = std::make_shared<lu::Context>();
    const std::vector<lu::FoundDevice> found = lu::findBootloaders(*context);
    ASSERT_EQ(found.size(), 1u);
    lu::LibusbDeviceEnd end(context, found[0], clock_);
    CountingEvents events;
    end.setEvents(&events);

    rom_->unplug();
    std::vector<std::uint8_t> status(6);
    EXPECT_EQ(end.controlTransfer({0xA1, 0x03, 0, 0, 6}, status, 1000).status, TransferStatus::Disconnected);
    EXPECT_EQ(end.controlTransfer({0xA1, 0x03, 0, 0, 6}, status, 1000).status, TransferStatus::Disconnected);
    EXPECT_FALSE(end.connected());
    EXPECT_EQ(events.disconnected, 1);
    EXPECT_EQ(events.reconnected, 0);
}

// What the kernel keeps of a device's configuration: a reset (libusb_reset_device, which a port
// cycle uses) restores it, and a configuration set through the node shows in sysfs, where libusb
// reads it to decide whether to send one.
TEST_F(ServedBootloader, TheConfigurationAndAlternateSettingOutliveAReset) {
    serve();
    auto context = std::make_shared<lu::Context>();
    lu::LibusbDeviceEnd end(context, lu::findBootloaders(*context).at(0), clock_);
    std::vector<std::uint8_t> none;
    std::vector<std::uint8_t> value(1, 0xEE);
    const auto request = [&](host::SetupPacket setup, std::span<std::uint8_t> data) {
        return end.controlTransfer(setup, data, 1000).status;
    };

    ASSERT_EQ(request({0x01, 0x0B, 2, 0, 0}, none), TransferStatus::Completed);
    end.resetPort();
    EXPECT_TRUE(end.connected());
    EXPECT_EQ(rom_->configuration(), 1);
    EXPECT_EQ(rom_->alternateSetting(), 2);
    ASSERT_EQ(request({0x80, 0x08, 0, 0, 1}, value), TransferStatus::Completed);
    EXPECT_EQ(value[0], 1) << "GET_CONFIGURATION after the reset";
    std::vector<std::uint8_t> status(6);
    EXPECT_EQ(request({0xA1, 0x03, 0, 0, 6}, status), TransferStatus::Completed);

    // Unconfigured, then configured again: the second SET_CONFIGURATION must reach the device.
    ASSERT_EQ(request({0x00, 0x09, 0, 0, 0}, none), TransferStatus::Completed);
    EXPECT_EQ(rom_->configuration(), 0);
    ASSERT_EQ(request({0x00, 0x09, 1, 0, 0}, none), TransferStatus::Completed);
    EXPECT_EQ(rom_->configuration(), 1);
    EXPECT_EQ(request({0x01, 0x0B, 1, 0, 0}, none), TransferStatus::Completed);
    EXPECT_EQ(rom_->alternateSetting(), 1);
}

// libusb 1.0.25 and 1.0.26 break a handle's lock when libusb_set_interface_alt_setting finds
// its device already gone, and abort the process when the handle is closed. A device that
// resets under the driver's SET_INTERFACE (the option-byte write) must only be reported gone.
TEST_F(ServedBootloader, ASetInterfaceToADeviceLibusbSawLeaveReportsItGone) {
    serve();
    auto context = std::make_shared<lu::Context>();
    auto end = std::make_unique<lu::LibusbDeviceEnd>(context, lu::findBootloaders(*context).at(0), clock_);
    CountingEvents events;
    end->setEvents(&events);
    std::vector<std::uint8_t> none;
    ASSERT_EQ(end->controlTransfer({0x01, 0x0B, 1, 0, 0}, none, 1000).status, TransferStatus::Completed);

    server_->unplug();
    // Once the list has lost it, libusb has taken in the removal and marked the device gone.
    for (int look = 0; look < 200 && !lu::findBootloaders(*context).empty(); ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(lu::findBootloaders(*context).empty());
    EXPECT_EQ(end->controlTransfer({0x01, 0x0B, 0, 0, 0}, none, 1000).status, TransferStatus::Disconnected);
    EXPECT_FALSE(end->connected());
    EXPECT_EQ(events.disconnected, 1);
    end.reset();  // closes what it holds
}

// A one-shot command hears of nothing by itself: it looks when it waits for a device that
// re-enumerates (after a read unprotect), and sees it leave and come back at a new address.
TEST_F(ServedBootloader, ALookAtThePlaceFindsTheDeviceGoneAndBack) {
    serve();
    auto context = std::make_shared<lu::Context>();
    lu::LibusbDeviceEnd end(context, lu::findBootloaders(*context).at(0), clock_);
    CountingEvents events;
    end.setEvents(&events);
    // The testbed's uevents reach libusb's list a moment later: looks are repeated, bounded.
    const auto lookUntil = [&](const std::function<bool()>& done) {
        for (int look = 0; look < 200 && !done(); ++look) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            end.checkPresence();
        }
        return done();
    };

    end.checkPresence();
    EXPECT_EQ(events.disconnected + events.reconnected, 0) << "nothing changed";

    server_.reset();
    ASSERT_TRUE(lookUntil([&] { return events.disconnected == 1; }));
    EXPECT_EQ(events.reconnected, 0);
    EXPECT_FALSE(end.connected());

    server_ = std::make_unique<host::umockdev::UsbdevfsServer>(*testbed_, *rom_, host::umockdev::UsbPlace{3, {1}, 6});
    ASSERT_TRUE(lookUntil([&] { return events.reconnected == 1; }));
    EXPECT_EQ(events.disconnected, 1);
    ASSERT_TRUE(end.connected());
    EXPECT_EQ(end.place().address, 6u);
    std::vector<std::uint8_t> status(6);
    EXPECT_EQ(end.controlTransfer({0xA1, 0x03, 0, 0, 6}, status, 1000).status, TransferStatus::Completed);
}

// A station opens a unit the moment hot-plug reports it. The node must answer by then: one
// opened before it was served stays a plain terminal that refuses every usbdevfs request. The
// race is the plugging thread's against the listener's, so it is run many times.
TEST_F(ServedBootloader, AUnitOpenedAsSoonAsItIsAnnouncedAnswers) {
    constexpr unsigned kPlugs = 40;
    auto context = std::make_shared<lu::Context>();
    lu::BootloaderWatch watch(context);
    ASSERT_TRUE(watch.hotplug());
    ASSERT_TRUE(watch.next(std::chrono::milliseconds(0)).empty());
    rom_ = std::make_unique<sim::Bootloader>(presets::presetFor(49), clock_);
    // Waits (bounded) for the next change of the given kind.
    const auto nextChange = [&](lu::PlaceChange::Kind kind) -> std::optional<lu::FoundDevice> {
        for (int look = 0; look < 200; ++look) {
            for (const lu::PlaceChange& change : watch.next(std::chrono::milliseconds(50))) {
                if (change.kind == kind) return change.device;
            }
        }
        return std::nullopt;
    };
    for (unsigned plug = 0; plug < kPlugs; ++plug) {
        SCOPED_TRACE("plug " + std::to_string(plug));
        const unsigned address = 5 + plug;
        std::jthread plugging([&] {
            server_ = std::make_unique<host::umockdev::UsbdevfsServer>(*testbed_, *rom_,
                                                                       host::umockdev::UsbPlace{3, {1}, address});
        });
        const std::optional<lu::FoundDevice> arrived = nextChange(lu::PlaceChange::Kind::Arrived);
        ASSERT_TRUE(arrived.has_value());
        EXPECT_EQ(arrived->address, address);
        lu::LibusbDeviceEnd end(context, *arrived, clock_);
        std::vector<std::uint8_t> descriptor(18);
        const host::TransferResult result = end.controlTransfer({0x80, 0x06, 0x0100, 0, 18}, descriptor, 1000);
        EXPECT_EQ(result.status, TransferStatus::Completed);
        EXPECT_EQ(result.actualLength, 18u);
        plugging.join();
        server_.reset();
        ASSERT_TRUE(nextChange(lu::PlaceChange::Kind::Left).has_value());
    }
}

TEST_F(ServedBootloader, DfuhostListsTheRealBus) {
    serve();
    const ostdfu_e2e::ProcessResult listed = ostdfu_e2e::runDfuhost({"--usb", "list", "--json"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    const nlohmann::json list = listed.json();
    ASSERT_EQ(list.size(), 1u) << listed.out;
    EXPECT_EQ(list[0]["name"], "3-1");
    EXPECT_EQ(list[0]["location"], "3:1");
    EXPECT_EQ(list[0]["product_code"], 49) << list.dump();

    // What a technician reads off a real board: the bytes come from the device's memory.
    const ostdfu_e2e::ProcessResult read = ostdfu_e2e::runDfuhost({"--usb", "--json", "option-bytes", "read", "3-1"});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    const std::vector<std::uint8_t> stored = rom_->read(presets::kOptionBytesAddress, 16);
    std::string hex;
    for (std::uint8_t b : stored) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    EXPECT_EQ(read.json()["option_bytes"], hex);

    const ostdfu_e2e::ProcessResult info = ostdfu_e2e::runDfuhost({"--usb", "info", "1"});
    EXPECT_EQ(info.exitCode, 0) << info.err;
}

TEST_F(ServedBootloader, DfuhostWithoutABootloaderSaysSoAndExits2) {
    const ostdfu_e2e::ProcessResult listed = ostdfu_e2e::runDfuhost({"--usb", "list"});
    EXPECT_EQ(listed.exitCode, 2);
    EXPECT_NE(listed.err.find("no STM32 bootloader (USB 0483:DF11) found"), std::string::npos) << listed.err;
}

}  // namespace
