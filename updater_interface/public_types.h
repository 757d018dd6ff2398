// The types the control interface is written in. A Windows program gets the system's own
// (<windows.h>, and CTL_CODE with the METHOD_ and FILE_ constants from <winioctl.h>), so it can
// include these headers before or after its own system headers; the driver, in the kernel or on
// the emulated machine, gets them from platform/.
#pragma once

#include <cstddef>

#if defined(_WIN32) && !defined(_KERNEL_MODE)
#include <windows.h>
#include <winioctl.h>
#else
#include "platform/types.h"
#endif
