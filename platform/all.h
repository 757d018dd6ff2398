// Everything the driver logic may call.
#pragma once

#include "platform/callback.h"
#include "platform/errorlog.h"
#include "platform/ntstatus.h"
#include "platform/pool.h"
#include "platform/registry.h"
#include "platform/rtl.h"
#include "platform/sync.h"
#include "platform/trace.h"
#include "platform/types.h"
#include "platform/usb.h"
#include "platform/wdf.h"
#include "platform/wdm.h"
