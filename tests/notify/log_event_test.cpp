// Event-log entries as the driver writes them: sizes, the packet's fields byte for byte, the
// cut of an overlong text in the caller's buffer, the object charged, and the rendered text.
#include <gtest/gtest.h>

#include "notify/event_log.h"
#include "notify/message_table.h"
#include "tests/support/driver_harness.h"

namespace {

class LogEventTest : public testing::Test {
protected:
    LogEventTest() {
        machine_.eventLog().setMessageTable(ostdfu_test::driverMessageTable());
        driver_ = machine_.ioObjects().createDriver(u"\\Driver\\ostdfu");
        bus_ = machine_.ioObjects().createDriver(u"\\Driver\\bus");
        pdo_ = machine_.ioObjects().createDevice(bus_, u"\\Device\\USBPDO-3", 1);
        fdo_ = machine_.ioObjects().createDevice(driver_, u"", 1);
        machine_.ioObjects().attachToStack(fdo_, pdo_);
    }
    ~LogEventTest() override {
        machine_.ioObjects().deleteDevice(fdo_);
        machine_.ioObjects().deleteDevice(pdo_);
        machine_.ioObjects().deleteDriver(driver_);
        machine_.ioObjects().deleteDriver(bus_);
    }
    host::EventLogEntry only() {
        auto entries = machine_.eventLog().entries();
        EXPECT_EQ(entries.size(), 1u);
        return entries.empty() ? host::EventLogEntry{} : entries[0];
    }

    host::Machine machine_;
    PDRIVER_OBJECT driver_;
    PDRIVER_OBJECT bus_;
    PDEVICE_OBJECT pdo_;
    PDEVICE_OBJECT fdo_;
};

struct SizeCase {
    std::size_t chars;  // SIZE_MAX: no insertion string
    std::size_t entrySize;
    std::size_t keptChars;
};
std::string caseName(const SizeCase& c) { return c.chars == SIZE_MAX ? "NoText" : std::to_string(c.chars) + "Chars"; }
void PrintTo(const SizeCase& c, std::ostream* os) { *os << caseName(c); }

class EntrySizes : public LogEventTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(EntrySizes, FollowTheTextAndStopAtTheLargestEntry) {
    const SizeCase& c = GetParam();
    std::vector<WCHAR> buffer(256, 0);
    for (std::size_t i = 0; c.chars != SIZE_MAX && i < c.chars; ++i) buffer[i] = u'a' + i % 26;
    LogEvent(fdo_, OSTDFU_EVENT_INFORMATION, c.chars == SIZE_MAX ? nullptr : buffer.data(), 0);
    const host::EventLogEntry entry = only();
    EXPECT_EQ(entry.packet.size(), c.entrySize);
    if (c.chars == SIZE_MAX) {
        EXPECT_EQ(entry.numberOfStrings(), 0);
        EXPECT_EQ(entry.stringOffset(), 0);
        return;
    }
    EXPECT_EQ(entry.numberOfStrings(), 1);
    EXPECT_EQ(entry.stringOffset(), 48);
    ASSERT_EQ(entry.insertionStrings().size(), 1u);
    EXPECT_EQ(entry.insertionStrings()[0].size(), c.keptChars);
    // A cut leaves the shortened text in the caller's buffer too.
    EXPECT_EQ(std::u16string_view(buffer.data()).size(), c.keptChars);
}

INSTANTIATE_TEST_SUITE_P(Texts, EntrySizes,
                         testing::Values(SizeCase{SIZE_MAX, 52, 0}, SizeCase{0, 54, 0},
                                         SizeCase{11, 76, 11}, SizeCase{92, 238, 92},
                                         SizeCase{93, 240, 93}, SizeCase{94, 240, 93},
                                         SizeCase{254, 240, 93}),
                         [](const testing::TestParamInfo<SizeCase>& info) { return caseName(info.param); });

TEST_F(LogEventTest, PacketFieldsAreExact) {
    WCHAR text[] = u"DriverEntry";
    LogEventDriver(driver_, OSTDFU_EVENT_ERROR, text, 0x0E);
    const host::EventLogEntry entry = only();
    ASSERT_EQ(entry.packet.size(), 76u);
    std::vector<std::uint8_t> expected(76, 0);
    expected[0] = 0x0E;                                   // MajorFunctionCode
    expected[2] = 4;                                      // DumpDataSize
    expected[4] = 1;                                      // NumberOfStrings
    expected[6] = 48;                                     // StringOffset
    expected[12] = 0x02, expected[13] = 0x00, expected[14] = 0x07, expected[15] = 0xC0;  // ErrorCode
    expected[40] = expected[41] = expected[42] = expected[43] = 0xDB;  // DumpData[0]
    for (std::size_t i = 0; i < 11; ++i) expected[48 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    EXPECT_EQ(entry.packet, expected);
    EXPECT_EQ(entry.objectName, u"\\Driver\\ostdfu");
    EXPECT_TRUE(entry.chargedToDriver);
}

TEST_F(LogEventTest, DeviceEntriesCarryThePhysicalDevicesName) {
    WCHAR text[] = u"PrepHW: Code:0 status:0x0";
    LogEvent(fdo_, OSTDFU_EVENT_INFORMATION, text, 0);
    EXPECT_EQ(machine_.eventLog().renderAll(),
              std::vector<std::string>{"device \\Device\\USBPDO-3 icode:PrepHW: Code:0 status:0x0."});
}

TEST_F(LogEventTest, EachSeverityRendersWithItsMessage) {
    WCHAR a[] = u"x";
    WCHAR b[] = u"y";
    WCHAR c[] = u"z";
    LogEvent(fdo_, OSTDFU_EVENT_INFORMATION, a, 0);
    LogEvent(fdo_, OSTDFU_EVENT_ERROR, b, 0);
    LogEvent(fdo_, OSTDFU_EVENT_WARNING, c, 0);
    EXPECT_EQ(machine_.eventLog().renderAll(),
              (std::vector<std::string>{"device \\Device\\USBPDO-3 icode:x.",
                                        "device \\Device\\USBPDO-3 ecode:y.",
                                        "device \\Device\\USBPDO-3 wcode:z."}));
}

TEST_F(LogEventTest, AnEntryThatCannotBeAllocatedIsDroppedQuietly) {
    machine_.faults().failCall(host::FaultSite::ErrorLogEntry, 1);
    WCHAR text[] = u"lost";
    LogEvent(fdo_, OSTDFU_EVENT_INFORMATION, text, 0);
    EXPECT_TRUE(machine_.eventLog().entries().empty());
    EXPECT_EQ(machine_.eventLog().pending(), 0u);
}

TEST_F(LogEventTest, ATextWithoutTerminatorInItsBufferIsNotRead) {
    std::vector<WCHAR> buffer(255, u'q');  // no terminator anywhere in the event-text buffer
    LogEvent(fdo_, OSTDFU_EVENT_INFORMATION, buffer.data(), 0);
    EXPECT_TRUE(machine_.eventLog().entries().empty());
    EXPECT_EQ(machine_.eventLog().pending(), 0u);
}

TEST(MessageTable, HoldsTheThreeMessagesInEnglish) {
    ULONG count = 0;
    const EVENT_MESSAGE_ENTRY* messages = OstDfuMessageTable(&count);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(messages[0].MessageId, 0x40070001u);
    EXPECT_EQ(std::u16string(messages[0].Text), u"device %1 icode:%2.\r\n");
    EXPECT_EQ(messages[1].MessageId, 0xC0070002u);
    EXPECT_EQ(std::u16string(messages[1].Text), u"device %1 ecode:%2.\r\n");
    EXPECT_EQ(messages[2].MessageId, 0x80070003u);
    EXPECT_EQ(std::u16string(messages[2].Text), u"device %1 wcode:%2.\r\n");
    for (ULONG i = 0; i < count; ++i) EXPECT_EQ(messages[i].LanguageId, 1033);
}

}  // namespace
