#pragma once

#include <cstdint>
#include <functional>

#include "Platform/Core/EventPublisher.h"
#include "Platform/Core/ITaskQueueEventHandler.h"
#include "Platform/Export.h"

namespace Tiskel::Core {

// A queue of nullary tasks. `addTask` may be called from any thread; `execOne` runs at most one
// queued task on the calling thread. Handlers registered through the publisher hear of the
// queue's state changes.
class TISKEL_EXPORT ITaskQueue : public EventPublisher<ITaskQueueEventHandler> {
  public:
    // Higher values run first.
    enum Priority : int32_t {
        Background = 0,
        Low = 1,
        Normal = 2,
        High = 3,
    };

    virtual ~ITaskQueue() = default;

    // Runs at most one queued task on the calling thread; true when it ran one. An exception
    // thrown by the task passes to the caller.
    virtual bool execOne() = 0;

    virtual void addTask(std::function<void()> task, Priority priority) = 0;
};

}  // namespace Tiskel::Core
