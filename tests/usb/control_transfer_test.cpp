// The control gate and the hand-built IRPs: bytes on the wire, counts, statuses, and how the
// sender waits, times out and cancels.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/clock.h"
#include "host/io/irp.h"
#include "platform/kernel_helpers.h"
#include "tests/support/transport_harness.h"
#include "usb/configuration.h"
#include "usb/control_transfer.h"

namespace ostdfu_test {
namespace {

using host::io::ScriptedLowerDevice;
using Completion = ScriptedLowerDevice::Completion;

// Answers every class or vendor request: IN with `length` bytes 0xA5, OUT by taking all.
void answerEverything(ScriptedDeviceEnd& end, std::size_t length) {
    end.script([](const host::SetupPacket& s) { return (s.bmRequestType & 0x60) != 0; },
               ScriptedReply::answer(Bytes(length, 0xA5)), -1);
}

struct GateCase {
    const char* name;
    USHORT function;
    ULONG flags;
    UCHAR request;
    USHORT value;
    USHORT index;
    ULONG length;
    Bytes setup;
};
void PrintTo(const GateCase& c, std::ostream* os) { *os << c.name; }

class GateSetupPacket : public ::testing::TestWithParam<GateCase> {};

TEST_P(GateSetupPacket, ReachesTheDeviceAsTheExactSetupPacket) {
    const GateCase& c = GetParam();
    TransportHarness harness;
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    answerEverything(harness.end(), c.length);
    harness.end().clearTransfers();

    UCHAR buffer[64] = {};
    ULONG bytes = 0xDEAD;
    USBD_STATUS usbStatus = 0x1234;
    const NTSTATUS status =
        ControlVendorOrClassRequest(harness.device(), c.function, c.request, c.value, c.index,
                                    c.flags, buffer, nullptr, c.length, &bytes, 500, &usbStatus);

    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(usbStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(bytes, c.length);
    const auto transfers = harness.end().transfers();
    ASSERT_EQ(transfers.size(), 1u);
    const auto wire = transfers[0].setup.toBytes();
    EXPECT_EQ(Bytes(wire.begin(), wire.end()), c.setup);
    EXPECT_EQ(transfers[0].timeoutMs, 500u);
}

constexpr ULONG IN = USBD_TRANSFER_DIRECTION_IN;
constexpr ULONG IN_SHORT_OK = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

INSTANTIATE_TEST_SUITE_P(
    Functions, GateSetupPacket,
    ::testing::Values(GateCase{"DfuGetStatus",
                               URB_FUNCTION_CLASS_INTERFACE,
                               IN,
                               3,
                               0,
                               0,
                               6,
                               {0xA1, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00}},
                      GateCase{"DfuGetStatusInterface2",
                               URB_FUNCTION_CLASS_INTERFACE,
                               IN,
                               3,
                               0,
                               2,
                               6,
                               {0xA1, 0x03, 0x00, 0x00, 0x02, 0x00, 0x06, 0x00}},
                      GateCase{"DfuDnloadBlock2",
                               URB_FUNCTION_CLASS_INTERFACE,
                               0,
                               1,
                               2,
                               0,
                               16,
                               {0x21, 0x01, 0x02, 0x00, 0x00, 0x00, 0x10, 0x00}},
                      GateCase{"ClassDeviceOut",
                               URB_FUNCTION_CLASS_DEVICE,
                               0,
                               9,
                               0x1234,
                               0x5678,
                               0,
                               {0x20, 0x09, 0x34, 0x12, 0x78, 0x56, 0x00, 0x00}},
                      GateCase{"ClassDeviceIn",
                               URB_FUNCTION_CLASS_DEVICE,
                               IN,
                               9,
                               0,
                               0,
                               1,
                               {0xA0, 0x09, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}},
                      GateCase{"ClassEndpointOut",
                               URB_FUNCTION_CLASS_ENDPOINT,
                               0,
                               1,
                               0,
                               0x81,
                               0,
                               {0x22, 0x01, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00}},
                      GateCase{"ClassEndpointIn",
                               URB_FUNCTION_CLASS_ENDPOINT,
                               IN,
                               1,
                               0,
                               0x81,
                               2,
                               {0xA2, 0x01, 0x00, 0x00, 0x81, 0x00, 0x02, 0x00}},
                      GateCase{"ClassOtherOut",
                               URB_FUNCTION_CLASS_OTHER,
                               0,
                               3,
                               1,
                               2,
                               0,
                               {0x23, 0x03, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00}},
                      GateCase{"ClassOtherIn",
                               URB_FUNCTION_CLASS_OTHER,
                               IN_SHORT_OK,
                               3,
                               1,
                               2,
                               4,
                               {0xA3, 0x03, 0x01, 0x00, 0x02, 0x00, 0x04, 0x00}},
                      GateCase{"VendorDeviceOut",
                               URB_FUNCTION_VENDOR_DEVICE,
                               0,
                               0x51,
                               0xBEEF,
                               0,
                               8,
                               {0x40, 0x51, 0xEF, 0xBE, 0x00, 0x00, 0x08, 0x00}},
                      GateCase{"VendorDeviceIn",
                               URB_FUNCTION_VENDOR_DEVICE,
                               IN_SHORT_OK,
                               0x51,
                               0,
                               0,
                               8,
                               {0xC0, 0x51, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00}},
                      GateCase{"VendorInterfaceOut",
                               URB_FUNCTION_VENDOR_INTERFACE,
                               0,
                               1,
                               0,
                               0,
                               0,
                               {0x41, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
                      GateCase{"VendorInterfaceIn",
                               URB_FUNCTION_VENDOR_INTERFACE,
                               IN,
                               1,
                               0,
                               0,
                               3,
                               {0xC1, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00}},
                      GateCase{"VendorEndpointOut",
                               URB_FUNCTION_VENDOR_ENDPOINT,
                               0,
                               7,
                               0,
                               1,
                               0,
                               {0x42, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}},
                      GateCase{"VendorEndpointIn",
                               URB_FUNCTION_VENDOR_ENDPOINT,
                               IN,
                               7,
                               0,
                               1,
                               1,
                               {0xC2, 0x07, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00}},
                      GateCase{"VendorOtherOut",
                               URB_FUNCTION_VENDOR_OTHER,
                               0,
                               0x22,
                               3,
                               4,
                               0,
                               {0x43, 0x22, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00}},
                      GateCase{"VendorOtherIn",
                               URB_FUNCTION_VENDOR_OTHER,
                               IN_SHORT_OK,
                               0x22,
                               3,
                               4,
                               5,
                               {0xC3, 0x22, 0x03, 0x00, 0x04, 0x00, 0x05, 0x00}},
                      // GET_STATUS carries no request or value of its own: whatever the gate was
                      // given there lies in reserved bytes of that URB.
                      GateCase{"GetStatusFromDevice",
                               URB_FUNCTION_GET_STATUS_FROM_DEVICE,
                               IN,
                               5,
                               7,
                               0,
                               2,
                               {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}}),
    [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });

TEST(ControlGate, ShortInTransferReportsTheCountTheDeviceSent) {
    TransportHarness harness;
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    harness.end().script(requestMatcher(0xA1, 3), ScriptedReply::answer({0x00, 0x64, 0x00}));
    UCHAR reply[6] = {};
    ULONG bytes = 0;
    USBD_STATUS usbStatus = -1;
    EXPECT_EQ(
        ControlVendorOrClassRequest(harness.device(), URB_FUNCTION_CLASS_INTERFACE, 3, 0, 0, IN,
                                    reply, nullptr, sizeof(reply), &bytes, 500, &usbStatus),
        STATUS_SUCCESS);
    EXPECT_EQ(bytes, 3u);
    EXPECT_EQ(usbStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(reply[1], 0x64);
}

TEST(ControlGate, UrbAllocationFailureLeavesCountZeroAndUsbStatusUntouched) {
    TransportHarness harness;
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    const std::size_t before = harness.traffic().size();
    harness.machine().faults().failAllocation(PoolTag("urbt"), 1);
    UCHAR reply[6];
    ULONG bytes = 77;
    USBD_STATUS usbStatus = 0x1234;
    EXPECT_EQ(
        ControlVendorOrClassRequest(harness.device(), URB_FUNCTION_CLASS_INTERFACE, 3, 0, 0, IN,
                                    reply, nullptr, sizeof(reply), &bytes, 500, &usbStatus),
        STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(usbStatus, 0x1234);
    EXPECT_EQ(harness.traffic().size(), before);
}

struct FailureCase {
    const char* name;
    ScriptedReply reply;
    NTSTATUS status;
    USBD_STATUS usbStatus;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class GateFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(GateFailure, MapsTheBusResultAndMovesNothing) {
    const FailureCase& c = GetParam();
    TransportHarness harness;
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    harness.end().script(requestMatcher(0xA1, 3), c.reply);
    UCHAR reply[6];
    ULONG bytes = 77;
    USBD_STATUS usbStatus = 0;
    EXPECT_EQ(
        ControlVendorOrClassRequest(harness.device(), URB_FUNCTION_CLASS_INTERFACE, 3, 0, 0, IN,
                                    reply, nullptr, sizeof(reply), &bytes, 500, &usbStatus),
        c.status);
    EXPECT_EQ(usbStatus, c.usbStatus);
    EXPECT_EQ(bytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Results, GateFailure,
                         ::testing::Values(FailureCase{"Stall", ScriptedReply::stall(),
                                                       STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
                                           FailureCase{"DeviceTimeOut", ScriptedReply::timeOut(),
                                                       STATUS_IO_TIMEOUT, USBD_STATUS_TIMEOUT},
                                           FailureCase{"Gone",
                                                       {host::TransferStatus::Disconnected, {}, {}},
                                                       STATUS_NO_SUCH_DEVICE,
                                                       USBD_STATUS_DEVICE_GONE}),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(ControlGate, UnpluggedDeviceGivesNoSuchDeviceWithoutReachingIt) {
    TransportHarness harness;
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    harness.end().disconnect();
    harness.end().clearTransfers();
    UCHAR reply[6];
    USBD_STATUS usbStatus = 0;
    EXPECT_EQ(
        ControlVendorOrClassRequest(harness.device(), URB_FUNCTION_CLASS_INTERFACE, 3, 0, 0, IN,
                                    reply, nullptr, sizeof(reply), nullptr, 500, &usbStatus),
        STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(usbStatus, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(harness.end().transfers().empty());
    EXPECT_TRUE(harness.busDevice().gone());
}

TEST(ControlGate, SendTimeOutCancelsAndReportsTheUrbNeverReachedTheBus) {
    TransportOptions options;
    options.filter = true;
    TransportHarness harness(options);
    ASSERT_EQ(ReadAndSelectDescriptors(harness.device()), STATUS_SUCCESS);
    harness.filter().setCompletion(Completion::Held);
    const std::uint64_t start = harness.machine().clock().nowMicros();

    UCHAR reply[6];
    ULONG bytes = 77;
    USBD_STATUS usbStatus = 0;
    EXPECT_EQ(
        ControlVendorOrClassRequest(harness.device(), URB_FUNCTION_CLASS_INTERFACE, 3, 0, 0, IN,
                                    reply, nullptr, sizeof(reply), &bytes, 500, &usbStatus),
        STATUS_IO_TIMEOUT);
    EXPECT_EQ(usbStatus, USBD_STATUS_NOT_SENT);
    EXPECT_EQ(bytes, 0u);  // nothing moved, though the unsent URB still holds the length asked
    EXPECT_EQ(harness.filter().cancelRequests(), 1u);
    EXPECT_EQ(harness.machine().clock().nowMicros() - start, 500'000u);
}

// ---- hand-built IRPs ---------------------------------------------------------------------------

class HandBuiltIrp : public ::testing::Test {
  protected:
    URB urb{};
    TransportHarness harness;

    NTSTATUS send(ScriptedLowerDevice& lower, LONG timeoutMs) {
        return SendUrbToUSB(harness.fdo()->DeviceObject, lower.device(), &urb, nullptr, 0, nullptr,
                            timeoutMs);
    }
    std::size_t timeoutsLogged() {
        std::size_t n = 0;
        for (const auto& entry : harness.machine().waits().entries()) {
            n += entry.kind == host::WaitLog::Kind::Timeout ? 1 : 0;
        }
        return n;
    }
};

TEST_F(HandBuiltIrp, PendingIrpCompletedFromAnotherThreadGivesItsStatus) {
    ScriptedLowerDevice lower(Completion::FromThread);
    lower.setAnswer({STATUS_SUCCESS, 0, [](PIRP irp) {
                         auto* u = static_cast<PURB>(
                             IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
                         u->UrbHeader.Status = USBD_STATUS_SUCCESS;
                         u->UrbControlDescriptorRequest.TransferBufferLength = 18;
                     }});
    EXPECT_EQ(send(lower, 500), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(lower.cancelRequests(), 0u);
    EXPECT_TRUE(harness.leakedTags().empty());
}

TEST_F(HandBuiltIrp, SynchronousCompletionIsTakenWithoutWaiting) {
    ScriptedLowerDevice lower(Completion::AtOnce);
    lower.setAnswer({STATUS_INVALID_DEVICE_REQUEST, 0, {}});
    EXPECT_EQ(send(lower, 500), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(timeoutsLogged(), 0u);
    EXPECT_TRUE(harness.leakedTags().empty());
}

TEST_F(HandBuiltIrp, TimeOutCancelsAndWaitsUntilTheLowerDriverGivesTheIrpBack) {
    ScriptedLowerDevice lower(Completion::Held);
    lower.setOnCancel(ScriptedLowerDevice::OnCancel::HoldCancelled);
    std::atomic<bool> returned{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread sender([&] {
        status = send(lower, 500);
        returned = true;
    });
    lower.waitForCancelRequests(1);
    // The lower driver still holds the cancelled IRP and the caller's URB: the sender must not
    // have returned, and freeing the IRP now would abort the machine.
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(lower.heldCount(), 0u);
    ASSERT_TRUE(lower.completeCancelled());
    sender.join();
    EXPECT_EQ(status, STATUS_CANCELLED);
    EXPECT_EQ(timeoutsLogged(), 1u);
    EXPECT_EQ(harness.machine().waits().entries().back().micros, 500'000u);
    EXPECT_TRUE(harness.leakedTags().empty());
}

TEST_F(HandBuiltIrp, NegativeTimeOutCountsByItsMagnitude) {
    ScriptedLowerDevice lower(Completion::Held);
    EXPECT_EQ(send(lower, -250), STATUS_CANCELLED);
    ASSERT_EQ(timeoutsLogged(), 1u);
    EXPECT_EQ(harness.machine().waits().entries().back().micros, 250'000u);
}

TEST_F(HandBuiltIrp, TimeOutZeroWaitsHoweverLong) {
    ScriptedLowerDevice lower(Completion::Held);
    NTSTATUS status = STATUS_PENDING;
    std::thread sender([&] { status = send(lower, 0); });
    lower.waitForHeld(1);
    // An hour passes on the machine's clock before the lower driver answers.
    dynamic_cast<host::VirtualClock&>(harness.machine().clock()).advanceMicros(3'600'000'000ull);
    ASSERT_TRUE(lower.completeOldest(STATUS_SUCCESS));
    sender.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(lower.cancelRequests(), 0u);
    EXPECT_EQ(timeoutsLogged(), 0u);
}

TEST_F(HandBuiltIrp, CarriesTheCodeAndArgumentsTheCallerGave) {
    ScriptedLowerDevice lower(Completion::AtOnce);
    USB_TOPOLOGY_ADDRESS address{};
    int user = 0;
    int fourth = 0;
    EXPECT_EQ(SendArgument1And2BufferToUSB(harness.fdo()->DeviceObject, lower.device(),
                                           IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS, &address, 0x42,
                                           &fourth, &user, 500),
              STATUS_SUCCESS);
    const auto seen = lower.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].majorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(seen[0].ioControlCode, IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS);
    EXPECT_EQ(seen[0].argument1, &address);
    EXPECT_EQ(seen[0].argument2, reinterpret_cast<PVOID>(0x42));
    EXPECT_EQ(seen[0].argument4, &fourth);
    EXPECT_EQ(seen[0].userBuffer, &user);
}

// ---- descriptor readers ------------------------------------------------------------------------

TEST(DescriptorRead, DeviceQualifierPresentOrStalled) {
    for (const bool present : {true, false}) {
        TransportHarness harness;
        if (present) {
            harness.end().setDeviceQualifier(
                Bytes{0x0A, 0x06, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, 0x01, 0x00});
        }
        UCHAR buffer[10] = {};
        ULONG bytes = 99;
        USBD_STATUS usbStatus = -1;
        const NTSTATUS status =
            GetUSBDescriptor(harness.device(), USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0, 0, buffer,
                             sizeof(buffer), &bytes, 500, &usbStatus);
        const auto wire = harness.traffic().back().setup;
        EXPECT_EQ(Bytes(wire.begin(), wire.end()),
                  (Bytes{0x80, 0x06, 0x00, 0x06, 0x00, 0x00, 0x0A, 0x00}));
        if (present) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(bytes, 10u);
            EXPECT_EQ(usbStatus, USBD_STATUS_SUCCESS);
        } else {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(bytes, 0u);
            EXPECT_EQ(usbStatus, USBD_STATUS_STALL_PID);
        }
    }
}

struct StringCase {
    const char* name;
    Bytes answer;         // what the device sends
    ULONG destination;    // bytes
    std::u16string text;  // what the caller must find
};
void PrintTo(const StringCase& c, std::ostream* os) { *os << c.name; }

class StringConversion : public ::testing::TestWithParam<StringCase> {};

TEST_P(StringConversion, GivesTheCharactersThatFitTerminated) {
    const StringCase& c = GetParam();
    TransportHarness harness;
    harness.end().script(descriptorMatcher(0x03, 2), ScriptedReply::answer(c.answer));
    // Guard bytes on both sides catch a write outside the destination.
    std::vector<UCHAR> memory(c.destination + 8, 0xEE);
    auto* destination = reinterpret_cast<PWSTR>(memory.data() + 4);
    ASSERT_EQ(GetStringDescString(&harness.fdo()->DeviceDescriptor, 2, 0x0409,
                                  harness.fdo()->DeviceObject, harness.fdo()->AttachedDeviceObject,
                                  destination, c.destination),
              STATUS_SUCCESS);
    std::u16string text;
    for (std::size_t i = 0; i < c.destination / 2; ++i) {
        char16_t ch;
        std::memcpy(&ch, memory.data() + 4 + 2 * i, 2);
        if (ch == 0)
            break;
        text.push_back(ch);
    }
    EXPECT_EQ(text, c.text);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(memory[i], 0xEE);
        EXPECT_EQ(memory[memory.size() - 1 - i], 0xEE);
    }
    const auto wire = harness.traffic().back().setup;
    EXPECT_EQ(wire[0], 0x80);
    EXPECT_EQ(wire[3], 0x03);
    EXPECT_EQ(wire[4] | wire[5] << 8, 0x0409);
    EXPECT_EQ(static_cast<ULONG>(wire[6] | wire[7] << 8), c.destination);
}

Bytes stringOf(std::size_t characters) {
    std::u16string text;
    for (std::size_t i = 0; i < characters; ++i)
        text.push_back(static_cast<char16_t>(u'A' + i % 26));
    return stringDescriptor(text);
}
std::u16string textOf(std::size_t characters) {
    std::u16string text;
    for (std::size_t i = 0; i < characters; ++i)
        text.push_back(static_cast<char16_t>(u'A' + i % 26));
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StringConversion,
    ::testing::Values(StringCase{"TwentySixBytes", stringOf(12), 256, textOf(12)},
                      StringCase{"LongerThanTheDestination", stringOf(30), 20, textOf(9)},
                      StringCase{"NothingAnswered", {}, 256, u""},
                      StringCase{"OneByte", {0x02}, 256, u""},
                      StringCase{"HeaderOnly", {0x02, 0x03}, 256, u""},
                      StringCase{"OddLength", {0x07, 0x03, 'a', 0, 'b', 0, 'c'}, 256, u"ab"},
                      // A non-compliant device sending more than a descriptor can hold: capped at
                      // 255 bytes (126 characters), never wrapped around to an empty string.
                      StringCase{"MoreThanADescriptorHolds", Bytes(256, 0x41), 510,
                                 std::u16string(126, static_cast<char16_t>(0x4141))}),
    [](const ::testing::TestParamInfo<StringCase>& info) { return std::string(info.param.name); });

TEST(StringRead, TwentySixBytesLeaveTheRestOfTheBufferZero) {
    TransportHarness harness;
    harness.end().setString(2, u"STM32  BOOTL");
    WCHAR destination[128];
    std::fill(std::begin(destination), std::end(destination), 0xEEEE);
    ASSERT_EQ(GetStringDescString(&harness.fdo()->DeviceDescriptor, 2, 0x0409,
                                  harness.fdo()->DeviceObject, harness.fdo()->AttachedDeviceObject,
                                  destination, sizeof(destination)),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(destination), u"STM32  BOOTL");
    for (std::size_t i = 12; i < 128; ++i) {
        EXPECT_EQ(destination[i], 0) << "character " << i;
    }
}

TEST(StringRead, FailedReadLeavesTheDestinationZero) {
    TransportHarness harness;
    harness.end().script(descriptorMatcher(0x03), ScriptedReply::stall());
    WCHAR destination[16];
    std::fill(std::begin(destination), std::end(destination), 0xEEEE);
    EXPECT_EQ(GetStringDescString(&harness.fdo()->DeviceDescriptor, 9, 0x0409,
                                  harness.fdo()->DeviceObject, harness.fdo()->AttachedDeviceObject,
                                  destination, sizeof(destination)),
              STATUS_UNSUCCESSFUL);
    for (WCHAR c : destination)
        EXPECT_EQ(c, 0);
}

TEST(StringRead, DestinationWithoutRoomForATerminatorIsRefused) {
    TransportHarness harness;
    const std::size_t before = harness.traffic().size();
    WCHAR destination[1] = {0x1234};
    EXPECT_EQ(GetStringDescString(&harness.fdo()->DeviceDescriptor, 2, 0x0409,
                                  harness.fdo()->DeviceObject, harness.fdo()->AttachedDeviceObject,
                                  destination, 1),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(destination[0], 0x1234);
    EXPECT_EQ(harness.traffic().size(), before);
}

}  // namespace
}  // namespace ostdfu_test
