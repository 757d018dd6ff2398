#include "host/image/pe_image.h"

#include <algorithm>
#include <array>

#include "host/image/image_bytes.h"

namespace host::image {

namespace {

constexpr std::uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint16_t kSubsystemNative = 1;

constexpr std::uint16_t kFileRelocsStripped = 0x0001;
constexpr std::uint16_t kFileExecutableImage = 0x0002;

constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionRead = 0x40000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;

// The optional header up to and including NumberOfRvaAndSizes; the directories follow.
constexpr std::uint32_t kOptionalHeaderFixedSize = 112;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr unsigned kDirectoryCount = 16;
constexpr unsigned kImportDirectory = 1;
constexpr unsigned kCertificateDirectory = 4;  // the one whose address is a file offset
constexpr unsigned kRelocationDirectory = 5;

constexpr std::array<const char*, kDirectoryCount> kDirectoryNames = {
    "export",          "import",         "resource",           "exception",
    "certificate",     "base relocation", "debug",             "architecture",
    "global pointer",  "TLS",            "load configuration", "bound import",
    "import address table", "delay import", "CLR runtime",     "reserved"};

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool isPowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

// "Subsystem at file offset 0xdc is 2: <why>"
[[noreturn]] void refuseField(const ImageBytes& file, std::string_view field, std::uint64_t offset,
                              std::uint64_t value, const std::string& why) {
    throw ImageFormatError(std::string(field) + " at " + file.where(offset) + " is " + hex(value) +
                           ": " + why);
}

struct Headers {
    std::uint32_t coff = 0;      // file offset of the COFF file header
    std::uint32_t optional = 0;  // file offset of the optional header
    std::uint16_t sectionCount = 0;
    std::uint16_t optionalSize = 0;
    std::uint32_t sectionAlignment = 0;
};

Headers readFileHeader(const ImageBytes& file) {
    Headers h;
    const std::uint16_t dosMagic = file.u16(0, "the DOS header's e_magic");
    if (dosMagic != kDosMagic) {
        refuseField(file, "the DOS header's e_magic", 0, dosMagic,
                    "not a PE image, which starts with MZ (0x5a4d)");
    }
    const std::uint32_t peOffset = file.u32(0x3C, "the DOS header's e_lfanew");
    const std::uint32_t signature = file.u32(peOffset, "the PE signature");
    if (signature != kPeSignature) {
        refuseField(file, "the PE signature", peOffset, signature,
                    "not a PE image, whose signature is PE\\0\\0 (0x4550)");
    }
    h.coff = peOffset + 4;
    const std::uint16_t machine = file.u16(h.coff, "Machine");
    if (machine != kMachineAmd64) {
        refuseField(file, "Machine", h.coff, machine, "this machine runs AMD64 images (0x8664) only");
    }
    h.sectionCount = file.u16(h.coff + 2, "NumberOfSections");
    if (h.sectionCount == 0 || h.sectionCount > kMaxSections) {
        refuseField(file, "NumberOfSections", h.coff + 2, h.sectionCount,
                    "an image has 1 to " + std::to_string(kMaxSections));
    }
    h.optionalSize = file.u16(h.coff + 16, "SizeOfOptionalHeader");
    const std::uint16_t characteristics = file.u16(h.coff + 18, "Characteristics");
    if ((characteristics & kFileExecutableImage) == 0) {
        refuseField(file, "Characteristics", h.coff + 18, characteristics,
                    "IMAGE_FILE_EXECUTABLE_IMAGE (0x2) is not set, so this is not a linked image");
    }
    if ((characteristics & kFileRelocsStripped) != 0) {
        refuseField(file, "Characteristics", h.coff + 18, characteristics,
                    "IMAGE_FILE_RELOCS_STRIPPED (0x1) is set, but the image must move: the machine "
                    "loads it at an address of its own choosing");
    }
    h.optional = h.coff + 20;
    return h;
}

void readOptionalHeader(const ImageBytes& file, Headers& h, PeImage& pe) {
    const std::uint32_t o = h.optional;
    if (h.optionalSize < kOptionalHeaderFixedSize) {
        refuseField(file, "SizeOfOptionalHeader", h.coff + 16, h.optionalSize,
                    "a PE32+ optional header has at least " + hex(kOptionalHeaderFixedSize) + " bytes");
    }
    const std::uint16_t magic = file.u16(o, "the optional header's Magic");
    if (magic != kPe32PlusMagic) {
        refuseField(file, "the optional header's Magic", o, magic,
                    "a driver for this machine is PE32+ (0x20b)");
    }
    pe.entryPoint = file.u32(o + 16, "AddressOfEntryPoint");
    pe.preferredBase = file.u64(o + 24, "ImageBase");
    h.sectionAlignment = file.u32(o + 32, "SectionAlignment");
    if (!isPowerOfTwo(h.sectionAlignment) || h.sectionAlignment < kPageSize) {
        refuseField(file, "SectionAlignment", o + 32, h.sectionAlignment,
                    "sections need a power of two of at least the page size (0x1000), so that each "
                    "has rights of its own");
    }
    const std::uint32_t fileAlignment = file.u32(o + 36, "FileAlignment");
    if (!isPowerOfTwo(fileAlignment) || fileAlignment > h.sectionAlignment) {
        refuseField(file, "FileAlignment", o + 36, fileAlignment,
                    "it must be a power of two no larger than SectionAlignment");
    }
    pe.sizeOfImage = file.u32(o + 56, "SizeOfImage");
    if (pe.sizeOfImage == 0 || pe.sizeOfImage > kMaxImageSize) {
        refuseField(file, "SizeOfImage", o + 56, pe.sizeOfImage,
                    "the machine loads images of 1 byte to " + hex(kMaxImageSize) + " bytes");
    }
    pe.sizeOfHeaders = file.u32(o + 60, "SizeOfHeaders");
    const std::uint64_t sectionTableEnd =
        std::uint64_t{o} + h.optionalSize + std::uint64_t{h.sectionCount} * kSectionHeaderSize;
    if (pe.sizeOfHeaders < sectionTableEnd || pe.sizeOfHeaders > file.size() ||
        pe.sizeOfHeaders > pe.sizeOfImage) {
        refuseField(file, "SizeOfHeaders", o + 60, pe.sizeOfHeaders,
                    "the headers must hold the section table (up to " + hex(sectionTableEnd) +
                        ") and lie inside the file (" + hex(file.size()) + " bytes) and the image");
    }
    const std::uint16_t subsystem = file.u16(o + 68, "Subsystem");
    if (subsystem != kSubsystemNative) {
        refuseField(file, "Subsystem", o + 68, subsystem, "a driver image is native (1)");
    }
}

Section readSection(const ImageBytes& file, std::uint32_t at, const Headers& h, const PeImage& pe) {
    std::string rawName;
    for (unsigned i = 0; i < 8; ++i) {
        const char c = static_cast<char>(file.u8(at + i, "a section name"));
        if (c == '\0') {
            break;
        }
        rawName += c;
    }
    Section s;
    s.name = printable(rawName);
    const std::string field = "section " + s.name + "'s ";
    const std::uint32_t virtualSize = file.u32(at + 8, field + "VirtualSize");
    s.virtualAddress = file.u32(at + 12, field + "VirtualAddress");
    const std::uint32_t rawSize = file.u32(at + 16, field + "SizeOfRawData");
    s.fileOffset = file.u32(at + 20, field + "PointerToRawData");
    const std::uint32_t characteristics = file.u32(at + 36, field + "Characteristics");

    s.virtualSize = virtualSize != 0 ? virtualSize : rawSize;
    s.fileSize = std::min(rawSize, s.virtualSize);
    s.readable = (characteristics & kSectionRead) != 0;
    s.writable = (characteristics & kSectionWrite) != 0;
    s.executable = (characteristics & kSectionExecute) != 0;

    if (s.virtualAddress % h.sectionAlignment != 0 ||
        s.virtualAddress < alignUp(pe.sizeOfHeaders, h.sectionAlignment)) {
        refuseField(file, field + "VirtualAddress", at + 12, s.virtualAddress,
                    "a section starts on SectionAlignment (" + hex(h.sectionAlignment) +
                        ") after the headers");
    }
    if (std::uint64_t{s.virtualAddress} + s.virtualSize > pe.sizeOfImage) {
        throw ImageFormatError("section " + s.name + " (RVA " + hex(s.virtualAddress) + ", " +
                               hex(s.virtualSize) + " bytes) runs past SizeOfImage (" +
                               hex(pe.sizeOfImage) + ")");
    }
    if (std::uint64_t{s.fileOffset} + s.fileSize > file.size()) {
        throw ImageFormatError("section " + s.name + "'s data (file offset " + hex(s.fileOffset) +
                               ", " + hex(s.fileSize) + " bytes) runs past the end of the file (" +
                               hex(file.size()) + " bytes)");
    }
    if (s.writable && s.executable) {
        refuseField(file, field + "Characteristics", at + 36, characteristics,
                    "writable and executable at once, which the machine never maps");
    }
    return s;
}

void readSections(const ImageBytes& file, const Headers& h, PeImage& pe) {
    const std::uint32_t table = h.optional + h.optionalSize;
    for (unsigned i = 0; i < h.sectionCount; ++i) {
        Section s = readSection(file, table + i * kSectionHeaderSize, h, pe);
        if (!pe.sections.empty()) {
            const Section& before = pe.sections.back();
            if (s.virtualAddress < alignUp(std::uint64_t{before.virtualAddress} + before.virtualSize, kPageSize)) {
                throw ImageFormatError("section " + s.name + " (RVA " + hex(s.virtualAddress) +
                                       ") does not follow section " + before.name + " (RVA " +
                                       hex(before.virtualAddress) + ", " + hex(before.virtualSize) +
                                       " bytes) on a page of its own");
            }
        }
        pe.sections.push_back(std::move(s));
    }
}

// Whether [rva, rva + size) is copied from the file: inside the headers or inside the file
// data of one section.
bool backedByFile(const PeImage& pe, std::uint32_t rva, std::uint32_t size) {
    const std::uint64_t end = std::uint64_t{rva} + size;
    if (end <= pe.sizeOfHeaders) {
        return true;
    }
    return std::any_of(pe.sections.begin(), pe.sections.end(), [&](const Section& s) {
        return rva >= s.virtualAddress && end <= std::uint64_t{s.virtualAddress} + s.fileSize;
    });
}

void readDirectories(const ImageBytes& file, const Headers& h, PeImage& pe) {
    const std::uint32_t countOffset = h.optional + kOptionalHeaderFixedSize - 4;
    const std::uint32_t declared = file.u32(countOffset, "NumberOfRvaAndSizes");
    const unsigned count = std::min<std::uint32_t>(declared, kDirectoryCount);
    if (kOptionalHeaderFixedSize + 8 * count > h.optionalSize) {
        refuseField(file, "NumberOfRvaAndSizes", countOffset, declared,
                    "more directories than SizeOfOptionalHeader (" + hex(h.optionalSize) + ") holds");
    }
    for (unsigned i = 0; i < count; ++i) {
        const std::uint32_t at = h.optional + kOptionalHeaderFixedSize + 8 * i;
        const std::string name = std::string("the ") + kDirectoryNames[i] + " directory";
        const DataDirectory d{file.u32(at, name), file.u32(at + 4, name)};
        if (d.size == 0) {
            continue;
        }
        const std::string described = name + " (" + (i == kCertificateDirectory ? "file offset " : "RVA ") +
                                      hex(d.rva) + ", " + hex(d.size) + " bytes, listed at " +
                                      file.where(at) + ")";
        const std::uint64_t limit = i == kCertificateDirectory ? file.size() : pe.sizeOfImage;
        if (std::uint64_t{d.rva} + d.size > limit) {
            throw ImageFormatError(described + " lies outside the " +
                                   (i == kCertificateDirectory ? "file" : "image"));
        }
        if (i != kImportDirectory && i != kRelocationDirectory) {
            continue;
        }
        if (!backedByFile(pe, d.rva, d.size)) {
            throw ImageFormatError(described + " does not lie within the file data of one section");
        }
        (i == kImportDirectory ? pe.imports : pe.relocations) = d;
    }
}

void checkEntryPoint(const ImageBytes& file, const Headers& h, const PeImage& pe) {
    const bool inCode = std::any_of(pe.sections.begin(), pe.sections.end(), [&](const Section& s) {
        return s.executable && pe.entryPoint >= s.virtualAddress &&
               pe.entryPoint < std::uint64_t{s.virtualAddress} + s.virtualSize;
    });
    if (!inCode) {
        refuseField(file, "AddressOfEntryPoint", h.optional + 16, pe.entryPoint,
                    "it lies in no executable section");
    }
}

}  // namespace

PeImage parsePeImage(std::span<const std::uint8_t> bytes) {
    const ImageBytes file(bytes, ImageBytes::Space::File);
    PeImage pe;
    Headers h = readFileHeader(file);
    readOptionalHeader(file, h, pe);
    readSections(file, h, pe);
    readDirectories(file, h, pe);
    checkEntryPoint(file, h, pe);
    return pe;
}

}  // namespace host::image
