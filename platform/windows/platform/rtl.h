// Run-time library routines: counted strings, the version query and the safe string routines.
#pragma once

#include "platform/types.h"

#include <ntstrsafe.h>
