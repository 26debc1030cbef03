#pragma once

#include <memory>

#include "Platform/Core/ITaskQueue.h"

namespace Tiskel::App {

class QtInbox;

// A task queue bound to the Qt event loop: `addTask`, from any thread, runs the task later on the
// thread of the Qt application object.
//
// Guarantees:
// 1. Tasks run on the application thread, one at a time, in posting order (the priority is not
//    used: the event loop has no notion of it). Tasks posted by one thread therefore run in that
//    thread's order.
// 2. Handlers hear `HasTasks` when the queue goes from empty to non-empty and `Empty` when the
//    last waiting task is taken out to run. Publications are serialised and each reports the
//    queue's state when it is made, so once the posting threads have returned, the last state a
//    handler heard is the real one.
// 3. An exception escaping a task is caught and logged at ERROR: it must not unwind through
//    Qt's event loop. The next task runs as usual.
// 4. Tasks still waiting when the queue is destroyed are dropped, never run. Tasks posted once
//    the application object is gone are dropped with an ERROR line.
// `execOne` always returns false: only the event loop runs the tasks.
//
// The tasks reach the application thread through a QtInbox whose context is the application
// object.
//
// Thread-safe. The queue may be destroyed on any thread, also after the application object.
class TaskQueueQt final : public Core::ITaskQueue {
  public:
    // Throws std::logic_error when no QCoreApplication exists, std::system_error when no pipe
    // can be made.
    TaskQueueQt();
    ~TaskQueueQt() override;
    TaskQueueQt(TaskQueueQt const&) = delete;
    TaskQueueQt& operator=(TaskQueueQt const&) = delete;

    void RegisterEventHandler(Core::ITaskQueueEventHandler* handler) override;
    void UnregisterEventHandler(Core::ITaskQueueEventHandler* handler) override;
    bool execOne() override;
    // An empty task throws std::bad_function_call to the poster and is not queued.
    void addTask(std::function<void()> task, Priority priority) override;

  private:
    struct Shared;
    std::shared_ptr<Shared> shared;
    std::unique_ptr<QtInbox> inbox;
};

}  // namespace Tiskel::App
