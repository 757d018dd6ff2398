// Framework memory: a pool block with the caller's tag and pool type, freed when the object
// (or its parent) is deleted.
#pragma once

#include "host/framework/object.h"

namespace host::fx {

class Memory final : public Object {
  public:
    Memory(Object* parent, const WDF_OBJECT_ATTRIBUTES* attributes, PVOID buffer, SIZE_T size,
           ULONG tag);
    ~Memory() override;

    PVOID buffer() const { return buffer_; }
    SIZE_T size() const { return size_; }

  private:
    PVOID buffer_;
    SIZE_T size_;
    ULONG tag_;
};

}  // namespace host::fx
