// The message table as the Windows message compiler builds it from OstDfuEvents.mc (the
// binary table that goes into the driver image's resources) holds the same messages, under the
// same IDs, as the table the emulated machine renders the driver's entries with.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "notify/event_log.h"
#include "notify/message_table.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Read32(const Bytes& bytes, std::size_t at) {
    return at + 4 > bytes.size() ? 0
                                 : static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 |
                                                              bytes[at + 2] << 16 |
                                                              static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}
std::uint16_t Read16(const Bytes& bytes, std::size_t at) {
    return at + 2 > bytes.size() ? 0 : static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// MESSAGE_RESOURCE_DATA: a block count, blocks of (low ID, high ID, offset of the entries), and
// per ID an entry of (length including this header, flags: 1 for UTF-16, text padded with NULs).
std::map<std::uint32_t, std::u16string> ParseMessageResource(const Bytes& bytes) {
    std::map<std::uint32_t, std::u16string> messages;
    const std::uint32_t blocks = Read32(bytes, 0);
    for (std::uint32_t b = 0; b < blocks && 4 + 12 * (b + 1) <= bytes.size(); ++b) {
        const std::size_t block = 4 + 12 * b;
        std::size_t entry = Read32(bytes, block + 8);
        for (std::uint32_t id = Read32(bytes, block); id <= Read32(bytes, block + 4); ++id) {
            const std::uint16_t length = Read16(bytes, entry);
            EXPECT_EQ(Read16(bytes, entry + 2), 1u) << "message 0x" << std::hex << id << " is not UTF-16";
            if (length < 4 || entry + length > bytes.size()) {
                ADD_FAILURE() << "message 0x" << std::hex << id << " runs past the table";
                return messages;
            }
            std::u16string text;
            for (std::size_t at = entry + 4; at + 1 < entry + length; at += 2) {
                text.push_back(static_cast<char16_t>(Read16(bytes, at)));
            }
            messages[id] = text.substr(0, text.find(u'\0'));
            entry += length;
        }
    }
    return messages;
}

TEST(MessageTable, TheWindowsMessageCompilerBuildsTheTableTheMachineRendersWith) {
    std::ifstream file(OSTDFU_WINDMC_TABLE, std::ios::binary);
    ASSERT_TRUE(file) << "cannot read " << OSTDFU_WINDMC_TABLE;
    const Bytes bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::map<std::uint32_t, std::u16string> compiled = ParseMessageResource(bytes);

    ULONG count = 0;
    const EVENT_MESSAGE_ENTRY* machine = OstDfuMessageTable(&count);
    ASSERT_EQ(compiled.size(), count);
    for (ULONG i = 0; i < count; ++i) {
        const auto found = compiled.find(machine[i].MessageId);
        ASSERT_NE(found, compiled.end()) << "no message 0x" << std::hex << machine[i].MessageId;
        EXPECT_EQ(found->second, std::u16string(machine[i].Text));
    }
    EXPECT_EQ(compiled.at(OSTDFU_EVENT_INFORMATION), u"device %1 icode:%2.\r\n");
    EXPECT_EQ(compiled.at(OSTDFU_EVENT_ERROR), u"device %1 ecode:%2.\r\n");
    EXPECT_EQ(compiled.at(OSTDFU_EVENT_WARNING), u"device %1 wcode:%2.\r\n");
}

}  // namespace
