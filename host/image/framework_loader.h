// WDFLDR.SYS on the machine: the framework loader a driver image's entry stub binds through.
// WdfVersionBind checks the image's bind record against the machine's framework, has the
// framework create the driver's globals, and fills the image's framework function table;
// WdfVersionUnbind gives the globals back. Both are exported to images with the Windows x64
// calling convention.
//
// The framework itself stays where it is: it hands the loader its function table and the
// creation of driver globals through FrameworkSide. Entries of the table it leaves empty become
// traps: an image cannot be checked at load for which framework functions it will call, so
// calling one the machine lacks stops the machine with a message naming the table index.
#pragma once

#include <cstddef>
#include <mutex>
#include <span>
#include <vector>

#include "host/image/export_tables.h"
#include "platform/wdm.h"

struct WDF_DRIVER_GLOBALS;

namespace host::image {

using FrameworkFunction = void (*)();

// The bind record as the framework's loader interface defines it, in the Windows x64 layout the
// image writes.
struct WdfVersion {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
};

struct WdfBindInfo {
    ULONG Size;
    WCHAR* Component;
    WdfVersion Version;
    ULONG FuncCount;
    FrameworkFunction* FuncTable;
    void* Module;  // the loader's own; the machine leaves it alone
};
static_assert(sizeof(WdfBindInfo) == 48);
static_assert(offsetof(WdfBindInfo, Component) == 8 && offsetof(WdfBindInfo, Version) == 16 &&
              offsetof(WdfBindInfo, FuncCount) == 28 && offsetof(WdfBindInfo, FuncTable) == 32 &&
              offsetof(WdfBindInfo, Module) == 40);

// What the machine's framework gives its loader.
class FrameworkSide {
public:
    // The minor version of framework 1.x that the machine offers.
    virtual ULONG minorVersion() const = 0;
    // The function table, indexed as the framework's WDFFUNCENUM: entry i is the function of
    // index i, nullptr where the machine has none. Its size is the most an image may bind.
    virtual std::span<const FrameworkFunction> functions() const = 0;
    virtual NTSTATUS createDriverGlobals(PDRIVER_OBJECT driver, PCUNICODE_STRING registryPath,
                                         WDF_DRIVER_GLOBALS** globals) = 0;
    virtual void destroyDriverGlobals(WDF_DRIVER_GLOBALS* globals) = 0;

protected:
    ~FrameworkSide() = default;
};

class FrameworkLoader {
public:
    static constexpr ULONG kBindInfoSize = sizeof(WdfBindInfo);
    static constexpr ULONG kMajorVersion = 1;
    // Framework 1.13's table size: up to it the framework copies its table into the image's;
    // above it (1.15 on) it writes the address of its own table where FuncTable points.
    static constexpr ULONG kLargestCopiedTable = 438;
    // The largest function table there are traps for; every released framework's fits.
    static constexpr std::size_t kMaxFunctions = 512;

    // WdfVersionBind and WdfVersionUnbind answer for this loader while it lives; at most one
    // exists at a time (a second aborts). The framework must outlive it. Throws
    // std::length_error for a table above kMaxFunctions.
    explicit FrameworkLoader(FrameworkSide& framework);
    // Destroys the globals of drivers that never unbound.
    ~FrameworkLoader();
    FrameworkLoader(const FrameworkLoader&) = delete;
    FrameworkLoader& operator=(const FrameworkLoader&) = delete;

    // The module images import the two calls from: "WDFLDR.SYS".
    static ExportModule exports();

    // The table images bind: the framework's functions, a trap wherever it has none.
    std::span<const FrameworkFunction> table() const { return table_; }

    // Status codes: STATUS_INVALID_PARAMETER for a missing argument, a record of another size,
    // or a FuncCount of 0 or above the framework's table (as the framework's own check answers);
    // STATUS_OBJECT_NAME_NOT_FOUND for a component other than "KmdfLibrary"; STATUS_NOT_SUPPORTED
    // for a major version other than 1 or a minor version above the framework's; the
    // framework's own status when it cannot create the globals. On failure *globals (when
    // given) is nullptr and the image's table is untouched.
    NTSTATUS bind(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath, WdfBindInfo* info,
                  WDF_DRIVER_GLOBALS** globals);
    // STATUS_INVALID_PARAMETER for globals this loader did not hand out or already took back.
    NTSTATUS unbind(PUNICODE_STRING registryPath, WdfBindInfo* info, WDF_DRIVER_GLOBALS* globals);

    // The loader WDFLDR.SYS's exports answer for; nullptr when none exists.
    static FrameworkLoader* current();

private:
    FrameworkSide& framework_;
    std::vector<FrameworkFunction> table_;
    std::mutex mutex_;
    std::vector<WDF_DRIVER_GLOBALS*> bound_;  // guarded by mutex_
};

}  // namespace host::image
