#include "host/fault_plan.h"
#include "host/machine.h"
#include "platform/rtl.h"

NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* versionInformation) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::VersionQuery)) {
        return *failure;
    }
    if (versionInformation == nullptr ||
        versionInformation->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW)) {
        return STATUS_INVALID_PARAMETER;
    }
    const host::MachineOptions& options = machine.options();
    versionInformation->dwMajorVersion = options.osMajor;
    versionInformation->dwMinorVersion = options.osMinor;
    versionInformation->dwBuildNumber = options.osBuild;
    versionInformation->dwPlatformId = 2;  // the NT family
    RtlZeroMemory(versionInformation->szCSDVersion, sizeof(versionInformation->szCSDVersion));
    return STATUS_SUCCESS;
}
