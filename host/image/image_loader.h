// Loads a Windows driver image (PE32+, AMD64, native subsystem) into the machine's process as
// the system's loader would: the file checked, its sections mapped at an address the machine
// picks, base relocations applied, every import bound by name to the machine's exports, and each
// section given its rights. The image is unmapped when the LoadedImage goes.
//
// A file that cannot be loaded gives a sentence that names the file and what is wrong (the
// field, its value and offset; or every import the machine lacks), never a crash: the bytes are
// untrusted, and every read of them is bounded.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/image/export_tables.h"
#include "host/image/image_mapping.h"
#include "platform/wdm.h"

namespace host::image {

// The image's entry point (FxDriverEntry for a framework driver), called with the Windows x64
// convention.
using DriverEntryPoint = PDRIVER_INITIALIZE;

struct LoadedSection {
    std::string name;
    std::uintptr_t address = 0;
    std::size_t size = 0;  // its virtual size; its rights cover whole pages
    bool readable = false;
    bool writable = false;
    bool executable = false;
};

class LoadedImage {
public:
    LoadedImage(std::string name, ImageMapping mapping, const PeImage& pe);

    const std::string& name() const { return name_; }
    std::uintptr_t base() const { return mapping_.base(); }
    std::size_t size() const { return size_; }
    std::uint64_t preferredBase() const { return preferredBase_; }
    const std::vector<LoadedSection>& sections() const { return sections_; }
    DriverEntryPoint entryPoint() const { return entryPoint_; }

private:
    std::string name_;
    ImageMapping mapping_;
    std::size_t size_;
    std::uint64_t preferredBase_;
    std::vector<LoadedSection> sections_;
    DriverEntryPoint entryPoint_;
};

// Either the image or, when it cannot be loaded, the reason: "ostdfu.sys: imports
// ntoskrnl.exe!KeBugCheckEx, HAL.dll!KfRaiseIrql, which this machine does not provide".
struct ImageLoadResult {
    std::unique_ptr<LoadedImage> image;
    std::string error;
};

// name is what the error names (the file's name).
ImageLoadResult loadImage(std::span<const std::uint8_t> file, std::string_view name, const ExportTables& exports);

// Reads the file (at most kMaxImageSize bytes) and loads it under its file name.
ImageLoadResult loadImageFile(const std::filesystem::path& path, const ExportTables& exports);

}  // namespace host::image
