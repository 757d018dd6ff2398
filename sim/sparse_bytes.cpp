#include "sim/sparse_bytes.h"

namespace sim {

const SparseBytes::Page& SparseBytes::erasedPage() {
    static const Page page = [] {
        Page p;
        p.fill(kErasedByte);
        return p;
    }();
    return page;
}

SparseBytes::SparseBytes(std::span<const std::uint8_t> bytes) : SparseBytes(bytes.size()) { copyIn(0, bytes); }

SparseBytes::SparseBytes(std::initializer_list<std::uint8_t> bytes)
    : SparseBytes(std::span<const std::uint8_t>(bytes.begin(), bytes.size())) {}

SparseBytes::SparseBytes(const SparseBytes& other) : size_(other.size_), pages_(other.pages_.size()) {
    for (std::size_t page = 0; page < pages_.size(); ++page)
        if (other.pages_[page]) pages_[page] = std::make_unique<Page>(*other.pages_[page]);
}

SparseBytes& SparseBytes::operator=(const SparseBytes& other) {
    if (this != &other) *this = SparseBytes(other);
    return *this;
}

std::size_t SparseBytes::pageLength(std::size_t page) const {
    return std::min(kPageBytes, size_ - page * kPageBytes);
}

std::size_t SparseBytes::pagesHeld() const {
    return static_cast<std::size_t>(
        std::count_if(pages_.begin(), pages_.end(), [](const auto& page) { return page != nullptr; }));
}

void SparseBytes::resize(std::size_t size) {
    // A cut tail is erased first, so that growing again later finds it erased.
    if (size < size_) erase(size, size_ - size);
    size_ = size;
    pages_.resize((size + kPageBytes - 1) / kPageBytes);
}

SparseBytes::Page& SparseBytes::writablePage(std::size_t page) {
    if (!pages_[page]) pages_[page] = std::make_unique<Page>(erasedPage());
    return *pages_[page];
}

std::uint8_t SparseBytes::at(std::size_t offset) const {
    const auto& page = pages_[offset / kPageBytes];
    return page ? (*page)[offset % kPageBytes] : kErasedByte;
}

void SparseBytes::copyOut(std::size_t offset, std::span<std::uint8_t> out) const {
    byPage(offset, out.size(), [&](std::size_t page, std::size_t within, std::size_t count, std::size_t done) {
        const Page& source = pages_[page] ? *pages_[page] : erasedPage();
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(within), count,
                    out.begin() + static_cast<std::ptrdiff_t>(done));
    });
}

void SparseBytes::copyIn(std::size_t offset, std::span<const std::uint8_t> bytes) {
    byPage(offset, bytes.size(), [&](std::size_t page, std::size_t within, std::size_t count, std::size_t done) {
        const auto source = bytes.subspan(done, count);
        // Erased bytes written where no page exists change nothing.
        const auto erased = [](std::uint8_t b) { return b == kErasedByte; };
        if (!pages_[page] && std::all_of(source.begin(), source.end(), erased)) return;
        std::copy(source.begin(), source.end(), writablePage(page).begin() + static_cast<std::ptrdiff_t>(within));
    });
}

void SparseBytes::erase(std::size_t offset, std::size_t length) {
    byPage(offset, length, [&](std::size_t page, std::size_t within, std::size_t count, std::size_t) {
        if (count == kPageBytes) {
            pages_[page].reset();
        } else if (pages_[page]) {
            std::fill_n(pages_[page]->begin() + static_cast<std::ptrdiff_t>(within), count, kErasedByte);
        }
    });
}

}  // namespace sim
