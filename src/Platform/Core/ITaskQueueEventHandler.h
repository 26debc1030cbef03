#pragma once

#include <cstdint>

#include "Platform/Export.h"

namespace Tiskel::Core {

// Receives the state changes of a task queue. Called on whichever thread the queue publishes
// the change on; implementations must be thread-safe.
class TISKEL_EXPORT ITaskQueueEventHandler {
  public:
    enum State : int32_t {
        Empty = 0,     // assumed before the first notification
        HasTasks = 1,  // tasks are waiting to run
    };

    virtual ~ITaskQueueEventHandler() = default;
    virtual void handleChangedState(State state) = 0;
};

}  // namespace Tiskel::Core
