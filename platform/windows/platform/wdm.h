// The I/O manager's objects, IRPs, device properties and interfaces: the kernel's own.
#pragma once

#include "platform/types.h"
