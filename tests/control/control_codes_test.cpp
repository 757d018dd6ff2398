// The control interface as the updater drives it: every code through the client library
// against a device that arrived on the machine, its success row and its failure rows.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "client/updater.h"
#include "driver/callbacks.h"
#include "presets/presets.h"
#include "tests/support/arrival_harness.h"

namespace ostdfu_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A product-41 device (EEPROM section, version block, callback object) with an open handle.
struct OpenDevice {
    ArrivalHarness h;
    Arrived device;
    client::Handle handle;

    explicit OpenDevice(const sim::BootloaderConfig& config = presets::presetFor(41)) {
        device = h.plug(config);
        auto opened = client::open();
        EXPECT_EQ(opened.status, STATUS_SUCCESS);
        handle = std::move(opened.handle);
    }
    FDO_DATA* fdo() const { return device.context(); }
    std::size_t transfers() const { return device.rom->transfers().size(); }
};

TEST(ControlCodes, IdentityRepliesDescribeTheArrivedDevice) {
    OpenDevice d;
    const auto version = client::GetInterfaceVersion(d.handle);
    EXPECT_EQ(version.status, STATUS_SUCCESS);
    EXPECT_EQ(version.information, 24u);
    EXPECT_EQ(version.record.Major, 5u);
    EXPECT_EQ(version.record.Minor, 9u);
    EXPECT_EQ(version.record.Revision, 1u);

    const auto info = client::GetDeviceHandleInfo(d.handle);
    EXPECT_EQ(info.information, 16u);
    EXPECT_EQ(info.record.InterfaceNumber, 0);
    EXPECT_EQ(info.record.One, 1u);
    EXPECT_NE(info.record.DeviceInstance, 0u);

    const auto identity = client::GetIdentity(d.handle);
    EXPECT_EQ(identity.information, 1040u);
    EXPECT_EQ(identity.record.AppVid, 0x3A7Cu);
    EXPECT_EQ(identity.record.AppPid, 0x5029u);
    EXPECT_EQ(std::u16string(identity.record.SerialNumberString), u"315A28A0B956");
    EXPECT_EQ(std::u16string(identity.record.ProductString), u"Kalvora Strada Wheel Base");
    EXPECT_EQ(std::u16string(identity.record.ManufacturerString), u"Kalvora");
    EXPECT_EQ(identity.record.Flags, 0x10u) << "full speed, no qualifier, bit 4 always";
    EXPECT_EQ(identity.record.One, 1u);

    const auto caps = client::GetDeviceCaps(d.handle);
    EXPECT_EQ(caps.information, 3592u);
    EXPECT_EQ(std::memcmp(&caps.record, &d.fdo()->DeviceCaps2, sizeof(DEVICE_CAPS2)), 0);

    const auto segments = client::GetSegmentStrings(d.handle);
    EXPECT_EQ(segments.information, 1024u);
    EXPECT_EQ(segments.record[1], u"@OTP Memory /0x1FFF7800/01*512 e,01*016 e");
    EXPECT_EQ(segments.record[2], u"@Option Bytes  /0x1FFFF800/01*016 e");

    const auto serial = client::GetManufacturerSerial(d.handle);
    EXPECT_EQ(serial.information, 144u);
    EXPECT_EQ(serial.record.Value, 0x8877665544332211ull);
    EXPECT_EQ(serial.record.FromRecord, 1u);

    const auto record = client::GetAppIdRecord(d.handle);
    EXPECT_EQ(record.information, 40u);
    EXPECT_EQ(record.record[0], 0x29);
    EXPECT_EQ(record.record[1], 0x50);

    EXPECT_EQ(client::GetBusyWaitLimit(d.handle).record, 75u);
    EXPECT_EQ(client::GetReadProtectState(d.handle).record, 0u);
    EXPECT_EQ(client::SequentialPing(d.handle).status, STATUS_SUCCESS);
}

// Every byte a query reports is one the driver wrote: sent once over a system buffer that
// holds 0xA5 behind the input and once over 0x5A, the replies must be the same.
TEST(ControlCodes, QueriesReportOnlyBytesTheyWrote) {
    const ULONG codes[] = {IOCTL_DFU_GET_INTERFACE_VERSION, IOCTL_DFU_GET_DEVICE_HANDLE_INFO,
                           IOCTL_DFU_GET_IDENTITY,          IOCTL_DFU_GET_DEVICE_CAPS,
                           IOCTL_DFU_GET_SEGMENT_STRINGS,   IOCTL_DFU_GET_MANUFACTURER_SERIAL,
                           IOCTL_DFU_GET_APP_ID_RECORD,     IOCTL_DFU_GET_INSTANCE_STRING};
    OpenDevice d;
    for (const ULONG code : codes) {
        SCOPED_TRACE(testing::Message() << "code 0x" << std::hex << code);
        std::vector<client::BytesReply> replies;
        for (const std::uint8_t fill : {0xA5, 0x5A}) {
            d.h.machine().io().setSystemBufferFill(fill);
            replies.push_back(client::Ioctl(d.handle, code, {}, 4096));
        }
        EXPECT_EQ(replies[0].status, STATUS_SUCCESS);
        EXPECT_NE(replies[0].information, 0u);
        EXPECT_EQ(replies[0].bytes, replies[1].bytes);
    }
}

TEST(ControlCodes, InstanceStringNeedsTheWholeSizeItReported) {
    OpenDevice d;
    const auto size = client::GetInstanceStringSize(d.handle);
    ASSERT_EQ(size.status, STATUS_SUCCESS);
    EXPECT_EQ(size.record, 12u * 2 + 8) << "characters x 2 + 8";
    const auto exact = client::GetInstanceString(d.handle, size.record);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.information, 26u) << "up to and including the terminator";
    EXPECT_EQ(exact.record, u"315a28a0b956");
    const auto shorter = client::GetInstanceString(d.handle, size.record - 1);
    EXPECT_EQ(shorter.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shorter.information, 0u);
}

TEST(ControlCodes, UnknownCodesGoToTheSequentialQueue) {
    OpenDevice d;
    const auto reply = client::Ioctl(d.handle, 0x80882FFC, {}, 0);
    EXPECT_EQ(reply.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(reply.information, 0u);
}

TEST(ControlCodes, ShortBuffersAreRefusedBeforeAnythingHappens) {
    OpenDevice d;
    struct Case {
        ULONG code;
        std::size_t in;
        std::size_t out;
    };
    for (const Case& c : {Case{IOCTL_DFU_GET_DEVICE_CAPS, 0, 3591},
                          Case{IOCTL_DFU_GET_IDENTITY, 0, 1039},
                          Case{IOCTL_DFU_READ_PARAMETER, 259, 4},
                          Case{IOCTL_DFU_BEGIN_DFU, 3, 0},
                          Case{IOCTL_DFU_SET_FIRMWARE_VERSION, 3, 0},
                          Case{IOCTL_DFU_GET_MANUFACTURER_SERIAL, 0, 143}}) {
        SCOPED_TRACE(c.code);
        const std::size_t before = d.transfers();
        const auto reply = client::Ioctl(d.handle, c.code, Bytes(c.in, 0), c.out);
        EXPECT_EQ(reply.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(reply.information, 0u);
        EXPECT_EQ(d.transfers(), before);
    }
}

TEST(ControlCodes, PreconditionsRefuseWithTheirStatus) {
    OpenDevice d;
    FDO_DATA* fdo = d.fdo();
    fdo->IsStmDfuDevice = 0;
    EXPECT_EQ(client::GetDeviceCaps(d.handle).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(client::GetIdentity(d.handle).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(client::GetInterfaceVersion(d.handle).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(client::GetDeviceHandleInfo(d.handle).status, STATUS_INVALID_DEVICE_REQUEST);
    fdo->IsStmDfuDevice = 1;
    InterlockedExchange(&fdo->DeviceCaps2Valid, 0);
    EXPECT_EQ(client::GetDeviceCaps(d.handle).status, STATUS_INVALID_DEVICE_STATE);
    InterlockedExchange(&fdo->DeviceCaps2Valid, 1);
    EXPECT_EQ(client::ReadUnprotect(d.handle).status, STATUS_INVALID_DEVICE_REQUEST)
        << "the device is not read-protected";
}

TEST(ControlCodes, ProductsWithoutAVersionOrRecordRefuseThoseCodes) {
    OpenDevice blank(presets::blankBootloader());
    EXPECT_EQ(client::SetFirmwareVersion(blank.handle, 1).status, STATUS_INVALID_DEVICE_REQUEST);
    const auto cache = client::GetManufacturerSerial(blank.handle);
    EXPECT_EQ(cache.status, STATUS_SUCCESS) << "the initial block is returned as it is";
    EXPECT_EQ(cache.record.Marker, 0x53454546u);
    EXPECT_EQ(cache.record.Value, 0u);
    EXPECT_EQ(cache.record.Length, 0u);
}

TEST(ControlCodes, VersionOverrideWritesAsManyWordsAsTheProductKeeps) {
    struct Case {
        ULONG words;
        ULONG low;
        ULONG high;
    };
    for (const Case& c : {Case{0, 0x1111, 0x2222}, Case{1, 0x0001, 0x2222}, Case{2, 0x0001, 0x0002}}) {
        OpenDevice d;
        DEVICE_CAPS2& caps = d.fdo()->DeviceCaps2;
        caps.VersionWordCount = c.words;
        caps.VersionLow = 0x1111;
        caps.VersionHigh = 0x2222;
        EXPECT_EQ(client::SetFirmwareVersion(d.handle, 0x00020001).status, STATUS_SUCCESS);
        const auto after = client::GetDeviceCaps(d.handle).record;
        EXPECT_EQ(after.FirmwareVersion, 0x00020001u);
        EXPECT_EQ(after.VersionLow, c.low);
        EXPECT_EQ(after.VersionHigh, c.high);
    }
}

TEST(ControlCodes, CapabilitiesReplyCarriesEveryByteOfTheRecord) {
    OpenDevice d;
    // No byte zero, so a word left out (the last one above all) shows against the zeroed buffer.
    auto* bytes = reinterpret_cast<std::uint8_t*>(&d.fdo()->DeviceCaps2);
    for (std::size_t i = 0; i < sizeof(DEVICE_CAPS2); ++i) {
        bytes[i] = static_cast<std::uint8_t>(1 + i % 251);
    }
    const auto caps = client::GetDeviceCaps(d.handle);
    EXPECT_EQ(caps.information, sizeof(DEVICE_CAPS2));
    EXPECT_EQ(std::memcmp(&caps.record, bytes, sizeof(DEVICE_CAPS2)), 0);
}

TEST(ControlCodes, ParameterQueryReadsTheNameBeforeTheReplyOverwritesIt) {
    OpenDevice d;
    d.h.driver().setParameters({{u"NumDfuBootIterBusyWaits", RegValue::dword(0x12345678)}});
    const auto value = client::ReadParameter(d.handle, u"NumDfuBootIterBusyWaits");
    EXPECT_EQ(value.status, STATUS_SUCCESS);
    EXPECT_EQ(value.information, 4u);
    EXPECT_EQ(value.record, 0x12345678u);

    const auto opens = d.h.machine().faults().callsSeen(host::FaultSite::RegistryOpen);
    const auto wrongKind = client::ReadParameter(d.handle, u"NumDfuBootIterBusyWaits", 4);
    EXPECT_EQ(wrongKind.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(d.h.machine().faults().callsSeen(host::FaultSite::RegistryOpen), opens)
        << "the registry is not opened for another kind";
}

TEST(ControlCodes, DescriptorRepliesShareTheRequestsBuffer) {
    OpenDevice d;
    const auto device = client::GetUsbDescriptor(d.handle, DESCRIPTOR_SELECTOR_DEVICE, 0, 18);
    EXPECT_EQ(device.status, STATUS_SUCCESS);
    EXPECT_EQ(device.information, 18u);
    ASSERT_GE(device.bytes.size(), 18u);
    EXPECT_EQ(device.bytes[0], 18);
    EXPECT_EQ(device.bytes[1], USB_DEVICE_DESCRIPTOR_TYPE);

    const auto config = client::GetUsbDescriptor(d.handle, DESCRIPTOR_SELECTOR_CONFIGURATION, 0,
                                                 d.fdo()->ConfigurationDescriptor->wTotalLength - 1);
    EXPECT_EQ(config.status, STATUS_INVALID_DEVICE_STATE) << "too small is a device state";

    const auto text = client::GetUsbDescriptor(d.handle, DESCRIPTOR_SELECTOR_STRING, 2, 512);
    EXPECT_EQ(text.status, STATUS_SUCCESS);
    EXPECT_EQ(text.information, 512u);
    EXPECT_EQ(client::GetUsbDescriptor(d.handle, DESCRIPTOR_SELECTOR_STRING, 0, 64).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(client::GetUsbDescriptor(d.handle, 7, 0, 64).status, STATUS_INVALID_PARAMETER);
}

TEST(ControlCodes, OptionBytesNeedALengthFromOneToSixteen) {
    OpenDevice d;
    for (std::size_t length : {std::size_t{0}, std::size_t{17}}) {
        const std::size_t before = d.transfers();
        EXPECT_EQ(client::ReadOptionBytes(d.handle, length).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(client::WriteOptionBytes(d.handle, Bytes(length, 0xAA)).status,
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(d.transfers(), before);
    }
    const auto read = client::ReadOptionBytes(d.handle, 16);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, 16u);
    EXPECT_EQ(read.bytes, Bytes(d.fdo()->OptionBytes, d.fdo()->OptionBytes + 16));

    const std::size_t before = d.transfers();
    EXPECT_EQ(client::WriteOptionBytes(d.handle, Bytes(16, 0xAA)).status,
              STATUS_INVALID_DEVICE_REQUEST) << "writes are not allowed by default";
    EXPECT_EQ(d.transfers(), before);
    EXPECT_EQ(client::SetOptionByteWritesAllowed(d.handle, 7).status, STATUS_SUCCESS);
    EXPECT_EQ(client::GetOptionByteWritesAllowed(d.handle).record, 7u);
}

TEST(ControlCodes, PollingEndsWithoutTrafficOrWhenTheDeviceGoes) {
    OpenDevice d;
    std::size_t before = d.transfers();
    EXPECT_EQ(client::PollDevice(d.handle, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(d.transfers(), before);

    d.h.machine().waits().clear();
    EXPECT_EQ(client::PollDevice(d.handle, 3).status, STATUS_SUCCESS);
    EXPECT_EQ(d.h.machine().waits().delaysMs(), (std::vector<std::uint64_t>{2, 2, 2}));

    // A surprise removal clears DeviceActive while the loop runs: it stops at its next check.
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread poller([&] {
        status = client::PollDevice(d.handle, POLL_MAX_ITERATIONS, 6).status;
        done = true;
    });
    while (d.transfers() < before + 20) std::this_thread::yield();
    OstDFUDeviceIoSurpriseRemoval(d.device.device());
    poller.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_LT(d.transfers(), before + 2 * POLL_MAX_ITERATIONS);
}

TEST(ControlCodes, OperationsThatAlwaysSucceedHideTheirFailures) {
    sim::BootloaderConfig config = presets::presetFor(41);
    OpenDevice d(config);
    d.device.rom->addFault({sim::FaultRequest::Any, 1, 0, sim::FaultAction::Stall, {}});
    EXPECT_EQ(client::Detach(d.handle).status, STATUS_SUCCESS);
    EXPECT_EQ(client::Leave(d.handle).status, STATUS_SUCCESS);
    EXPECT_EQ(client::EraseEepromSection(d.handle, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(client::CyclePort(d.handle).status, STATUS_SUCCESS);
    EXPECT_EQ(client::ResetPort(d.handle).status, STATUS_SUCCESS);
    EXPECT_EQ(client::SetIdle(d.handle).status, STATUS_UNSUCCESSFUL) << "set idle tells";
    EXPECT_EQ(client::MassErase(d.handle).status, STATUS_UNSUCCESSFUL);
}

TEST(ControlCodes, DetachCarriesTheTimeoutOrZero) {
    OpenDevice d;
    d.device.rom->clearTransfers();
    EXPECT_EQ(client::Detach(d.handle).status, STATUS_SUCCESS);
    EXPECT_EQ(client::Detach(d.handle, 1000).status, STATUS_SUCCESS);
    const auto transfers = d.device.rom->transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].wValue(), 0);
    EXPECT_EQ(transfers[1].wValue(), 1000);
}

TEST(ControlCodes, ReadUnprotectRemovesTheProtectionFoundAtArrival) {
    presets::PresetOptions options;
    options.readProtected = true;
    OpenDevice d(presets::presetFor(41, options));
    ASSERT_EQ(client::GetReadProtectState(d.handle).record, 1u);
    EXPECT_EQ(client::ReadUnprotect(d.handle).status, STATUS_SUCCESS);
    EXPECT_FALSE(d.device.rom->readProtected());
}

TEST(ControlCodes, MissingRecordsAndStringsAreRefusedWithTheirStatus) {
    {
        OpenDevice d(presets::presetFor(35));  // identified by its option bytes: no record read
        EXPECT_EQ(client::GetAppIdRecord(d.handle).status, STATUS_INVALID_DEVICE_REQUEST);
    }
    OpenDevice d;
    FDO_DATA* fdo = d.fdo();
    fdo->DeviceCaps2.SegmentStringsValid = 0;
    EXPECT_EQ(client::GetSegmentStrings(d.handle).status, STATUS_INVALID_DEVICE_REQUEST);
    const auto dfuInterface = fdo->DfuInterfaceDescriptor;
    fdo->DfuInterfaceDescriptor = nullptr;
    EXPECT_EQ(client::GetDeviceHandleInfo(d.handle).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(client::BeginDfu(d.handle, 0).status, STATUS_INVALID_DEVICE_STATE);
    fdo->DfuInterfaceDescriptor = dfuInterface;
    const SIZE_T size = fdo->InstanceStringSize;
    fdo->InstanceStringSize = 0;
    EXPECT_EQ(client::GetInstanceStringSize(d.handle).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(client::GetInstanceString(d.handle, 64).status, STATUS_INVALID_DEVICE_STATE);
    fdo->InstanceStringSize = size;
}

TEST(ControlCodes, PassThroughCarriesAnyClassOrVendorRequest) {
    OpenDevice d;
    ControlRequestRecord getStatus{};
    getStatus.IsClassRequest = 1;
    getStatus.Recipient = 1;  // interface
    getStatus.Request = 3;    // DFU GETSTATUS
    const auto status = client::ControlRequestIn(d.handle, getStatus, 64);
    EXPECT_EQ(status.status, STATUS_SUCCESS);
    EXPECT_EQ(status.information, 6u) << "a short answer reports what came";
    ASSERT_GE(status.bytes.size(), 6u);
    EXPECT_EQ(status.bytes[4], 2) << "dfuIDLE";
    const auto last = d.device.rom->transfers().back();
    EXPECT_EQ(last.bmRequestType(), 0xA1);
    EXPECT_EQ(last.wLength(), 64);

    ControlRequestRecord vendor{};
    vendor.Recipient = 3;  // other
    vendor.Request = 0x51;
    vendor.TimeoutMs = 0;
    EXPECT_EQ(client::ControlRequestOut(d.handle, vendor, {}).status, STATUS_UNSUCCESSFUL)
        << "the bootloader stalls a vendor request";
    EXPECT_EQ(d.device.rom->transfers().back().bmRequestType(), 0x43);

    ControlRequestRecord badRecipient{};
    badRecipient.Recipient = 4;
    const std::size_t before = d.transfers();
    EXPECT_EQ(client::ControlRequestIn(d.handle, badRecipient, 8).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(d.transfers(), before);
}

// A device that never answers holds a pass-through request as long as the caller asked, and no
// longer than 5 s: without the ceiling, a record asking 0xFFFFFFFF ms would hold the request,
// and a removal queued behind it, for 49 days.
TEST(ControlCodes, PassThroughWaitsForASilentDeviceAtMostFiveSeconds) {
    const struct {
        ULONG asked;
        std::uint64_t waitedMs;
    } rows[] = {{1, 1}, {4999, 4999}, {5000, 5000}, {5001, 5000}, {0xFFFFFFFF, 5000}, {0, 5000}};
    OpenDevice d;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.asked);
        d.device.rom->clearFaults();
        d.device.rom->addFault({sim::FaultRequest::GetStatus, 1, 1, sim::FaultAction::Timeout, {}});
        ControlRequestRecord getStatus{};
        getStatus.IsClassRequest = 1;
        getStatus.Recipient = 1;
        getStatus.Request = 3;
        getStatus.TimeoutMs = row.asked;
        const std::uint64_t start = d.h.machine().clock().nowMicros();
        EXPECT_EQ(client::ControlRequestIn(d.handle, getStatus, 6).status, STATUS_IO_TIMEOUT);
        EXPECT_EQ(d.h.machine().clock().nowMicros() - start, row.waitedMs * 1000);
    }
}

// The identity reply's flags: bit 0 the device answered the device-qualifier request (asked
// of USB 2.00 devices only), bit 1 it runs at high speed, bit 4 always.
TEST(ControlCodes, IdentityFlagsSayHowTheDeviceRuns) {
    const struct {
        USHORT bcdUSB;
        host::UsbSpeed speed;
        bool qualifier;
        ULONG flags;
    } rows[] = {
        {0x0100, host::UsbSpeed::Full, false, 0x10},
        {0x0110, host::UsbSpeed::Full, true, 0x10},
        {0x0200, host::UsbSpeed::Full, true, 0x11},
        {0x0200, host::UsbSpeed::High, false, 0x12},
        {0x0200, host::UsbSpeed::High, true, 0x13},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.bcdUSB << " " << row.flags);
        sim::BootloaderConfig config = presets::presetFor(41);
        config.bcdUSB = row.bcdUSB;
        config.speed = row.speed;
        config.answersDeviceQualifier = row.qualifier;
        OpenDevice d(config);
        const auto identity = client::GetIdentity(d.handle);
        ASSERT_EQ(identity.status, STATUS_SUCCESS);
        EXPECT_EQ(identity.record.Flags, row.flags);
    }
}

// ---- the DFU session and the handles ----------------------------------------------------------

TEST(Session, OneHandleOwnsItUntilItsCleanup) {
    OpenDevice d;
    auto second = client::open();
    ASSERT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(client::BeginDfu(d.handle, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(client::BeginDfu(d.handle, 1).status, STATUS_SUCCESS) << "the owner may begin again";
    EXPECT_EQ(client::BeginDfu(second.handle, 0).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(client::BeginDfu(d.handle, 9).status, STATUS_INVALID_PARAMETER)
        << "the framework refuses a setting the interface does not have";
    EXPECT_EQ(client::BeginDfu(second.handle, 0).status, STATUS_INVALID_DEVICE_STATE)
        << "and the owner stays";
    EXPECT_EQ(d.handle.close(), STATUS_SUCCESS);
    EXPECT_EQ(client::BeginDfu(second.handle, 0).status, STATUS_SUCCESS);
}

TEST(Session, TimerResolutionIsRequestedOnceForAllHandlesOfAllDevices) {
    ArrivalHarness h;
    presets::PresetOptions first;
    first.descriptorSerial = "000000000001";
    presets::PresetOptions second;
    second.descriptorSerial = "000000000002";
    h.plug(presets::presetFor(41, first), Port{0, {1}});
    h.plug(presets::presetFor(42, second), Port{0, {2}});
    host::TimerResolution& resolution = h.machine().timerResolution();
    {
        auto a = client::open(GUID_DEVINTERFACE_OSTDFU_DRIVER, 0);
        auto b = client::open(GUID_DEVINTERFACE_OSTDFU_DRIVER, 1);
        auto c = client::open(GUID_DEVINTERFACE_OSTDFU_DRIVER, 1);
        ASSERT_EQ(b.status, STATUS_SUCCESS);
        EXPECT_EQ(resolution.requests(), 1u);
        a.handle.close();
        EXPECT_EQ(resolution.releases(), 0u);
    }
    EXPECT_EQ(resolution.requests(), 1u);
    EXPECT_EQ(resolution.releases(), 1u);
}

}  // namespace
}  // namespace ostdfu_test
