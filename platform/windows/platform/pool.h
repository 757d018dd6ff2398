// Kernel pool: the kernel's own calls.
#pragma once

#include "platform/types.h"
