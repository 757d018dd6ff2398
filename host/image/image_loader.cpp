#include "host/image/image_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "host/image/image_bytes.h"
#include "host/image/imports.h"
#include "host/image/relocations.h"

namespace host::image {

LoadedImage::LoadedImage(std::string name, ImageMapping mapping, const PeImage& pe)
    : name_(std::move(name)),
      mapping_(std::move(mapping)),
      size_(pe.sizeOfImage),
      preferredBase_(pe.preferredBase),
      entryPoint_(reinterpret_cast<DriverEntryPoint>(mapping_.base() + pe.entryPoint)) {
    for (const Section& s : pe.sections) {
        sections_.push_back({s.name, mapping_.base() + s.virtualAddress, s.virtualSize, s.readable, s.writable,
                             s.executable});
    }
}

namespace {

// Without base relocations nothing says where the image holds its own addresses, so it runs only
// where it was linked to.
ImageMapping mapImage(const PeImage& pe) {
    if (pe.relocations.size != 0) {
        return ImageMapping(pe.sizeOfImage);
    }
    try {
        return ImageMapping(pe.sizeOfImage, pe.preferredBase);
    } catch (const std::system_error& e) {
        throw ImageFormatError(
            "the image has no base relocations, so it runs only at its preferred base " +
            hex(pe.preferredBase) + ", and this process cannot give it that address (" +
            e.code().message() + ")");
    }
}

}  // namespace

ImageLoadResult loadImage(std::span<const std::uint8_t> file, std::string_view name, const ExportTables& exports) {
    const std::string prefix = printable(name) + ": ";
    try {
        const PeImage pe = parsePeImage(file);
        ImageMapping mapping = mapImage(pe);
        mapping.fill(file, pe);
        applyRelocations(mapping.bytes(), pe.relocations, mapping.base() - pe.preferredBase);
        const UnboundImports unbound = bindImports(mapping.bytes(), pe.imports, exports);
        if (!unbound.empty()) {
            return {nullptr, prefix + unbound.describe()};
        }
        mapping.protect(pe);
        return {std::make_unique<LoadedImage>(std::string(name), std::move(mapping), pe), ""};
    } catch (const ImageFormatError& e) {
        return {nullptr, prefix + e.what()};
    } catch (const std::system_error& e) {
        return {nullptr, prefix + e.what()};
    }
}

ImageLoadResult loadImageFile(const std::filesystem::path& path, const ExportTables& exports) {
    const auto unreadable = [&] {
        return ImageLoadResult{nullptr, printable(path.string()) + ": cannot be read: " + std::strerror(errno)};
    };
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!in) {
        return unreadable();
    }
    const std::string name = path.filename().string();
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[1 << 16];
    while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, in.get())) {
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (bytes.size() > kMaxImageSize) {
            return {nullptr, printable(name) + ": larger than " + hex(kMaxImageSize) + " bytes, which no driver image is"};
        }
    }
    if (std::ferror(in.get())) {
        return unreadable();
    }
    return loadImage(bytes, name, exports);
}

}  // namespace host::image
