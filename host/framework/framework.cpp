#include "host/framework/framework.h"

#include <cstdio>
#include <cstdlib>

namespace host::fx {

Framework::Framework() = default;
Framework::~Framework() = default;

PWDF_DRIVER_GLOBALS Framework::bind(std::u16string_view service) {
    std::lock_guard lock(mutex_);
    if (globals_ != nullptr) {
        return nullptr;
    }
    globals_ = std::make_unique<WDF_DRIVER_GLOBALS>();
    globals_->DisplaceDriverUnload = TRUE;
    // The service name in the globals' 31 characters, as the framework keeps it for its own
    // diagnostics; services are named in ASCII.
    std::size_t i = 0;
    for (; i < service.size() && i + 1 < sizeof(globals_->DriverName); ++i) {
        globals_->DriverName[i] = service[i] < 0x80 ? static_cast<CHAR>(service[i]) : '?';
    }
    globals_->DriverName[i] = '\0';
    return globals_.get();
}

void Framework::unbind(PWDF_DRIVER_GLOBALS globals) {
    std::lock_guard lock(mutex_);
    if (globals == nullptr || globals != globals_.get()) {
        std::fprintf(stderr, "framework: unbind with globals it did not hand out\n");
        std::abort();
    }
    globals_.reset();
}

PWDF_DRIVER_GLOBALS Framework::globals() const {
    std::lock_guard lock(mutex_);
    return globals_.get();
}

}  // namespace host::fx

// The globals of a driver compiled into this program. A Windows image gets its own from the
// framework's loader through its entry stub; for a driver linked in, the machine binds these
// before its entry point runs (PnpManager::loadDriver).
PWDF_DRIVER_GLOBALS WdfDriverGlobals = nullptr;
