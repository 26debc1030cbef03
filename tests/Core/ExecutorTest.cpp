#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/ParallelExecutor.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/Wait.h"
#include "Sync.h"

namespace Tiskel::Core {
namespace {

using Test::Gate;
using Test::kGenerousDeadline;
using Test::Rendezvous;
using Test::waitUntil;

// Starts execQueue on another thread so the test can act while it runs.
std::future<int32_t> execAsync(IExecutor& executor, ITaskQueue& queue) {
    return std::async(std::launch::async, [&] { return executor.execQueue(queue); });
}

bool finishes(std::future<int32_t>& result) {
    return result.wait_for(kGenerousDeadline) == std::future_status::ready;
}

// --- BlockingExecutor ---

TEST(BlockingExecutor, RunsTheQueueDryOnTheCallingThread) {
    BlockingExecutor executor;
    TaskQueue queue;
    EXPECT_EQ(executor.execQueue(queue), 0);

    std::string order;
    std::vector<std::thread::id> threads;
    for (char name : {'a', 'b', 'c'}) {
        queue.addTask(
            [&, name] {
                order += name;
                threads.push_back(std::this_thread::get_id());
            },
            ITaskQueue::Normal);
    }
    queue.addTask([&] { queue.addTask([&] { order += 'd'; }, ITaskQueue::Low); }, ITaskQueue::Low);
    EXPECT_EQ(executor.execQueue(queue), 1);
    EXPECT_EQ(order, "abcd");
    EXPECT_EQ(threads, std::vector<std::thread::id>(3, std::this_thread::get_id()));
    EXPECT_EQ(executor.execQueue(queue), 0);
}

TEST(BlockingExecutor, AbortLetsTheRunningTaskFinishAndStartsNoMore) {
    BlockingExecutor executor;
    TaskQueue queue;
    Gate started;
    Gate release;
    bool firstFinished = false;
    queue.addTask(
        [&] {
            started.open();
            release.wait();
            firstFinished = true;
        },
        ITaskQueue::Normal);
    queue.addTask([] { ADD_FAILURE() << "task ran after abort"; }, ITaskQueue::Normal);

    auto result = execAsync(executor, queue);
    ASSERT_TRUE(started.wait());
    executor.abort();
    release.open();
    ASSERT_TRUE(finishes(result));
    EXPECT_EQ(result.get(), 1);
    EXPECT_TRUE(firstFinished);
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(executor.execQueue(queue), 0);
    EXPECT_EQ(queue.size(), 1u);
}

TEST(BlockingExecutor, TaskExceptionReachesCallerAndLeavesTheRestQueued) {
    BlockingExecutor executor;
    TaskQueue queue;
    queue.addTask([] { throw std::runtime_error("task failed"); }, ITaskQueue::High);
    queue.addTask([] {}, ITaskQueue::Normal);
    EXPECT_THROW(executor.execQueue(queue), std::runtime_error);
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(executor.execQueue(queue), 1);
}

// --- ParallelExecutor ---

TEST(ParallelExecutor, RunsTasksAtTheSameTime) {
    constexpr int kThreads = 4;
    ParallelExecutor executor(kThreads);
    EXPECT_EQ(executor.threadCount(), 4u);
    TaskQueue queue;
    Rendezvous meeting(kThreads);
    std::atomic<int> met{0};
    for (int i = 0; i < kThreads; ++i) {
        queue.addTask(
            [&] {
                if (meeting.arriveAndWait()) {
                    ++met;
                }
            },
            ITaskQueue::Normal);
    }
    EXPECT_EQ(executor.execQueue(queue), 1);
    EXPECT_EQ(met.load(), kThreads);
}

// A TaskQueue that counts the calls of execOne that found it empty.
class ObservedQueue : public ITaskQueue {
  public:
    void RegisterEventHandler(ITaskQueueEventHandler* handler) override {
        queue.RegisterEventHandler(handler);
    }
    void UnregisterEventHandler(ITaskQueueEventHandler* handler) override {
        queue.UnregisterEventHandler(handler);
    }
    bool execOne() override {
        bool const ran = queue.execOne();
        if (!ran) {
            ++emptyPolls;
        }
        return ran;
    }
    void addTask(std::function<void()> task, Priority priority) override {
        queue.addTask(std::move(task), priority);
    }

    TaskQueue queue;
    std::atomic<int> emptyPolls{0};
};

TEST(ParallelExecutor, PicksUpTasksPostedWhileOthersRun) {
    ParallelExecutor executor(2);
    ObservedQueue queue;

    // Posted by another thread once the second pool thread has found the queue empty, while a
    // long task occupies the first: the idle thread must take it without waiting for the long
    // task to end.
    Gate longTaskStarted;
    Gate lateRan;
    bool longTaskSawLateTask = false;
    queue.addTask(
        [&] {
            longTaskStarted.open();
            longTaskSawLateTask = lateRan.wait();
        },
        ITaskQueue::Normal);
    auto result = execAsync(executor, queue);
    ASSERT_TRUE(longTaskStarted.wait());
    ASSERT_TRUE(waitUntil([&] { return queue.emptyPolls > 0; }));
    queue.addTask([&] { lateRan.open(); }, ITaskQueue::Normal);
    ASSERT_TRUE(finishes(result));
    EXPECT_EQ(result.get(), 1);
    EXPECT_TRUE(longTaskSawLateTask);

    // Posted by the tasks themselves, down a chain.
    std::atomic<int> depth{0};
    std::function<void()> step = [&] {
        if (++depth < 200) {
            queue.addTask(step, ITaskQueue::Normal);
        }
    };
    queue.addTask(step, ITaskQueue::Normal);
    EXPECT_EQ(executor.execQueue(queue), 1);
    EXPECT_EQ(depth.load(), 200);
    EXPECT_EQ(queue.queue.size(), 0u);
}

TEST(ParallelExecutor, KeepsItsThreadsAcrossCalls) {
    ParallelExecutor executor(0);  // treated as one thread
    ASSERT_EQ(executor.threadCount(), 1u);
    TaskQueue queue;
    EXPECT_EQ(executor.execQueue(queue), 0);
    int tasksSeenByThread = 0;
    for (int call = 0; call < 5; ++call) {
        queue.addTask(
            [&] {
                thread_local int countOnThisThread = 0;
                tasksSeenByThread = ++countOnThisThread;
            },
            ITaskQueue::Normal);
        EXPECT_EQ(executor.execQueue(queue), 1);
    }
    EXPECT_EQ(tasksSeenByThread, 5);
}

TEST(ParallelExecutor, AbortLetsRunningTasksFinishAndStartsNoMore) {
    ParallelExecutor executor(2);
    TaskQueue queue;
    Rendezvous bothStarted(3);  // two tasks and the test
    Gate release;
    std::atomic<int> finished{0};
    for (int i = 0; i < 2; ++i) {
        queue.addTask(
            [&] {
                bothStarted.arriveAndWait();
                release.wait();
                ++finished;
            },
            ITaskQueue::High);
    }
    for (int i = 0; i < 5; ++i) {
        queue.addTask([] { ADD_FAILURE() << "task ran after abort"; }, ITaskQueue::Normal);
    }

    auto result = execAsync(executor, queue);
    ASSERT_TRUE(bothStarted.arriveAndWait());
    executor.abort();
    release.open();
    ASSERT_TRUE(finishes(result));
    EXPECT_EQ(result.get(), 1);
    EXPECT_EQ(finished.load(), 2);
    EXPECT_EQ(queue.size(), 5u);
    EXPECT_EQ(executor.execQueue(queue), 0);
    EXPECT_EQ(queue.size(), 5u);
}

TEST(ParallelExecutor, AbortFromInsideATaskEndsTheCall) {
    ParallelExecutor executor(1);
    TaskQueue queue;
    queue.addTask([&] { executor.abort(); }, ITaskQueue::High);
    queue.addTask([] { ADD_FAILURE() << "task ran after abort"; }, ITaskQueue::Normal);
    auto result = execAsync(executor, queue);
    ASSERT_TRUE(finishes(result));
    EXPECT_EQ(result.get(), 1);
    EXPECT_EQ(queue.size(), 1u);
}

TEST(ParallelExecutor, RethrowsTheFirstExceptionAfterStartedTasksFinish) {
    ParallelExecutor executor(2);
    TaskQueue queue;
    Gate slowStarted;
    Gate failing;
    Gate release;
    std::atomic<bool> slowFinished{false};
    queue.addTask(
        [&] {
            slowStarted.open();
            release.wait();
            slowFinished = true;
        },
        ITaskQueue::High);
    queue.addTask(
        [&] {
            ASSERT_TRUE(slowStarted.wait());
            failing.open();
            throw std::runtime_error("first");
        },
        ITaskQueue::High);
    queue.addTask([] {}, ITaskQueue::Low);

    auto result = execAsync(executor, queue);
    ASSERT_TRUE(failing.wait());
    // The call must still be waiting for the slow task; a short look is enough to catch an
    // early return, and a correct executor never returns here.
    EXPECT_FALSE(waitUntil(
        [&] {
            return slowFinished ||
                   result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        },
        std::chrono::milliseconds(100)));
    release.open();
    ASSERT_TRUE(finishes(result));
    EXPECT_THROW(result.get(), std::runtime_error);
    EXPECT_TRUE(slowFinished);
    // No task is started once one has failed; the rest waits for the next call.
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(executor.execQueue(queue), 1);
}

TEST(ParallelExecutor, ServesConcurrentCallersOneAfterAnother) {
    ParallelExecutor executor(2);
    TaskQueue first;
    TaskQueue second;
    std::atomic<int> ran{0};
    for (int i = 0; i < 200; ++i) {
        first.addTask([&] { ++ran; }, ITaskQueue::Normal);
        second.addTask([&] { ++ran; }, ITaskQueue::Normal);
    }
    auto a = execAsync(executor, first);
    auto b = execAsync(executor, second);
    ASSERT_TRUE(finishes(a));
    ASSERT_TRUE(finishes(b));
    EXPECT_EQ(a.get(), 1);
    EXPECT_EQ(b.get(), 1);
    EXPECT_EQ(ran.load(), 400);
}

// --- TaskQueueImmediate ---

TEST(TaskQueueImmediate, RunsEachTaskOnThePostingThreadBeforeReturning) {
    struct Handler : ITaskQueueEventHandler {
        int calls = 0;
        void handleChangedState(State /*state*/) override { ++calls; }
    } handler;
    TaskQueueImmediate queue;
    queue.RegisterEventHandler(&handler);

    std::thread::id ranOn;
    bool ran = false;
    queue.addTask(
        [&] {
            ran = true;
            ranOn = std::this_thread::get_id();
        },
        ITaskQueue::Low);
    EXPECT_TRUE(ran);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(queue.execOne());
    EXPECT_THROW(queue.addTask(std::function<void()>(), ITaskQueue::Normal),
                 std::bad_function_call);
    EXPECT_EQ(handler.calls, 0);
    queue.UnregisterEventHandler(&handler);
}

}  // namespace
}  // namespace Tiskel::Core
