#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "App/ResourceDownloadManager/Export.h"
#include "Platform/Core/IExecutor.h"
#include "Platform/Core/ITaskQueue.h"
#include "Platform/Core/ITaskQueueEventHandler.h"

namespace Tiskel::Core {

// Runs a queue's tasks one after another on the calling thread. `abort` may be called from any
// thread: a running task finishes and no further task is started, for good.
class RDM_EXPORT BlockingExecutor final : public IExecutor {
  public:
    BlockingExecutor() = default;
    // 1 when at least one task ran, 0 when the queue was empty or the executor is aborted.
    // An exception from a task passes to the caller.
    int32_t execQueue(ITaskQueue& queue) override;
    void abort() override;

  private:
    std::atomic<bool> aborted{false};
};

// A queue that runs each task at once, on the posting thread, inside `addTask`; the priority is
// ignored. It never holds a task and never publishes a state. Thread-safe as far as the tasks
// themselves are.
class RDM_EXPORT TaskQueueImmediate final : public ITaskQueue {
  public:
    void RegisterEventHandler(ITaskQueueEventHandler* handler) override;
    void UnregisterEventHandler(ITaskQueueEventHandler* handler) override;
    // Always false.
    bool execOne() override;
    // Runs `task` before returning; an empty task throws std::bad_function_call.
    void addTask(std::function<void()> task, Priority priority) override;
};

// Remembers the last state a queue published and lets a thread wait for a wanted state.
// Thread-safe. Every change wakes one waiter.
class RDM_EXPORT TaskQueueWatcher final : public ITaskQueueEventHandler {
  public:
    // Registers with `queue`, which must outlive the watcher.
    explicit TaskQueueWatcher(ITaskQueue* queue);
    // Unregisters from the queue.
    ~TaskQueueWatcher() noexcept override;
    TaskQueueWatcher(TaskQueueWatcher const&) = delete;
    TaskQueueWatcher& operator=(TaskQueueWatcher const&) = delete;

    void handleChangedState(State newState) override;

    // Returns when the watcher is stopped or the last published state is `wanted`, or, for a
    // time-out of at least one second, when the time-out has passed on the steady clock. A zero
    // or negative time-out waits without a deadline.
    void waitForState(State wanted, std::chrono::seconds timeout);

    // Ends every wait, now and later. Nothing restarts the watcher.
    void stop();

    // Runs `predicate` with the watcher's mutex held, on `state` and `active`; for an owner that
    // waits on the watcher's condition itself.
    void waitWhile(std::function<bool(State state, bool active)> const& predicate);
    bool isActive() const;

  private:
    State state = Empty;
    mutable std::mutex mutex;
    std::condition_variable condition;
    bool active = true;
    ITaskQueue* queue;
};

}  // namespace Tiskel::Core
