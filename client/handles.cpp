// Interfaces and handles.
#include "client/updater.h"

namespace client {

std::vector<InterfaceEntry> listInterfaces(const GUID& classGuid) {
    std::vector<InterfaceEntry> entries;
    for (const host::InterfaceInstance& instance : host::user::listInterfaces(classGuid)) {
        entries.push_back({instance.symbolicLink, instance.deviceInstanceId});
    }
    return entries;
}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        close();
        raw_ = other.release();
    }
    return *this;
}

Handle::~Handle() { close(); }

NTSTATUS Handle::close() {
    if (!raw_.valid()) {
        return STATUS_INVALID_HANDLE;
    }
    return host::user::closeHandle(release());
}

OpenResult open(const GUID& classGuid, unsigned index) {
    host::UserHandle raw;
    const NTSTATUS status = host::user::openInterface(classGuid, index, &raw);
    return {status, Handle(raw)};
}

OpenResult openLink(std::u16string_view symbolicLink) {
    host::UserHandle raw;
    const NTSTATUS status = host::user::openSymbolicLink(symbolicLink, &raw);
    return {status, Handle(raw)};
}

}  // namespace client
