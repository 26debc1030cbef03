#pragma once

#include <cstdint>

#include "Platform/Core/IRefCountable.h"
#include "Platform/Export.h"

namespace Tiskel::Core {

// A readable byte stream, reference-counted; the last release closes it. Not thread-safe.
class TISKEL_EXPORT IDataInput : public virtual IRefCountable {
  public:
    // Total length of the stream in bytes.
    virtual uint64_t size() const = 0;
    // Reads up to `count` bytes into `destination`; returns the number read (short at the end
    // of the stream). Throws Tiskel::Exception on an I/O error.
    virtual uint64_t read(void* destination, uint64_t count) = 0;
};

}  // namespace Tiskel::Core
