// The system error log's packets and calls: the kernel's own.
#pragma once

#include "platform/types.h"
