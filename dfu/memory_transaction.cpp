#include "dfu/memory_transaction.h"

#include "dfu/dfu_requests.h"
#include "dfu/dfuse_commands.h"

NTSTATUS PointAt(WDFDEVICE device, ULONG address) {
    NTSTATUS status = DfuSetIdle(device);
    if (NT_SUCCESS(status)) {
        status = ST32DfuSetAddressPointer(device, address);
    }
    if (NT_SUCCESS(status)) {
        status = DfuSetIdle(device);
    }
    return status;
}
