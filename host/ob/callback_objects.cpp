#include "host/ob/callback_objects.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "host/fault_plan.h"
#include "host/machine.h"
#include "host/ob/object_manager.h"

namespace host {

namespace {

[[noreturn]] void driverBug(const char* what) {
    std::fprintf(stderr, "callback objects: %s\n", what);
    std::abort();
}

class CallbackObject;

class Registration final : public KernelObject {
public:
    Registration(CallbackObject& owner, PCALLBACK_FUNCTION routine, PVOID context)
        : owner(owner), routine(routine), context(context), id(nextId.fetch_add(1)) {}
    std::u16string objectName() const override { return {}; }

    CallbackObject& owner;
    const PCALLBACK_FUNCTION routine;
    const PVOID context;
    const std::uint64_t id;
    // Guarded by the owner's mutex.
    unsigned busy = 0;
    bool unregistered = false;
    // Unregistered from inside its own routine: the last of those calls lets it go.
    bool releaseWhenIdle = false;

private:
    static inline std::atomic<std::uint64_t> nextId{1};
};

// The registrations whose routine the current thread is inside, innermost last.
thread_local std::vector<const Registration*> runningOnThisThread;

void release(Registration* registration);

class CallbackObject final : public KernelObject {
public:
    CallbackObject(std::u16string name, bool allowMultiple)
        : name_(std::move(name)), allowMultiple_(allowMultiple) {}
    std::u16string objectName() const override { return name_; }

    // False when the object takes one routine only and has it.
    bool add(Registration* registration) {
        std::lock_guard lock(mutex_);
        if (!allowMultiple_ && !registrations_.empty()) {
            return false;
        }
        registrations_.push_back(registration);
        return true;
    }

    // True when the caller may let the registration go now.
    bool remove(Registration* registration) {
        std::unique_lock lock(mutex_);
        if (registration->unregistered) {
            driverBug("a callback registration unregistered twice");
        }
        registration->unregistered = true;
        std::erase(registrations_, registration);
        const auto self = static_cast<unsigned>(
            std::count(runningOnThisThread.begin(), runningOnThisThread.end(), registration));
        idle_.wait(lock, [&] { return registration->busy == self; });
        if (self != 0) {
            registration->releaseWhenIdle = true;
            return false;
        }
        return true;
    }

    void notify(PVOID argument1, PVOID argument2) {
        std::vector<std::pair<Registration*, std::uint64_t>> snapshot;
        {
            std::lock_guard lock(mutex_);
            for (Registration* registration : registrations_) {
                snapshot.emplace_back(registration, registration->id);
            }
        }
        for (auto [registration, id] : snapshot) {
            {
                // Still registered (and so still alive) at the moment of the call?
                std::lock_guard lock(mutex_);
                auto it = std::find_if(registrations_.begin(), registrations_.end(),
                                       [id = id](const Registration* r) { return r->id == id; });
                if (it == registrations_.end()) {
                    continue;
                }
                ++registration->busy;
            }
            runningOnThisThread.push_back(registration);
            registration->routine(registration->context, argument1, argument2);
            runningOnThisThread.pop_back();
            bool releaseNow = false;
            {
                std::lock_guard lock(mutex_);
                --registration->busy;
                releaseNow = registration->releaseWhenIdle && registration->busy == 0;
                idle_.notify_all();
            }
            if (releaseNow) {
                release(registration);
            }
        }
    }

    std::size_t registrations() const {
        std::lock_guard lock(mutex_);
        return registrations_.size();
    }

private:
    const std::u16string name_;
    const bool allowMultiple_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<Registration*> registrations_;  // in registration order
};

// Drops the caller's reference on the registration and the registration's on its object.
void release(Registration* registration) {
    ObjectManager& objects = Machine::current().objects();
    KernelObject* owner = &registration->owner;
    objects.dereference(static_cast<KernelObject*>(registration));
    objects.dereference(owner);
}

CallbackObject* callbackObjectAt(PVOID object) {
    auto* found = dynamic_cast<CallbackObject*>(Machine::current().objects().checked(object));
    if (found == nullptr) {
        driverBug("the address is not a callback object");
    }
    return found;
}

}  // namespace

NTSTATUS notifyCallbackByName(ObjectManager& objects, std::u16string_view name, PVOID argument1,
                              PVOID argument2) {
    KernelObject* object = objects.referenceByName(name);
    if (object == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto* callback = dynamic_cast<CallbackObject*>(object);
    if (callback != nullptr) {
        callback->notify(argument1, argument2);
    }
    objects.dereference(object);
    return callback != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

std::size_t callbackRegistrations(ObjectManager& objects, std::u16string_view name) {
    KernelObject* object = objects.referenceByName(name);
    if (object == nullptr) {
        return 0;
    }
    auto* callback = dynamic_cast<CallbackObject*>(object);
    const std::size_t count = callback != nullptr ? callback->registrations() : 0;
    objects.dereference(object);
    return count;
}

}  // namespace host

// ---- platform entry points -------------------------------------------------------------------

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes,
                          BOOLEAN create, BOOLEAN allowMultipleCallbacks) {
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::CallbackCreate)) {
        return *failure;
    }
    if (callbackObject == nullptr || objectAttributes == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    host::ObjectManager& objects = machine.objects();
    const PUNICODE_STRING nameString = objectAttributes->ObjectName;
    const bool named = nameString != nullptr && nameString->Length != 0;
    if (!named) {
        if (!create) {
            return STATUS_INVALID_PARAMETER;  // nothing to open
        }
        host::KernelObject* object =
            objects.adopt(std::make_unique<host::CallbackObject>(u"", allowMultipleCallbacks != FALSE));
        objects.reference(object);
        *callbackObject = reinterpret_cast<PCALLBACK_OBJECT>(object);
        return STATUS_SUCCESS;
    }
    if (nameString->Buffer == nullptr || nameString->Length % sizeof(WCHAR) != 0 ||
        nameString->Buffer[0] != u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    const std::u16string_view name(nameString->Buffer, nameString->Length / sizeof(WCHAR));
    // Open or create, retried when another thread creates the same name in between.
    for (;;) {
        if (host::KernelObject* existing = objects.referenceByName(name)) {
            if (dynamic_cast<host::CallbackObject*>(existing) == nullptr) {
                objects.dereference(existing);
                return STATUS_OBJECT_TYPE_MISMATCH;
            }
            *callbackObject = reinterpret_cast<PCALLBACK_OBJECT>(existing);
            return STATUS_SUCCESS;
        }
        if (!create) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        host::KernelObject* inserted = nullptr;
        const NTSTATUS status = objects.insertNamed(
            std::make_unique<host::CallbackObject>(std::u16string(name), allowMultipleCallbacks != FALSE),
            name, (objectAttributes->Attributes & OBJ_PERMANENT) != 0, &inserted);
        if (status == STATUS_OBJECT_NAME_COLLISION) {
            continue;
        }
        if (NT_SUCCESS(status)) {
            *callbackObject = reinterpret_cast<PCALLBACK_OBJECT>(inserted);
        }
        return status;
    }
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction,
                         PVOID callbackContext) {
    host::Machine& machine = host::Machine::current();
    if (machine.faults().callFails(host::FaultSite::CallbackRegister)) {
        return nullptr;
    }
    if (callbackObject == nullptr || callbackFunction == nullptr) {
        return nullptr;
    }
    host::CallbackObject* owner = host::callbackObjectAt(callbackObject);
    host::ObjectManager& objects = machine.objects();
    objects.reference(static_cast<host::KernelObject*>(owner));
    host::KernelObject* registration = objects.adopt(
        std::make_unique<host::Registration>(*owner, callbackFunction, callbackContext));
    objects.reference(registration);
    auto* typed = static_cast<host::Registration*>(registration);
    if (!owner->add(typed)) {
        host::release(typed);
        return nullptr;
    }
    return registration;
}

void ExUnregisterCallback(PVOID callbackRegistration) {
    auto* registration = dynamic_cast<host::Registration*>(
        host::Machine::current().objects().checked(callbackRegistration));
    if (registration == nullptr) {
        host::driverBug("the address is not a callback registration");
    }
    if (registration->owner.remove(registration)) {
        host::release(registration);
    }
}

void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2) {
    host::callbackObjectAt(callbackObject)->notify(argument1, argument2);
}
