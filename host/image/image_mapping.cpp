#include "host/image/image_mapping.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace host::image {

namespace {

std::size_t pageAlignUp(std::size_t value) { return (value + kPageSize - 1) / kPageSize * kPageSize; }

void protectPages(void* memory, std::size_t offset, std::size_t length, int rights) {
    if (length == 0) {
        return;
    }
    if (mprotect(static_cast<std::uint8_t*>(memory) + offset, length, rights) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot set the rights of the image's pages");
    }
}

int rightsOf(const Section& s) {
    return (s.readable ? PROT_READ : 0) | (s.writable ? PROT_WRITE : 0) | (s.executable ? PROT_EXEC : 0);
}

}  // namespace

ImageMapping::ImageMapping(std::uint32_t sizeOfImage, std::optional<std::uint64_t> fixedBase)
    : memory_(nullptr), size_(sizeOfImage), mapped_(pageAlignUp(sizeOfImage)) {
    // Reserved only: pages the image never touches cost nothing. A fixed base never replaces
    // what the process has there.
    void* const wanted = fixedBase ? reinterpret_cast<void*>(*fixedBase) : nullptr;
    const int placement = fixedBase ? MAP_FIXED_NOREPLACE : 0;
    memory_ = mmap(wanted, mapped_, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | placement, -1, 0);
    if (memory_ == MAP_FAILED) {
        memory_ = nullptr;
        throw std::system_error(errno, std::generic_category(), "cannot reserve memory for the image");
    }
    if (fixedBase && memory_ != wanted) {
        // A kernel older than MAP_FIXED_NOREPLACE takes the address as a hint only.
        munmap(memory_, mapped_);
        memory_ = nullptr;
        throw std::system_error(EEXIST, std::generic_category(),
                                "cannot reserve memory for the image");
    }
}

ImageMapping::ImageMapping(ImageMapping&& other) noexcept
    : memory_(std::exchange(other.memory_, nullptr)), size_(other.size_), mapped_(other.mapped_) {}

ImageMapping::~ImageMapping() {
    if (memory_ != nullptr) {
        munmap(memory_, mapped_);
    }
}

void ImageMapping::fill(std::span<const std::uint8_t> file, const PeImage& pe) {
    std::span<std::uint8_t> image = bytes();
    std::memcpy(image.data(), file.data(), pe.sizeOfHeaders);
    for (const Section& s : pe.sections) {
        std::memcpy(image.data() + s.virtualAddress, file.data() + s.fileOffset, s.fileSize);
    }
}

void ImageMapping::protect(const PeImage& pe) {
    protectPages(memory_, 0, mapped_, PROT_NONE);
    protectPages(memory_, 0, pageAlignUp(pe.sizeOfHeaders), PROT_READ);
    for (const Section& s : pe.sections) {
        protectPages(memory_, s.virtualAddress, pageAlignUp(s.virtualSize), rightsOf(s));
    }
}

}  // namespace host::image
