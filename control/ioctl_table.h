// The table the default queue dispatches by: per control code the buffers it retrieves, the
// precondition it checks and the body that performs it. Every request is completed once, by
// the dispatcher, with the status and information the body leaves.
#pragma once

#include <span>

#include "context/device_context.h"

struct IoctlCall {
    WDFDEVICE device;
    PFDO_DATA fdo;
    WDFREQUEST request;
    SIZE_T outputBufferLength;  // as the request carries them
    SIZE_T inputBufferLength;
    PVOID input;                // retrieved buffers, null when the code retrieves none
    SIZE_T inputLength;
    PVOID output;
    SIZE_T outputLength;
    ULONG_PTR information;      // what the request completes with
};

// STATUS_SUCCESS when the code may run, otherwise the status to complete with.
using IoctlPrecondition = NTSTATUS (*)(const IoctlCall& call);
using IoctlBody = NTSTATUS (*)(IoctlCall& call);

// Buffer minimums: no buffer is retrieved; or the size of the instance string.
inline constexpr SIZE_T NO_BUFFER = ~static_cast<SIZE_T>(0);
inline constexpr SIZE_T INSTANCE_STRING_BYTES = NO_BUFFER - 1;

struct IoctlEntry {
    ULONG code;
    SIZE_T inputMinimum;
    SIZE_T outputMinimum;
    IoctlPrecondition precondition;  // may be null
    bool buffersBeforePrecondition;  // a short buffer is reported before an unmet precondition
    IoctlBody body;
};

std::span<const IoctlEntry> IoctlEntries();
