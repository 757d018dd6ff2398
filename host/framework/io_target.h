// The framework's I/O target: the next-lower device of a framework device, to which requests
// are sent synchronously with a time-out. The USB target device sends its own standard
// requests the same way.
#pragma once

#include "host/framework/object.h"

namespace host::fx {

class IoTarget final : public Object {
  public:
    IoTarget(Object* parent, PDEVICE_OBJECT target);
    PDEVICE_OBJECT target() const { return target_; }

  protected:
    void onDelete() override;

  private:
    PDEVICE_OBJECT target_;
};

struct SyncSendResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};

// Sends an internal device control with Argument1, Argument2 and Argument4 to target in an IRP
// of the framework's own and waits for it. timeout: relative, in 100 ns (negative); 0 waits
// without limit. When the time-out runs out the IRP is cancelled and, once the lower driver
// has given it back, a cancelled request reports STATUS_IO_TIMEOUT.
SyncSendResult sendInternalIoctlSynchronously(PDEVICE_OBJECT target, ULONG ioControlCode,
                                              PVOID argument1, PVOID argument2, PVOID argument4,
                                              LONGLONG timeout);

}  // namespace host::fx
