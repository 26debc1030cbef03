#pragma once

#include <cstdint>

#include "Platform/Core/ITaskQueue.h"
#include "Platform/Export.h"

namespace Tiskel::Core {

// Runs the tasks of a queue, on the calling thread or on threads of its own (the implementation
// says which). Implementations are thread-safe: `abort` in particular may be called from any
// thread while another thread is inside `execQueue`.
class TISKEL_EXPORT IExecutor {
  public:
    virtual ~IExecutor() = default;

    // Runs the queue's tasks until it is empty. Returns 1 when at least one task was run by this
    // call, 0 otherwise. After `abort` nothing more is run.
    virtual int32_t execQueue(ITaskQueue& queue) = 0;

    // Lets running tasks finish and starts no more, for good.
    virtual void abort() = 0;
};

}  // namespace Tiskel::Core
