// Registry keys and values, object attributes and names: the kernel's own.
#pragma once

#include "platform/types.h"
