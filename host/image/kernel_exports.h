// What the machine exports to a loaded driver image from the kernel's own modules: ntoskrnl.exe
// (the kernel services, its run-time library and the C run-time calls a compiler emits), HAL.dll
// and USBD.SYS. Each entry is the machine's own function, with the Windows x64 convention, under
// the name an image imports it by. docs/windows.md lists them.
#pragma once

#include <span>

#include "host/image/export_tables.h"

namespace host::image {

std::span<const ExportModule> kernelExportModules();

}  // namespace host::image
