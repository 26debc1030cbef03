#pragma once

#include <cstdint>

#include "Platform/Core/IRefCountable.h"
#include "Platform/Export.h"

namespace Tiskel::Core {

// A writable byte stream, reference-counted; the last release closes it. Not thread-safe.
class TISKEL_EXPORT IDataOutput : public virtual IRefCountable {
  public:
    // Writes `count` bytes from `source`; returns the number written (less than `count` only on
    // an I/O error such as a full disk).
    virtual uint64_t write(void const* source, uint64_t count) = 0;
};

}  // namespace Tiskel::Core
