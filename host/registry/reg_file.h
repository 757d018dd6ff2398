// Loads standard registry export files ("Windows Registry Editor Version 5.00") into the
// machine's registry, so tests, scenarios and the command line can configure the driver the
// way an administrator would.
//
// Accepted: UTF-8 (with or without BOM) or UTF-16LE with BOM; ';' comments; [key] and [-key];
// "name"="text" with \\ and \" escapes, dword:, hex:, hex(N): for any type number N (hex(2)
// expandable string, hex(7) multi-string, hex(b) qword), "name"=- to delete, @ for the default
// value, and '\' continuation of hex data. Roots: HKEY_LOCAL_MACHINE (HKLM), HKEY_USERS (HKU),
// HKEY_CLASSES_ROOT (HKCR), HKEY_CURRENT_CONFIG; also \REGISTRY\... paths.
// A file with an error changes nothing.
#pragma once

#include <string>
#include <string_view>

#include "host/registry/text_file_error.h"

namespace host {

class Registry;

class RegFileError : public TextFileError {
public:
    using TextFileError::TextFileError;
};

// text is the file's bytes (any accepted encoding); source names it in errors.
void loadRegText(Registry& registry, std::string_view text, const std::string& source = "<text>");
void loadRegFile(Registry& registry, const std::string& path);

}  // namespace host
