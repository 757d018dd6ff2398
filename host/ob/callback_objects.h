// Named callback objects: drivers create or open them by name, register routines on them and
// notify them; the machine's simulated sibling drivers notify them by name as well.
//
// Rules the machine keeps (the platform calls are in callback_objects.cpp):
// - A notification calls the routines in the order they were registered, on the notifier's
//   thread. A routine registered while a notification runs is not called by it; one
//   unregistered while a notification runs is not called after its unregistration returned.
// - Unregistration waits until every running call of that routine has returned, except the
//   call the unregistering thread is itself inside (a routine may unregister itself).
// - A registration holds a reference on its object, so the object outlives its routines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/callback.h"

namespace host {

class ObjectManager;

// Notifies the callback object of that name on the calling thread, as a sibling driver does.
// STATUS_OBJECT_NAME_NOT_FOUND when no such object exists.
NTSTATUS notifyCallbackByName(ObjectManager& objects, std::u16string_view name, PVOID argument1,
                              PVOID argument2);
// Routines registered now on the callback object of that name (0 when there is none).
std::size_t callbackRegistrations(ObjectManager& objects, std::u16string_view name);

}  // namespace host
