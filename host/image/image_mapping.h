// The memory an image is loaded into: one anonymous mapping of its whole size, filled from the
// file (headers, then each section's data, the rest zero), and at the end given each part's
// rights. It lies where the system picks, or at the one base an image without base relocations
// can run at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "host/image/pe_image.h"

namespace host::image {

class ImageMapping {
public:
  // Reserves the image's pages, readable and writable while the loader fills them, at
  // fixedBase when one is given. Throws std::system_error when the system refuses (for a fixed
  // base also when the address is taken or is none a process may have).
  explicit ImageMapping(std::uint32_t sizeOfImage, std::optional<std::uint64_t> fixedBase = {});
  ~ImageMapping();
  ImageMapping(ImageMapping&& other) noexcept;
  ImageMapping(const ImageMapping&) = delete;
  ImageMapping& operator=(const ImageMapping&) = delete;
  ImageMapping& operator=(ImageMapping&&) = delete;

  std::uintptr_t base() const { return reinterpret_cast<std::uintptr_t>(memory_); }
  // The image's bytes (SizeOfImage of them), writable until protect().
  std::span<std::uint8_t> bytes() { return {static_cast<std::uint8_t*>(memory_), size_}; }

  // Copies the headers and each section's data from the file.
  void fill(std::span<const std::uint8_t> file, const PeImage& pe);

  // Final rights: the headers read-only, each section as its characteristics say, the pages
  // between them none at all. Throws std::system_error when the system refuses.
  void protect(const PeImage& pe);

private:
    void* memory_;
    std::size_t size_;    // SizeOfImage
    std::size_t mapped_;  // SizeOfImage rounded up to whole pages
};

}  // namespace host::image
