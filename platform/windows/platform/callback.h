// Named callback objects: the kernel's own.
#pragma once

#include "platform/types.h"
