// Cutting the instance string out of the full name of a device's hardware key. The copy and
// the query itself are declared with the other port services (usb/port_services.h).
#pragma once

#include "platform/types.h"

// name: characters of the key's full name, which this cuts with NULs as it searches backward
// from the last character; the first character is never looked at. Drops the last component
// and, for a device without a serial number, the last two &-separated parts of the instance id.
// FALSE when a search finds nothing; otherwise *instance points into name.
BOOLEAN FindInstanceStringInKeyName(PWSTR name, SIZE_T characters, BOOLEAN hasSerialNumber,
                                    PCWSTR* instance);
