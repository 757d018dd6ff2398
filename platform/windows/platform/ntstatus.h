// Status codes: the kernel's own (ntstatus.h comes with ntifs.h).
#pragma once

#include "platform/types.h"
