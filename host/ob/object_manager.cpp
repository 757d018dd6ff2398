#include "host/ob/object_manager.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/machine.h"
#include "host/rtl/text.h"

namespace host {

namespace {
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "object manager: %s\n", what);
    std::abort();
}
}  // namespace

KernelObject* ObjectManager::adopt(std::unique_ptr<KernelObject> object) {
    KernelObject* raw = object.get();
    std::lock_guard lock(mutex_);
    objects_[raw] = Entry{std::move(object), 0, false, {}};
    return raw;
}

NTSTATUS ObjectManager::insertNamed(std::unique_ptr<KernelObject> object, std::u16string_view name,
                                    bool permanent, KernelObject** inserted) {
    std::u16string folded = foldCase(name);
    KernelObject* raw = object.get();
    std::lock_guard lock(mutex_);
    if (names_.contains(folded)) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    names_[folded] = raw;
    objects_[raw] = Entry{std::move(object), 1, permanent, std::move(folded)};
    if (inserted != nullptr) {
        *inserted = raw;
    }
    return STATUS_SUCCESS;
}

KernelObject* ObjectManager::referenceByName(std::u16string_view name) {
    std::lock_guard lock(mutex_);
    auto named = names_.find(foldCase(name));
    if (named == names_.end()) {
        return nullptr;
    }
    ++objects_.at(named->second).references;
    return named->second;
}

bool ObjectManager::nameExists(std::u16string_view name) const {
    std::lock_guard lock(mutex_);
    return names_.contains(foldCase(name));
}

HANDLE ObjectManager::openHandle(KernelObject* object) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(object);
    if (it == objects_.end()) {
        fail("handle opened to an object that does not exist");
    }
    ++it->second.references;
    const std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = object;
    return reinterpret_cast<HANDLE>(value);
}

NTSTATUS ObjectManager::closeHandle(HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) {
        return STATUS_INVALID_HANDLE;
    }
    auto object = objects_.find(it->second);
    handles_.erase(it);
    dropLocked(object);
    return STATUS_SUCCESS;
}

KernelObject* ObjectManager::byHandle(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles_.end() ? nullptr : it->second;
}

void ObjectManager::reference(const void* object) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(object);
    if (it == objects_.end()) {
        fail("reference taken on an object that does not exist");
    }
    ++it->second.references;
}

void ObjectManager::dereference(const void* object) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(object);
    if (it == objects_.end() || it->second.references == 0) {
        fail("reference dropped on an object that holds none");
    }
    dropLocked(it);
}

void ObjectManager::dropLocked(std::map<const void*, Entry>::iterator it) {
    if (--it->second.references == 0 && !it->second.permanent) {
        if (!it->second.foldedName.empty()) {
            names_.erase(it->second.foldedName);
        }
        objects_.erase(it);
    }
}

KernelObject* ObjectManager::checked(const void* object) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(object);
    return it == objects_.end() ? nullptr : it->second.object.get();
}

std::size_t ObjectManager::openHandles() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

std::size_t ObjectManager::liveObjects() const {
    std::lock_guard lock(mutex_);
    return objects_.size();
}

}  // namespace host

// ---- platform entry points -------------------------------------------------------------------

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, PVOID, KPROCESSOR_MODE,
                                   PVOID* object, PVOID) {
    host::ObjectManager& objects = host::Machine::current().objects();
    host::KernelObject* target = objects.byHandle(handle);
    if (target == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    objects.reference(target);
    *object = target;
    return STATUS_SUCCESS;
}

NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION nameInfo, ULONG length,
                           PULONG returnLength) {
    host::KernelObject* target = host::Machine::current().objects().checked(object);
    if (target == nullptr) {
        std::fprintf(stderr, "object manager: name asked of an object that does not exist\n");
        std::abort();
    }
    const std::u16string name = target->objectName();
    const std::size_t nameBytes = name.size() * sizeof(WCHAR);
    const std::size_t needed = sizeof(OBJECT_NAME_INFORMATION) + nameBytes + sizeof(WCHAR);
    if (nameBytes > 0xFFFC) {
        return STATUS_INVALID_PARAMETER;
    }
    if (returnLength != nullptr) {
        *returnLength = static_cast<ULONG>(needed);
    }
    if (nameInfo == nullptr || length < needed) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* text = reinterpret_cast<WCHAR*>(nameInfo + 1);
    std::memcpy(text, name.data(), nameBytes);
    text[name.size()] = 0;
    nameInfo->Name.Buffer = text;
    nameInfo->Name.Length = static_cast<USHORT>(nameBytes);
    nameInfo->Name.MaximumLength = static_cast<USHORT>(nameBytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

void ObfReferenceObject(PVOID object) { host::Machine::current().objects().reference(object); }

void ObfDereferenceObject(PVOID object) {
    host::Machine::current().objects().dereference(object);
}
