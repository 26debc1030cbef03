#pragma once

#include <cstddef>
#include <memory>

#include "Platform/Core/IExecutor.h"
#include "Platform/Export.h"

namespace Tiskel::Core {

// Runs a queue's tasks on a pool of up to `threadCount` threads. A thread is started when a
// task needs one and no started thread is idle, and stays until the destructor; a pool whose
// queues never hold work starts at most one. Tasks spread over the threads as the queue
// publishes that it holds some (TaskQueue does); a queue that publishes nothing has its tasks run
// one after another on one thread.
//
// `execQueue` blocks until the queue is empty and every task it started has finished; tasks
// posted meanwhile, by the running tasks or by other threads, are picked up, and at most as
// many tasks as the pool has threads run at once. Concurrent callers are served one after another.
// An exception that escapes a task is caught on the pool thread; no further task is started, and
// after the started tasks have finished the first exception is rethrown to the caller of
// `execQueue` (the tasks not started stay queued). `abort` may be called from any thread,
// including from a running task: running tasks finish, no more start, and every later
// `execQueue` returns 0 without touching the queue. The destructor aborts and joins the pool.
//
// REQUIRES: a task does not call `execQueue` of the executor that runs it, and the executor is
// not destroyed on one of its own threads (the destructor would join the calling thread).
class TISKEL_EXPORT ParallelExecutor final : public IExecutor {
  public:
    // REQUIRES: threadCount >= 1 (0 is treated as 1).
    explicit ParallelExecutor(std::size_t threadCount);
    ~ParallelExecutor() override;
    ParallelExecutor(ParallelExecutor const&) = delete;
    ParallelExecutor& operator=(ParallelExecutor const&) = delete;

    int32_t execQueue(ITaskQueue& queue) override;
    void abort() override;

    // Threads started so far, never more than the pool's size.
    std::size_t startedThreadCount() const;

    // True on the pool threads of this executor: code that may run inside a task asks before it
    // waits for something that waits for the task.
    bool runsOnThisThread() const noexcept;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace Tiskel::Core
