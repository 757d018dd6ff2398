// What a user-mode program of the machine sees of the I/O manager: the device interfaces of a
// class, handles opened on them, and I/O controls. The calls act on the current machine, as a
// program's system calls act on the system it runs on.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "host/io/device_interfaces.h"
#include "host/io/io_manager.h"

namespace host::user {

// The visible interfaces of a class, in the order their devices registered them.
std::vector<InterfaceInstance> listInterfaces(const GUID& classGuid);
// Opens the index-th visible interface of the class; STATUS_NO_MORE_ENTRIES past the last.
NTSTATUS openInterface(const GUID& classGuid, unsigned index, UserHandle* handle);
NTSTATUS openSymbolicLink(std::u16string_view symbolicLink, UserHandle* handle);
NTSTATUS closeHandle(UserHandle handle);
// output: the caller's buffer of the output length (an in-direct code sends its contents).
IoctlResult deviceIoControl(UserHandle handle, ULONG ioControlCode,
                            std::span<const std::uint8_t> input, std::span<std::uint8_t> output);
// A program's own waits and time stamps go through the machine's clock too, so that a program
// polling a device runs at once under the virtual clock and for real under the real one.
void sleepMilliseconds(std::uint32_t milliseconds);
std::uint64_t clockMicros();

}  // namespace host::user
