#include "Platform/Core/IRefCountable.h"

namespace Tiskel {

void intrusive_ptr_add_ref(IRefCountable const* object) noexcept {
    object->refCount.fetch_add(1, std::memory_order_relaxed);
}

void intrusive_ptr_release(IRefCountable const* object) noexcept {
    if (object->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete object;
    }
}

}  // namespace Tiskel
