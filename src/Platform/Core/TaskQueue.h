#pragma once

#include <memory>

#include "Platform/Core/ITaskQueue.h"
#include "Platform/Export.h"

namespace Tiskel::Core {

// Thread-safe priority task queue.
//
// Guarantees:
// 1. Tasks of higher `Priority` run before tasks of lower priority; tasks of equal priority run
//    in the order they were posted.
// 2. Every registered handler hears `HasTasks` when the queue goes from empty to non-empty and
//    `Empty` when its last waiting task is taken out (before that task runs). The notification is
//    published on the thread that caused the change, outside the queue's own lock. Publications
//    are serialised and each one reports the queue's state at the moment it is made, so once the
//    threads that changed the queue have returned, the last state every handler heard is the
//    queue's real state.
// 3. Handlers may register and unregister on any thread while other threads post. Once
//    `UnregisterEventHandler` has returned, the handler is not called again. A handler that
//    registers while tasks are waiting hears `HasTasks` at once, on the registering thread.
// 4. `execOne` runs one task on the calling thread; an exception from the task passes to the
//    caller, and the task is gone from the queue either way.
// Non-guarantees: a handler may see two equal states in a row when several threads race, and a
// change that is undone before it is published may be reported only by its outcome.
//
// REQUIRES: a handler does not call back into the queue from `handleChangedState`, and is not
// registered or unregistered by a thread that holds a lock its `handleChangedState` takes.
class TISKEL_EXPORT TaskQueue final : public ITaskQueue {
  public:
    TaskQueue();
    ~TaskQueue() override;
    TaskQueue(TaskQueue const&) = delete;
    TaskQueue& operator=(TaskQueue const&) = delete;

    void RegisterEventHandler(ITaskQueueEventHandler* handler) override;
    void UnregisterEventHandler(ITaskQueueEventHandler* handler) override;
    bool execOne() override;
    // An empty task throws std::bad_function_call to the poster and is not queued.
    void addTask(std::function<void()> task, Priority priority) override;

    // Number of tasks waiting to run.
    std::size_t size() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace Tiskel::Core
