#include "host/io/user_mode.h"

#include "host/machine.h"

namespace host::user {

std::vector<InterfaceInstance> listInterfaces(const GUID& classGuid) {
    return Machine::current().interfaces().visible(classGuid);
}

NTSTATUS openInterface(const GUID& classGuid, unsigned index, UserHandle* handle) {
    const std::vector<InterfaceInstance> found = listInterfaces(classGuid);
    if (index >= found.size()) {
        if (handle != nullptr) {
            *handle = {};
        }
        return STATUS_NO_MORE_ENTRIES;
    }
    return openSymbolicLink(found[index].symbolicLink, handle);
}

NTSTATUS openSymbolicLink(std::u16string_view symbolicLink, UserHandle* handle) {
    return Machine::current().io().open(symbolicLink, handle);
}

NTSTATUS closeHandle(UserHandle handle) { return Machine::current().io().close(handle); }

IoctlResult deviceIoControl(UserHandle handle, ULONG ioControlCode,
                            std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
    return Machine::current().io().deviceIoControl(handle, ioControlCode, input, output);
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    Machine::current().clock().sleepMicros(std::uint64_t{milliseconds} * 1000);
}

std::uint64_t clockMicros() { return Machine::current().clock().nowMicros(); }

}  // namespace host::user
