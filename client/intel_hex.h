// Intel HEX text: data (00), end of file (01), extended segment address (02), start segment
// address (03), extended linear address (04) and start linear address (05) records, each with
// its checksum. Start addresses say where a program begins, not what is written, and are
// accepted and not kept.
#pragma once

#include <string>
#include <string_view>

#include "client/firmware_image.h"

namespace client {

// Contiguous data records become one element (alternate setting 0). ImageError naming `name`
// and the line of the first fault; overlapping data is refused.
FirmwareImage parseIntelHex(std::string_view text, const std::string& name);

// 16 data bytes a record, an extended linear address record wherever the upper half changes.
std::string writeIntelHex(const FirmwareImage& image);

}  // namespace client
