// What the machine exports to a loaded image: one table per module (ntoskrnl.exe, HAL.dll,
// USBD.SYS, WDFLDR.SYS), each a list of names and the machine's functions that answer to them.
// The tables are data, so what the machine provides can be listed, and an image that imports
// anything else is refused when it is loaded rather than when it calls.
#pragma once

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace host::image {

// An exported function whatever its type: callers cast it back to the type they call.
using ExportedFunction = void (*)();

struct ExportEntry {
    // Any function the image may call; it must follow the Windows x64 calling convention
    // (NTAPI), which its type cannot show here.
    template <typename Function>
        requires std::is_function_v<Function>
    ExportEntry(std::string_view exportName, Function* function)
        : name(exportName), function(reinterpret_cast<ExportedFunction>(function)) {}

    std::string_view name;
    ExportedFunction function;
};

struct ExportModule {
    std::string_view name;  // as images import it, e.g. "ntoskrnl.exe"
    std::span<const ExportEntry> entries;
};

class ExportTables {
public:
    // Throws std::invalid_argument when a module is given twice (in any case) or a module lists
    // a name twice: an import would have two answers.
    explicit ExportTables(std::span<const ExportModule> modules);

    // Modules match without regard to ASCII case, as the system's loader matches them; function
    // names match exactly. nullptr when the machine has no such export.
    ExportedFunction find(std::string_view module, std::string_view function) const;

private:
    std::map<std::string, std::map<std::string, ExportedFunction, std::less<>>, std::less<>> modules_;
};

}  // namespace host::image
