#include "host/framework/memory.h"

#include "host/framework/driver.h"
#include "host/machine.h"

namespace host::fx {

Memory::Memory(Object* parent, const WDF_OBJECT_ATTRIBUTES* attributes, PVOID buffer, SIZE_T size,
               ULONG tag)
    : Object(parent, attributes), buffer_(buffer), size_(size), tag_(tag) {}

Memory::~Memory() {
    ExFreePoolWithTag(buffer_, tag_);
}

}  // namespace host::fx

NTSTATUS imp_WdfMemoryCreate(PWDF_DRIVER_GLOBALS /*driverGlobals*/,
                             PWDF_OBJECT_ATTRIBUTES attributes, POOL_TYPE poolType, ULONG poolTag,
                             SIZE_T bufferSize, WDFMEMORY* memory, PVOID* buffer) {
    if (memory == nullptr || bufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *memory = nullptr;
    if (buffer != nullptr) {
        *buffer = nullptr;
    }
    host::Machine& machine = host::Machine::current();
    if (auto failure = machine.faults().callFails(host::FaultSite::FrameworkObject)) {
        return *failure;
    }
    PVOID block = ExAllocatePoolWithTag(poolType, bufferSize, poolTag);
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Without a parent in the attributes the memory belongs to the driver, as in the framework.
    auto* created =
        new host::fx::Memory(machine.framework().driver(), attributes, block, bufferSize, poolTag);
    *memory = created->handleAs<WDFMEMORY>();
    if (buffer != nullptr) {
        *buffer = block;
    }
    return STATUS_SUCCESS;
}

PVOID imp_WdfMemoryGetBuffer(PWDF_DRIVER_GLOBALS /*driverGlobals*/, WDFMEMORY memory,
                             SIZE_T* bufferSize) {
    auto* object = host::fx::Object::from<host::fx::Memory>(memory);
    if (bufferSize != nullptr) {
        *bufferSize = object->size();
    }
    return object->buffer();
}
