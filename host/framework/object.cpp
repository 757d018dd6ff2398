#include "host/framework/object.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/machine.h"

namespace host::fx {

Object::Object(Object* parent, const WDF_OBJECT_ATTRIBUTES* attributes) : parent_(parent) {
    if (attributes != nullptr) {
        cleanup_ = attributes->EvtCleanupCallback;
        destroy_ = attributes->EvtDestroyCallback;
        contextType_ = attributes->ContextTypeInfo;
        if (attributes->ParentObject != nullptr) {
            parent_ = static_cast<Object*>(attributes->ParentObject);
        }
        if (contextType_ != nullptr) {
            contextSize_ = attributes->ContextSizeOverride != 0 ? attributes->ContextSizeOverride
                                                                : contextType_->ContextSize;
            // Framework memory is not subject to the fault plan of driver allocations.
            context_ = std::calloc(1, contextSize_);
        }
    }
    if (parent_ != nullptr) {
        parent_->addChild(this);
    }
}

Object::~Object() { std::free(context_); }

void* Object::context(const WDF_OBJECT_CONTEXT_TYPE_INFO* typeInfo) const {
    if (contextType_ == nullptr || typeInfo == nullptr) {
        return nullptr;
    }
    if (contextType_ != typeInfo && std::strcmp(contextType_->ContextName, typeInfo->ContextName)) {
        return nullptr;
    }
    return context_;
}

void Object::addChild(Object* child) {
    std::lock_guard lock(childrenMutex_);
    children_.push_back(child);
}

void Object::removeChild(Object* child) {
    std::lock_guard lock(childrenMutex_);
    children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
}

void Object::destroy(Object* object) {
    if (object == nullptr) {
        return;
    }
    for (;;) {
        Object* child = nullptr;
        {
            std::lock_guard lock(object->childrenMutex_);
            if (object->children_.empty()) {
                break;
            }
            child = object->children_.back();
        }
        destroy(child);
    }
    object->onDelete();
    if (object->cleanup_ != nullptr) {
        object->cleanup_(object->handle());
    }
    if (object->destroy_ != nullptr) {
        object->destroy_(object->handle());
    }
    if (object->parent_ != nullptr) {
        object->parent_->removeChild(object);
    }
    delete object;
}

}  // namespace host::fx

PVOID imp_WdfObjectGetTypedContextWorker(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFOBJECT handle,
                                         const WDF_OBJECT_CONTEXT_TYPE_INFO* typeInfo) {
    auto* object = static_cast<host::fx::Object*>(handle);
    return object == nullptr ? nullptr : object->context(typeInfo);
}

void imp_WdfObjectDelete(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFOBJECT object) {
    host::fx::Object::destroy(static_cast<host::fx::Object*>(object));
}
