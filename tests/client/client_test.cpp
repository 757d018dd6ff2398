// The updater's library against a recording driver of the test's own: each typed call sends its
// code with the input bytes and output length the control interface defines, and decodes what
// comes back.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "client/updater.h"
#include "tests/support/io_test_driver.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using ostdfu_test::IoTestMachine;

// What the driver received, and what it answers per code.
struct Recorder {
    std::mutex mutex;
    ULONG code = 0;
    Bytes input;
    SIZE_T outputLength = 0;
    Bytes directData;  // in-direct: what the MDL described
    std::map<ULONG, Bytes> replies;
    NTSTATUS status = STATUS_SUCCESS;

    void install(IoTestMachine& m) {
        m.onDefaultQueue = [this](WDFQUEUE, WDFREQUEST request, SIZE_T outputLength, SIZE_T,
                                  ULONG ioctl) {
            std::lock_guard lock(mutex);
            code = ioctl;
            this->outputLength = outputLength;
            input.clear();
            directData.clear();
            PVOID in = nullptr;
            SIZE_T inLength = 0;
            if (NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, 0, &in, &inLength))) {
                input.assign(static_cast<std::uint8_t*>(in), static_cast<std::uint8_t*>(in) + inLength);
            }
            PVOID out = nullptr;
            SIZE_T outLength = 0;
            ULONG_PTR information = 0;
            if (NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, 0, &out, &outLength))) {
                auto* bytes = static_cast<std::uint8_t*>(out);
                if (IoctlMethod(ioctl) == METHOD_IN_DIRECT) {
                    directData.assign(bytes, bytes + outLength);
                } else {
                    const Bytes& reply = replies[ioctl];
                    information = std::min(reply.size(), outLength);
                    std::copy_n(reply.begin(), information, bytes);
                }
            }
            WdfRequestCompleteWithInformation(request, status, information);
        };
    }
};

ostdfu_test::TestDriverOptions driverInterface() {
    ostdfu_test::TestDriverOptions options;
    options.interfaces = {GUID_DEVINTERFACE_OSTDFU_DRIVER};
    return options;
}

Bytes zeros(std::size_t n) { return Bytes(n, 0); }
Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// class request, recipient interface, bRequest 3, wValue 0x0200, wIndex 0, 500 ms
ControlRequestRecord controlRecord() {
    ControlRequestRecord record{};
    record.IsClassRequest = 1;
    record.Recipient = 1;
    record.Request = 3;
    record.Value = 0x0200;
    record.TimeoutMs = 500;
    return record;
}
const Bytes kControlRecordBytes = {0x01, 0, 0, 0,  0, 0, 0, 0,  0x01, 0, 0, 0,
                                   0x03, 0, 0, 0,  0x00, 0x02, 0x00, 0x00,  0xF4, 0x01, 0, 0};

Bytes parameterQueryBytes() {  // "Foo", kind 1
    Bytes bytes = concat({'F', 0, 'o', 0, 'o', 0}, zeros(250));
    return concat(bytes, {0x01, 0, 0, 0});
}

struct CallCase {
    const char* name;
    std::function<void(const client::Handle&)> call;
    ULONG code;
    Bytes input;
    std::size_t outputLength;
    Bytes directData{};
};

TEST(UpdaterClient, EveryTypedCallSendsItsCodeInputAndOutputLength) {
    using namespace client;
    const CallCase cases[] = {
        {"GetInterfaceVersion", [](const Handle& h) { GetInterfaceVersion(h); }, IOCTL_DFU_GET_INTERFACE_VERSION, {}, 24},
        {"ControlRequestOut", [](const Handle& h) { ControlRequestOut(h, controlRecord(), Bytes{9, 8, 7}); },
         IOCTL_DFU_CONTROL_REQUEST_OUT, kControlRecordBytes, 3, {9, 8, 7}},
        {"ControlRequestIn", [](const Handle& h) { ControlRequestIn(h, controlRecord(), 64); },
         IOCTL_DFU_CONTROL_REQUEST_IN, kControlRecordBytes, 64},
        {"GetUsbDescriptor", [](const Handle& h) { GetUsbDescriptor(h, 110, 3, 64); }, IOCTL_DFU_GET_USB_DESCRIPTOR,
         {110, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0}, 64},
        {"BeginDfu", [](const Handle& h) { BeginDfu(h, 2); }, IOCTL_DFU_BEGIN_DFU, {2, 0, 0, 0}, 0},
        {"GetDeviceHandleInfo", [](const Handle& h) { GetDeviceHandleInfo(h); }, IOCTL_DFU_GET_DEVICE_HANDLE_INFO, {}, 16},
        {"GetIdentity", [](const Handle& h) { GetIdentity(h); }, IOCTL_DFU_GET_IDENTITY, {}, 1040},
        {"GetInstanceStringSize", [](const Handle& h) { GetInstanceStringSize(h); }, IOCTL_DFU_GET_INSTANCE_STRING_SIZE, {}, 4},
        {"GetInstanceString", [](const Handle& h) { GetInstanceString(h, 20); }, IOCTL_DFU_GET_INSTANCE_STRING, {}, 20},
        {"GetDeviceCaps", [](const Handle& h) { GetDeviceCaps(h); }, IOCTL_DFU_GET_DEVICE_CAPS, {}, 3592},
        {"GetSegmentStrings", [](const Handle& h) { GetSegmentStrings(h); }, IOCTL_DFU_GET_SEGMENT_STRINGS, {}, 1024},
        {"ReadParameter", [](const Handle& h) { ReadParameter(h, u"Foo"); }, IOCTL_DFU_READ_PARAMETER,
         parameterQueryBytes(), 4},
        {"CyclePort", [](const Handle& h) { CyclePort(h); }, IOCTL_DFU_CYCLE_PORT, {}, 0},
        {"ResetPort", [](const Handle& h) { ResetPort(h); }, IOCTL_DFU_RESET_PORT, {}, 0},
        {"Detach", [](const Handle& h) { Detach(h, 1000); }, IOCTL_DFU_DETACH, {0xE8, 0x03, 0, 0}, 0},
        {"Detach without time-out", [](const Handle& h) { Detach(h); }, IOCTL_DFU_DETACH, {}, 0},
        {"Leave", [](const Handle& h) { Leave(h); }, IOCTL_DFU_LEAVE, {}, 0},
        {"EraseEepromSection", [](const Handle& h) { EraseEepromSection(h, -1); }, IOCTL_DFU_ERASE_EEPROM_SECTION,
         {0xFF, 0xFF, 0xFF, 0xFF}, 0},
        {"SetIdle", [](const Handle& h) { SetIdle(h); }, IOCTL_DFU_SET_IDLE, {}, 0},
        {"GetBusyWaitLimit", [](const Handle& h) { GetBusyWaitLimit(h); }, IOCTL_DFU_GET_BUSY_WAIT_LIMIT, {}, 4},
        {"PollDevice", [](const Handle& h) { PollDevice(h, 5, 7); }, IOCTL_DFU_POLL_DEVICE,
         {5, 0, 0, 0, 7, 0, 0, 0}, 0},
        {"PollDevice without delay", [](const Handle& h) { PollDevice(h, 5); }, IOCTL_DFU_POLL_DEVICE,
         {5, 0, 0, 0}, 0},
        {"SetFirmwareVersion", [](const Handle& h) { SetFirmwareVersion(h, 0x00020001); },
         IOCTL_DFU_SET_FIRMWARE_VERSION, {1, 0, 2, 0}, 0},
        {"GetReadProtectState", [](const Handle& h) { GetReadProtectState(h); }, IOCTL_DFU_GET_READ_PROTECT_STATE, {}, 4},
        {"ReadUnprotect", [](const Handle& h) { ReadUnprotect(h); }, IOCTL_DFU_READ_UNPROTECT, {}, 0},
        {"ReadOptionBytes", [](const Handle& h) { ReadOptionBytes(h, 16); }, IOCTL_DFU_READ_OPTION_BYTES, {}, 16},
        {"WriteOptionBytes", [](const Handle& h) { WriteOptionBytes(h, Bytes{0xAA, 0x55, 0x01}); },
         IOCTL_DFU_WRITE_OPTION_BYTES, {0xAA, 0x55, 0x01}, 0},
        {"GetOptionByteWritesAllowed", [](const Handle& h) { GetOptionByteWritesAllowed(h); },
         IOCTL_DFU_GET_OPTION_BYTE_WRITES_ALLOWED, {}, 4},
        {"SetOptionByteWritesAllowed", [](const Handle& h) { SetOptionByteWritesAllowed(h, 7); },
         IOCTL_DFU_SET_OPTION_BYTE_WRITES_ALLOWED, {7, 0, 0, 0}, 0},
        {"GetManufacturerSerial", [](const Handle& h) { GetManufacturerSerial(h); }, IOCTL_DFU_GET_MANUFACTURER_SERIAL, {}, 144},
        {"GetAppIdRecord", [](const Handle& h) { GetAppIdRecord(h); }, IOCTL_DFU_GET_APP_ID_RECORD, {}, 40},
        {"MassErase", [](const Handle& h) { MassErase(h); }, IOCTL_DFU_MASS_ERASE, {}, 0},
        {"SequentialPing", [](const Handle& h) { SequentialPing(h); }, IOCTL_DFU_SEQUENTIAL_PING, {}, 0},
    };
    IoTestMachine m(driverInterface());
    Recorder recorder;
    recorder.install(m);
    m.offer();
    OpenResult opened = open();
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    std::set<ULONG> covered;
    for (const CallCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.call(opened.handle);
        std::lock_guard lock(recorder.mutex);
        EXPECT_EQ(recorder.code, c.code);
        EXPECT_EQ(recorder.input, c.input);
        EXPECT_EQ(recorder.outputLength, c.outputLength);
        EXPECT_EQ(recorder.directData, c.directData);
        covered.insert(c.code);
    }
    EXPECT_EQ(covered.size(), std::size(IOCTL_NAMES));  // one call for every code
}

TEST(UpdaterClient, RepliesAreDecodedFromTheBytesThatCameBack) {
    IoTestMachine m(driverInterface());
    Recorder recorder;
    recorder.install(m);
    Bytes caps = zeros(3592);
    caps[0] = 2;
    caps[3158] = 0x83;
    caps[3159] = 0x04;
    recorder.replies[IOCTL_DFU_GET_DEVICE_CAPS] = caps;
    Bytes identity = zeros(1040);
    identity[0] = 0x34;
    identity[1] = 0x12;
    identity[12] = 'A';
    identity[14] = 'B';
    recorder.replies[IOCTL_DFU_GET_IDENTITY] = identity;
    Bytes segments = zeros(1024);
    const std::string first = "@Flash", fourth = "@Feature";
    for (std::size_t i = 0; i < first.size(); ++i) segments[2 * i] = static_cast<std::uint8_t>(first[i]);
    for (std::size_t i = 0; i < fourth.size(); ++i) segments[768 + 2 * i] = static_cast<std::uint8_t>(fourth[i]);
    segments[300] = 0x77;  // behind the empty second slot's terminator: not text
    recorder.replies[IOCTL_DFU_GET_SEGMENT_STRINGS] = segments;
    recorder.replies[IOCTL_DFU_GET_INSTANCE_STRING] = {'U', 0, 'S', 0, 'B', 0, 0, 0, 'Z', 0};
    recorder.replies[IOCTL_DFU_GET_BUSY_WAIT_LIMIT] = {75, 0, 0, 0};
    recorder.replies[IOCTL_DFU_GET_INTERFACE_VERSION] = {5, 0};  // short: the rest stays zero
    m.offer();
    client::OpenResult opened = client::open();
    ASSERT_EQ(opened.status, STATUS_SUCCESS);

    const auto capsReply = client::GetDeviceCaps(opened.handle);
    EXPECT_EQ(capsReply.information, 3592u);
    EXPECT_EQ(capsReply.record.CapsVersion, 2u);
    EXPECT_EQ(capsReply.record.idVendor, 0x0483);
    const auto identityReply = client::GetIdentity(opened.handle);
    EXPECT_EQ(identityReply.record.AppVid, 0x1234u);
    EXPECT_EQ(std::u16string(identityReply.record.SerialNumberString), u"AB");
    const auto strings = client::GetSegmentStrings(opened.handle);
    EXPECT_EQ(strings.record, (std::array<std::u16string, 4>{u"@Flash", u"", u"", u"@Feature"}));
    const auto instance = client::GetInstanceString(opened.handle, 10);
    EXPECT_EQ(instance.record, u"USB");
    EXPECT_EQ(client::GetBusyWaitLimit(opened.handle).record, 75u);
    const auto version = client::GetInterfaceVersion(opened.handle);
    EXPECT_EQ(version.information, 2u);
    EXPECT_EQ(version.record.Major, 5u);
    EXPECT_EQ(version.record.Revision, 0u);

    recorder.code = 0;
    const auto tooLong = client::ReadParameter(opened.handle, std::u16string(128, u'x'));
    EXPECT_EQ(tooLong.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(recorder.code, 0u);  // refused before anything was sent

    recorder.status = STATUS_INVALID_DEVICE_STATE;  // a failure carries no reply
    const auto failed = client::GetDeviceCaps(opened.handle);
    EXPECT_EQ(failed.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(failed.record.CapsVersion, 0u);
}

TEST(UpdaterClient, InterfacesAndHandles) {
    IoTestMachine m(driverInterface());
    EXPECT_TRUE(client::listInterfaces().empty());
    EXPECT_EQ(client::open().status, STATUS_NO_MORE_ENTRIES);
    m.offer(u"SERIAL1");
    m.offer(u"SERIAL2");
    const std::vector<client::InterfaceEntry> entries = client::listInterfaces();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].deviceInstanceId, u"USB\\VID_0483&PID_DF11\\SERIAL2");
    {
        client::OpenResult second = client::openLink(entries[1].symbolicLink);
        ASSERT_EQ(second.status, STATUS_SUCCESS);
        client::Handle moved = std::move(second.handle);
        EXPECT_FALSE(second.handle.valid());
        EXPECT_TRUE(moved.valid());
    }  // closed by its owner going
    EXPECT_EQ(m.events(), (std::vector<std::string>{"create", "cleanup", "close"}));
    client::OpenResult first = client::open(GUID_DEVINTERFACE_OSTDFU_DRIVER, 0);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(first.handle.close(), STATUS_SUCCESS);
    EXPECT_EQ(first.handle.close(), STATUS_INVALID_HANDLE);
    EXPECT_EQ(client::SequentialPing(first.handle).status, STATUS_INVALID_HANDLE);
}

}  // namespace
