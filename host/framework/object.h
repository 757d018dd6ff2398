// The base of every framework object: parent and children, the typed context, the cleanup
// and destroy callbacks. A handle (WDFDEVICE, WDFQUEUE, ...) is a pointer to the object.
#pragma once

#include <mutex>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "platform/wdf.h"

namespace host::fx {

class Object {
public:
    Object(Object* parent, const WDF_OBJECT_ATTRIBUTES* attributes);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // The context of the given type, or nullptr when the object carries another one.
    void* context(const WDF_OBJECT_CONTEXT_TYPE_INFO* typeInfo) const;
    Object* parent() const { return parent_; }

    // Deletes the children first, then the object: each gets its cleanup callback, then its
    // destroy callback, and is freed.
    static void destroy(Object* object);

    WDFOBJECT handle() { return static_cast<WDFOBJECT>(this); }
    template <class Handle>
    Handle handleAs() {
        return reinterpret_cast<Handle>(this);
    }
    // The object behind a handle, checked against the expected kind.
    // Every kind is final, so the check is one comparison of the dynamic type, which the
    // framework makes on each call of each request.
    template <class T>
        requires std::is_final_v<T>
    static T* from(const void* handle) {
        auto* object = static_cast<Object*>(const_cast<void*>(handle));
        if (object == nullptr || typeid(*object) != typeid(T)) {
            return nullptr;
        }
        return static_cast<T*>(object);
    }

protected:
    // Runs before the children and the object go; subclasses release what they hold.
    virtual void onDelete() {}

private:
    void addChild(Object* child);
    void removeChild(Object* child);

    Object* parent_;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup_ = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy_ = nullptr;
    const WDF_OBJECT_CONTEXT_TYPE_INFO* contextType_ = nullptr;
    void* context_ = nullptr;
    std::size_t contextSize_ = 0;
    std::mutex childrenMutex_;
    std::vector<Object*> children_;
};

}  // namespace host::fx
