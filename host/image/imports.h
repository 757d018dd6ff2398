// Import binding: each function the image imports, found by module and name in the machine's
// export tables, its address written into the image's import address table.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/image/export_tables.h"
#include "host/image/pe_image.h"

namespace host::image {

// What could not be bound. The image is refused when either list has anything, and the refusal
// names every entry, never only the first.
struct UnboundImports {
    std::vector<std::string> missing;    // "ntoskrnl.exe!KeBugCheckEx", once each, in image order
    std::vector<std::string> byOrdinal;  // "HAL.dll ordinal 7": the machine binds by name only

    bool empty() const { return missing.empty() && byOrdinal.empty(); }
    // "imports ntoskrnl.exe!KeBugCheckEx, HAL.dll!KfRaiseIrql, which this machine does not provide"
    std::string describe() const;
};

// Reads the import directory from the mapped image and binds what the tables have. A malformed
// directory (a descriptor, table or name outside the image, a name that is no name) throws an
// ImageFormatError.
UnboundImports bindImports(std::span<std::uint8_t> image, DataDirectory directory, const ExportTables& exports);

}  // namespace host::image
