// The bytes of one memory region, held in pages that exist only once something other than the
// erased value is written to them. A model of a 1 MiB flash then costs nothing to build or to
// throw away until the host programs it, and an erase hands whole pages back.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

namespace sim {

inline constexpr std::uint8_t kErasedByte = 0xFF;

class SparseBytes {
public:
    static constexpr std::size_t kPageBytes = 4096;

    SparseBytes() = default;
    explicit SparseBytes(std::size_t size) { resize(size); }
    // Exactly these bytes, as a segment image is written by hand.
    explicit SparseBytes(std::span<const std::uint8_t> bytes);
    SparseBytes(std::initializer_list<std::uint8_t> bytes);
    // A copy holds copies of the written pages only.
    SparseBytes(const SparseBytes& other);
    SparseBytes& operator=(const SparseBytes& other);
    SparseBytes(SparseBytes&&) noexcept = default;
    SparseBytes& operator=(SparseBytes&&) noexcept = default;
    ~SparseBytes() = default;

    std::size_t size() const { return size_; }
    // Pages that hold a written byte: what the region costs.
    std::size_t pagesHeld() const;
    // Bytes added at the end read as erased.
    void resize(std::size_t size);

    std::uint8_t at(std::size_t offset) const;
    // The ranges must lie inside; the caller checks.
    void copyOut(std::size_t offset, std::span<std::uint8_t> out) const;
    void copyIn(std::size_t offset, std::span<const std::uint8_t> bytes);
    void erase(std::size_t offset, std::size_t length);

    // Calls visit with every byte in order, a page at a time; unwritten pages as erased bytes.
    template <typename Visit>
    void forEachChunk(Visit&& visit) const {
        for (std::size_t page = 0; page < pages_.size(); ++page) {
            const std::size_t length = pageLength(page);
            const std::uint8_t* bytes = pages_[page] ? pages_[page]->data() : erasedPage().data();
            visit(std::span<const std::uint8_t>(bytes, length));
        }
    }

    // Calls visit(offset, bytes) for every page that holds a written byte, in order.
    template <typename Visit>
    void forEachHeldPage(Visit&& visit) const {
        for (std::size_t page = 0; page < pages_.size(); ++page) {
            if (!pages_[page]) continue;
            visit(page * kPageBytes, std::span<const std::uint8_t>(pages_[page]->data(), pageLength(page)));
        }
    }

private:
    using Page = std::array<std::uint8_t, kPageBytes>;
    static const Page& erasedPage();
    std::size_t pageLength(std::size_t page) const;
    Page& writablePage(std::size_t page);
    // Splits [offset, offset + length) at page boundaries: step(page, within, count, done).
    template <typename Step>
    static void byPage(std::size_t offset, std::size_t length, Step&& step) {
        for (std::size_t done = 0; done < length;) {
            const std::size_t within = (offset + done) % kPageBytes;
            const std::size_t count = std::min(kPageBytes - within, length - done);
            step((offset + done) / kPageBytes, within, count, done);
            done += count;
        }
    }

    std::size_t size_ = 0;
    std::vector<std::unique_ptr<Page>> pages_;  // null: every byte erased
};

}  // namespace sim
