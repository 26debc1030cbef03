#pragma once

#include <memory>

#include "Platform/Core/ITaskQueue.h"

namespace Tiskel::App {

// A task queue bound to the Qt event loop: `addTask`, from any thread, runs the task later on the
// thread of the Qt application object, as a queued invocation. Tasks of one queue run in posting
// order; the priority is not used, because the event loop has no notion of it.
//
// Handlers hear `HasTasks` when the first task is waiting and `Empty` when the last waiting task
// is taken out to run. `execOne` always returns false: only the event loop runs the tasks.
// An exception escaping a task is caught and logged, because it must not unwind through Qt's
// event loop.
//
// Thread-safe. Tasks still waiting when the application object is destroyed are dropped, as
// are tasks waiting when the queue is destroyed.
class TaskQueueQt final : public Core::ITaskQueue {
  public:
    // Throws std::logic_error when no QCoreApplication exists.
    TaskQueueQt();
    ~TaskQueueQt() override;
    TaskQueueQt(TaskQueueQt const&) = delete;
    TaskQueueQt& operator=(TaskQueueQt const&) = delete;

    void RegisterEventHandler(Core::ITaskQueueEventHandler* handler) override;
    void UnregisterEventHandler(Core::ITaskQueueEventHandler* handler) override;
    bool execOne() override;
    void addTask(std::function<void()> task, Priority priority) override;

  private:
    struct Shared;
    std::shared_ptr<Shared> shared;
};

}  // namespace Tiskel::App
