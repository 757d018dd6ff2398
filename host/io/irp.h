// The machine's side of IRPs: what lower drivers of the host (the USB bus, test filters) need
// beyond the driver's contract, and what tests inspect. The driver itself sees only
// platform/wdm.h.
//
// Ownership rule the machine enforces: from IofCallDriver until completion either reaches the
// top of the stack or a completion routine answers STATUS_MORE_PROCESSING_REQUIRED, the IRP
// belongs to the lower stack. Freeing it in that window, completing it twice, or completing it
// with a cancel routine still set is a driver bug and aborts the process with a message.
#pragma once

#include <cstdint>

#include "platform/kernel_helpers.h"
#include "platform/pool.h"
#include "platform/wdm.h"

namespace host::io {

// Pool tag of every IRP, so leaked IRPs show in the pool's report.
inline constexpr ULONG kIrpTag = PoolTag("Irp ");

// A lower driver's cancel routine. It runs on the thread that called IoCancelIrp, after the
// routine has been taken out of the IRP, and must complete the IRP (now or later).
using CancelRoutine = void (*)(PDEVICE_OBJECT deviceObject, PIRP irp);

// Sets the IRP's cancel routine and returns the one it replaces (nullptr when IoCancelIrp has
// already taken it, which tells a completing driver that the cancel routine owns the IRP).
CancelRoutine setCancelRoutine(PIRP irp, CancelRoutine routine);

// True between IofCallDriver and the moment completion gives the IRP back to its sender.
bool ownedByLowerStack(PIRP irp);

// The time-out its sender waits with, in milliseconds (0: unbounded or unknown). The framework
// sets it on the requests it sends, so the bus can pass it on to the device end.
void setSenderTimeoutMs(PIRP irp, std::uint32_t milliseconds);
std::uint32_t senderTimeoutMs(PIRP irp);

// IoCopyCurrentIrpStackLocationToNext: the next location gets the current one's parameters,
// without its completion routine.
void copyCurrentStackLocationToNext(PIRP irp);
// IoSkipCurrentIrpStackLocation: the next driver reuses the current location.
void skipCurrentStackLocation(PIRP irp);

}  // namespace host::io
