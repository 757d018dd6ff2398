#include "host/image/imports.h"

#include <algorithm>

#include "host/image/image_bytes.h"

namespace host::image {

namespace {

constexpr std::uint32_t kDescriptorSize = 20;
constexpr std::uint64_t kOrdinalFlag = 1ull << 63;

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) {
        out += (out.empty() ? "" : ", ") + item;
    }
    return out;
}

void addOnce(std::vector<std::string>& list, std::string item) {
    if (std::find(list.begin(), list.end(), item) == list.end()) {
        list.push_back(std::move(item));
    }
}

// One module's lookup table: each entry names a function (or gives its number), and the entry
// at the same index of the address table receives its address.
void bindModule(std::span<std::uint8_t> image, const ImageBytes& bytes, const std::string& module,
                std::uint32_t lookupTable, std::uint32_t addressTable, const ExportTables& exports,
                UnboundImports& unbound) {
    for (std::uint64_t index = 0;; ++index) {
        const std::uint64_t lookup = bytes.u64(lookupTable + 8 * index, "an import lookup entry of " + module);
        if (lookup == 0) {
            return;
        }
        const std::uint64_t slot = addressTable + 8 * index;
        bytes.require(slot, 8, "an import address entry of " + module);
        if ((lookup & kOrdinalFlag) != 0) {
            if ((lookup & ~kOrdinalFlag) > 0xFFFF) {
                throw ImageFormatError("the import lookup entry of " + module + " at RVA " +
                                       hex(lookupTable + 8 * index) + " is " + hex(lookup) +
                                       ": an ordinal has 16 bits");
            }
            addOnce(unbound.byOrdinal, module + " ordinal " + std::to_string(lookup & 0xFFFF));
            continue;
        }
        if (lookup > 0x7FFFFFFF) {
            throw ImageFormatError("the import lookup entry of " + module + " at RVA " +
                                   hex(lookupTable + 8 * index) + " is " + hex(lookup) +
                                   ", neither an ordinal nor the RVA of a name");
        }
        // A two-byte hint precedes the name; the machine looks names up and needs no hint.
        const std::string function = bytes.name(lookup + 2, "an import name of " + module);
        const ExportedFunction address = exports.find(module, function);
        if (address == nullptr) {
            addOnce(unbound.missing, module + "!" + function);
            continue;
        }
        storeU64(image, slot, reinterpret_cast<std::uintptr_t>(address));
    }
}

}  // namespace

std::string UnboundImports::describe() const {
    std::string text;
    if (!missing.empty()) {
        text = "imports " + joined(missing) + ", which this machine does not provide";
    }
    if (!byOrdinal.empty()) {
        text += (text.empty() ? "" : "; it ") + std::string("imports ") + joined(byOrdinal) +
                " by number, and the machine binds imports by name only";
    }
    return text;
}

UnboundImports bindImports(std::span<std::uint8_t> image, DataDirectory directory, const ExportTables& exports) {
    UnboundImports unbound;
    if (directory.size == 0) {
        return unbound;
    }
    const ImageBytes bytes(image, ImageBytes::Space::Image);
    // The list ends with an empty descriptor, which linkers count in the directory's size or
    // not: it is looked for wherever it is.
    for (std::uint64_t at = directory.rva;; at += kDescriptorSize) {
        const std::uint32_t lookupTable = bytes.u32(at, "an import descriptor's OriginalFirstThunk");
        const std::uint32_t nameRva = bytes.u32(at + 12, "an import descriptor's Name");
        const std::uint32_t addressTable = bytes.u32(at + 16, "an import descriptor's FirstThunk");
        if (nameRva == 0 && addressTable == 0) {
            return unbound;
        }
        if (nameRva == 0 || addressTable == 0) {
            throw ImageFormatError("the import descriptor at RVA " + hex(at) + " has " +
                                   (nameRva == 0 ? "no module name" : "no import address table"));
        }
        const std::string module = bytes.name(nameRva, "the module name of the import descriptor at RVA " + hex(at));
        // Without a lookup table the address table itself names the imports, as old linkers left it.
        bindModule(image, bytes, module, lookupTable != 0 ? lookupTable : addressTable, addressTable, exports,
                   unbound);
    }
}

}  // namespace host::image
