// Included first by the one source that gives the system's GUIDs their storage: from here on the
// system headers' GUID declarations are definitions (of selectable storage, so a second copy
// elsewhere does no harm).
#pragma once

#include <initguid.h>
