#pragma once

#include <memory>

#include "Platform/Core/ITaskQueue.h"

namespace Tiskel::Core {

// Thread-safe priority task queue.
//
// Guarantees:
// 1. Tasks of higher `Priority` run before tasks of lower priority; tasks of equal priority run
//    in the order they were posted.
// 2. Every registered handler hears `HasTasks` when the queue goes from empty to non-empty and
//    `Empty` when its last waiting task is taken out (before that task runs). The notification is
//    published on the thread that caused the change, outside the queue's own lock.
// 3. Handlers may register and unregister on any thread while other threads post. Once
//    `UnregisterEventHandler` has returned, the handler is not called again.
// 4. `execOne` runs one task on the calling thread; an exception from the task passes to the
//    caller, and the task is gone from the queue either way.
// Non-guarantees: a handler may see two equal states in a row when several threads race.
class TaskQueue final : public ITaskQueue {
  public:
    TaskQueue();
    ~TaskQueue() override;
    TaskQueue(TaskQueue const&) = delete;
    TaskQueue& operator=(TaskQueue const&) = delete;

    void RegisterEventHandler(ITaskQueueEventHandler* handler) override;
    void UnregisterEventHandler(ITaskQueueEventHandler* handler) override;
    bool execOne() override;
    void addTask(std::function<void()> task, Priority priority) override;

    // Number of tasks waiting to run.
    std::size_t size() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace Tiskel::Core
