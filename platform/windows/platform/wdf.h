// The driver framework: its own headers, and one thing g++ lacks.
#pragma once

#include "platform/usb.h"

#include <wdf.h>
#include <wdfusb.h>

// The framework's context-type macro declares its type record `extern "C" extern const` with
// Microsoft's section and selectany specifiers, which g++ refuses. The record is the same: its
// size, the type's name, the context's size, itself as the unique type, no callback.
#undef WDF_DECLARE_TYPE_AND_GLOBALS
#define WDF_DECLARE_TYPE_AND_GLOBALS(_contexttype, _UniqueType, _GetUniqueType, _section)  \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                         \
    WDF_EXTERN_C_START                                                                      \
    __declspec(selectany) extern const WDF_OBJECT_CONTEXT_TYPE_INFO                         \
        WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {                                        \
            sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), const_cast<PCHAR>(#_contexttype),         \
            sizeof(_contexttype), _UniqueType, _GetUniqueType};                             \
    WDF_EXTERN_C_END
