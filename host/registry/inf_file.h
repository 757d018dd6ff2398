// Installs a driver package from its INF file as the system's device installer does for one
// device: the model that names the device's hardware ID for x64 (an NTamd64 decoration of the
// manufacturer's models), the install section chosen for NT on x64, its .Services section with
// each AddService (the service key with Type, Start, ErrorControl, ImagePath and DisplayName,
// the service's add-registry sections with HKR at the service key, the event-log source), and
// the framework's .Wdf section.
//
// What the machine has no counterpart for (copying the files, the device's hardware-key
// entries such as its security descriptor) is still read and checked, so a package that the
// system would refuse is refused here too.
//
// Syntax: ';' comments outside quotes, [sections] (names without regard to case, repeated
// sections joined), "key = field, field" and "field, field" entries, quoted fields with ""
// for a quote, %strkey% from [Strings], %% for a percent sign, %10% %11% %12% directory IDs,
// and '\' at the end of a line to continue it. UTF-8, with or without a byte-order mark.
// Every error names the file and the line.
#pragma once

#include <string>
#include <string_view>

#include "host/registry/text_file_error.h"

namespace host {

class Registry;

class InfError : public TextFileError {
  public:
    using TextFileError::TextFileError;
};

struct InfInstallation {
    std::u16string service;          // the service that drives the device
    std::u16string serviceKey;       // its key under CurrentControlSet\Services
    std::string kmdfLibraryVersion;  // from the .Wdf section
};

// source names the file in errors. Nothing is written unless the whole package checks out.
InfInstallation installInf(Registry& registry, std::string_view text, std::string_view hardwareId,
                           const std::string& source = "<inf>");

}  // namespace host
