#pragma once

#include <atomic>
#include <cstdint>

#include "Platform/Export.h"

namespace Tiskel {

// Intrusive reference count, used as a virtual base by reference-counted objects held through
// boost::intrusive_ptr. The count is atomic: references may be taken and dropped on any thread.
class TISKEL_EXPORT IRefCountable {
  public:
    IRefCountable(IRefCountable const&) = delete;
    IRefCountable& operator=(IRefCountable const&) = delete;

  protected:
    IRefCountable() = default;
    virtual ~IRefCountable() = default;

  private:
    friend void intrusive_ptr_add_ref(IRefCountable const* object) noexcept;
    friend void intrusive_ptr_release(IRefCountable const* object) noexcept;

    mutable std::atomic<uint32_t> refCount{0};
};

TISKEL_EXPORT void intrusive_ptr_add_ref(IRefCountable const* object) noexcept;
// Deletes the object when the last reference goes.
TISKEL_EXPORT void intrusive_ptr_release(IRefCountable const* object) noexcept;

}  // namespace Tiskel
