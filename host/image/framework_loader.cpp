#include "host/image/framework_loader.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace host::image {

namespace {

std::atomic<FrameworkLoader*> currentLoader{nullptr};

constexpr char16_t kComponent[] = u"KmdfLibrary";

// An image calls these with whatever arguments the framework function takes; the Windows
// convention leaves them to the caller, so a function of no parameters may stand in for any.
[[noreturn]] void frameworkFunctionMissing(std::size_t index) {
    std::fprintf(stderr,
                 "bugcheck: the driver called entry %zu of the framework's function table, "
                 "which this machine does not provide\n",
                 index);
    std::abort();
}

template <std::size_t Index>
[[noreturn]] NTAPI void frameworkTrap() {
    frameworkFunctionMissing(Index);
}

template <std::size_t... Index>
std::array<FrameworkFunction, sizeof...(Index)> makeTraps(std::index_sequence<Index...>) {
    return {reinterpret_cast<FrameworkFunction>(&frameworkTrap<Index>)...};
}

const std::array<FrameworkFunction, FrameworkLoader::kMaxFunctions>& traps() {
    static const auto all = makeTraps(std::make_index_sequence<FrameworkLoader::kMaxFunctions>());
    return all;
}

// Compares the image's component name with ours, reading no further than the first difference.
bool isKmdfLibrary(const WCHAR* component) {
    for (std::size_t i = 0;; ++i) {
        if (component[i] != kComponent[i]) {
            return false;
        }
        if (kComponent[i] == u'\0') {
            return true;
        }
    }
}

NTAPI NTSTATUS versionBind(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath,
                                             WdfBindInfo* info, WDF_DRIVER_GLOBALS** globals) {
    FrameworkLoader* loader = FrameworkLoader::current();
    if (loader == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return loader->bind(driver, registryPath, info, globals);
}

NTAPI NTSTATUS versionUnbind(PUNICODE_STRING registryPath, WdfBindInfo* info,
                                               WDF_DRIVER_GLOBALS* globals) {
    FrameworkLoader* loader = FrameworkLoader::current();
    if (loader == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return loader->unbind(registryPath, info, globals);
}

const ExportEntry kLoaderExports[] = {
    {"WdfVersionBind", &versionBind},
    {"WdfVersionUnbind", &versionUnbind},
};

NTSTATUS checkBindInfo(const WdfBindInfo* info, WDF_DRIVER_GLOBALS** globals, ULONG minorVersion,
                       std::size_t functionCount) {
    if (info == nullptr || globals == nullptr || info->Size != FrameworkLoader::kBindInfoSize) {
        return STATUS_INVALID_PARAMETER;
    }
    if (info->Component == nullptr || !isKmdfLibrary(info->Component)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (info->Version.Major != FrameworkLoader::kMajorVersion || info->Version.Minor > minorVersion) {
        return STATUS_NOT_SUPPORTED;
    }
    if (info->FuncTable == nullptr || info->FuncCount == 0 || info->FuncCount > functionCount) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

}  // namespace

FrameworkLoader::FrameworkLoader(FrameworkSide& framework) : framework_(framework) {
    const std::span<const FrameworkFunction> functions = framework.functions();
    if (functions.size() > kMaxFunctions) {
        throw std::length_error("framework loader: a table of " + std::to_string(functions.size()) +
                                " functions, above the " + std::to_string(kMaxFunctions) + " it has traps for");
    }
    table_.reserve(functions.size());
    for (std::size_t i = 0; i < functions.size(); ++i) {
        table_.push_back(functions[i] != nullptr ? functions[i] : traps()[i]);
    }
    FrameworkLoader* expected = nullptr;
    if (!currentLoader.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "framework loader: only one may answer WDFLDR.SYS at a time\n");
        std::abort();
    }
}

FrameworkLoader::~FrameworkLoader() {
    currentLoader.store(nullptr);
    for (WDF_DRIVER_GLOBALS* globals : bound_) {
        framework_.destroyDriverGlobals(globals);
    }
}

FrameworkLoader* FrameworkLoader::current() { return currentLoader.load(); }

ExportModule FrameworkLoader::exports() { return {"WDFLDR.SYS", kLoaderExports}; }

NTSTATUS FrameworkLoader::bind(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath, WdfBindInfo* info,
                               WDF_DRIVER_GLOBALS** globals) {
    const NTSTATUS valid = checkBindInfo(info, globals, framework_.minorVersion(), table_.size());
    if (valid != STATUS_SUCCESS) {
        if (globals != nullptr) {
            *globals = nullptr;
        }
        return valid;
    }
    WDF_DRIVER_GLOBALS* created = nullptr;
    const NTSTATUS status = framework_.createDriverGlobals(driver, registryPath, &created);
    if (!NT_SUCCESS(status)) {
        *globals = nullptr;
        return status;
    }
    {
        const std::lock_guard lock(mutex_);
        bound_.push_back(created);
    }
    if (info->FuncCount <= kLargestCopiedTable) {
        std::copy_n(table_.begin(), info->FuncCount, info->FuncTable);
    } else {
        // FuncTable points at the image's own table pointer (WdfFunctions).
        const FrameworkFunction* const address = table_.data();
        std::memcpy(info->FuncTable, &address, sizeof address);
    }
    *globals = created;
    return STATUS_SUCCESS;
}

NTSTATUS FrameworkLoader::unbind(PUNICODE_STRING, WdfBindInfo*, WDF_DRIVER_GLOBALS* globals) {
    {
        const std::lock_guard lock(mutex_);
        const auto found = std::find(bound_.begin(), bound_.end(), globals);
        if (globals == nullptr || found == bound_.end()) {
            return STATUS_INVALID_PARAMETER;
        }
        bound_.erase(found);
    }
    framework_.destroyDriverGlobals(globals);
    return STATUS_SUCCESS;
}

}  // namespace host::image
