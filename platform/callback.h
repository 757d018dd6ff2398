// Named callback objects: a permanent object that several drivers open by name, register
// routines on, and notify.
#pragma once

#include "platform/registry.h"

struct CALLBACK_OBJECT;
using PCALLBACK_OBJECT = CALLBACK_OBJECT*;
using PCALLBACK_FUNCTION = void (*)(PVOID callbackContext, PVOID argument1, PVOID argument2);

// Opens the object named in the attributes, creating it when create is TRUE. The caller gets a
// reference, which it drops with ObfDereferenceObject.
NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes,
                          BOOLEAN create, BOOLEAN allowMultipleCallbacks);
// Returns the registration handle, or nullptr when the routine cannot be registered.
PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction,
                         PVOID callbackContext);
void ExUnregisterCallback(PVOID callbackRegistration);
// Calls every registered routine in turn, on the caller's thread.
void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2);
