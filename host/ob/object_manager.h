// The object manager: reference-counted kernel objects, the handle table, and one namespace of
// named objects (callback objects). Registry keys live here too, under their own names.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace host {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // The full name in the Windows form ("\REGISTRY\MACHINE\...").
    virtual std::u16string objectName() const = 0;
};

class ObjectManager {
public:
    ObjectManager() = default;
    ObjectManager(const ObjectManager&) = delete;
    ObjectManager& operator=(const ObjectManager&) = delete;

    // The object starts with no reference; a handle or a reference keeps it alive.
    KernelObject* adopt(std::unique_ptr<KernelObject> object);

    // Named objects. Names compare without regard to case, as the system's object namespace
    // does. insertNamed gives the caller one reference; STATUS_OBJECT_NAME_COLLISION, and the
    // object is dropped, when the name is taken. A permanent object stays in the namespace
    // after its last reference goes, until the machine ends.
    NTSTATUS insertNamed(std::unique_ptr<KernelObject> object, std::u16string_view name,
                         bool permanent, KernelObject** inserted);
    // A reference on the object of that name, or nullptr when there is none. Lookup and
    // reference are one step, so a temporary object cannot go in between.
    KernelObject* referenceByName(std::u16string_view name);
    bool nameExists(std::u16string_view name) const;
    HANDLE openHandle(KernelObject* object);
    // STATUS_INVALID_HANDLE for a handle that is not open.
    NTSTATUS closeHandle(HANDLE handle);
    KernelObject* byHandle(HANDLE handle) const;

    // An address that is not a live object is a driver bug: abort.
    void reference(const void* object);
    void dereference(const void* object);
    KernelObject* checked(const void* object) const;

    std::size_t openHandles() const;
    std::size_t liveObjects() const;

private:
    struct Entry {
        std::unique_ptr<KernelObject> object;
        long references = 0;
        bool permanent = false;
        std::u16string foldedName;  // empty: not in the namespace
    };
    void dropLocked(std::map<const void*, Entry>::iterator it);

    mutable std::mutex mutex_;
    std::map<const void*, Entry> objects_;
    std::map<std::uintptr_t, KernelObject*> handles_;
    std::map<std::u16string, KernelObject*> names_;  // by folded name
    std::uintptr_t nextHandle_ = 0x80000004;  // kernel handles have the top bit set
};

}  // namespace host
