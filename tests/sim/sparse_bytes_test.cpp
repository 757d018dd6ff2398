#include <gtest/gtest.h>

#include <vector>

#include "sim/memory.h"
#include "sim/sparse_bytes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kPage = sim::SparseBytes::kPageBytes;

enum class Op { Write, Erase, Resize };

struct Step {
    Op op;
    std::size_t offset;  // Resize: the new size
    std::size_t length;
    std::uint8_t value;  // Write: the byte written
    std::size_t pagesHeld;
};

struct SequenceCase {
    const char* name;
    std::size_t size;
    std::vector<Step> steps;
};

// Every step is applied to the pages and to a flat copy; the two must read alike, byte by byte
// and chunk by chunk, and only pages with a written byte may be held.
TEST(SparseBytes, ReadsAsAFlatBufferWouldAndHoldsOnlyWrittenPages) {
    const SequenceCase cases[] = {
        {"nothing written", 3 * kPage + 7, {}},
        {"erased bytes hold no page", 2 * kPage, {{Op::Write, 10, kPage, 0xFF, 0}}},
        {"a write across a page boundary",
         3 * kPage,
         {{Op::Write, kPage - 3, 6, 0x12, 2}, {Op::Write, kPage - 1, 1, 0xFF, 2}}},
        {"a partial erase keeps the page, a whole one drops it",
         2 * kPage,
         {{Op::Write, 0, 2 * kPage, 0x00, 2}, {Op::Erase, 100, 50, 0, 2}, {Op::Erase, kPage, kPage, 0, 1}}},
        {"the short last page",
         kPage + 5,
         {{Op::Write, kPage + 1, 4, 0x34, 1}, {Op::Erase, kPage, 5, 0, 1}}},
        {"a cut tail reads erased when grown again",
         2 * kPage,
         {{Op::Write, kPage - 8, 16, 0x00, 2}, {Op::Resize, kPage - 4, 0, 0, 1}, {Op::Resize, 2 * kPage, 0, 0, 1}}},
    };
    for (const SequenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SparseBytes pages(c.size);
        Bytes flat(c.size, sim::kErasedByte);
        for (const Step& step : c.steps) {
            if (step.op == Op::Write) {
                const Bytes data(step.length, step.value);
                pages.copyIn(step.offset, data);
                std::fill_n(flat.begin() + static_cast<std::ptrdiff_t>(step.offset), step.length, step.value);
            } else if (step.op == Op::Erase) {
                pages.erase(step.offset, step.length);
                std::fill_n(flat.begin() + static_cast<std::ptrdiff_t>(step.offset), step.length, sim::kErasedByte);
            } else {
                pages.resize(step.offset);
                flat.resize(step.offset, sim::kErasedByte);
            }
            EXPECT_EQ(pages.pagesHeld(), step.pagesHeld);
        }
        ASSERT_EQ(pages.size(), flat.size());
        Bytes whole(flat.size());
        pages.copyOut(0, whole);
        EXPECT_EQ(whole, flat);
        Bytes chunked;
        pages.forEachChunk([&chunked](std::span<const std::uint8_t> chunk) {
            chunked.insert(chunked.end(), chunk.begin(), chunk.end());
        });
        EXPECT_EQ(chunked, flat);
        for (std::size_t i = 0; i < flat.size(); i += 509) EXPECT_EQ(pages.at(i), flat[i]) << i;
    }
}

// The whole default memory is megabytes of erased flash: building it, hashing it and erasing
// it must not fill pages.
TEST(SparseBytes, AFreshMemoryHoldsOnlyItsImages) {
    sim::DeviceMemory memory(sim::BootloaderConfig::defaultSegments());
    std::size_t held = 0;
    for (const sim::MemoryRegion& region : memory.regions()) held += region.bytes.pagesHeld();
    EXPECT_LE(held, 4u) << "option bytes and OTP images at most";
    memory.write(0x08000000, Bytes(3 * kPage, 0x00));
    memory.eraseAllFlash();
    std::size_t after = 0;
    for (const sim::MemoryRegion& region : memory.regions()) after += region.bytes.pagesHeld();
    EXPECT_EQ(after, held);
}

}  // namespace
