// Named callback objects: a permanent object that several drivers open by name, register
// routines on, and notify.
#pragma once

#include "platform/registry.h"

struct CALLBACK_OBJECT;
using PCALLBACK_OBJECT = CALLBACK_OBJECT*;
typedef void NTAPI CALLBACK_FUNCTION(PVOID callbackContext, PVOID argument1, PVOID argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

// Opens the object named in the attributes, creating it when create is TRUE. The caller gets a
// reference, which it drops with ObfDereferenceObject.
NTAPI NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject,
                                POBJECT_ATTRIBUTES objectAttributes, BOOLEAN create,
                                BOOLEAN allowMultipleCallbacks);
// Returns the registration handle, or nullptr when the routine cannot be registered.
NTAPI PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction,
                               PVOID callbackContext);
NTAPI void ExUnregisterCallback(PVOID callbackRegistration);
// Calls every registered routine in turn, on the caller's thread.
NTAPI void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2);
