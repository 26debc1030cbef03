#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/ParallelExecutor.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/Wait.h"

namespace Tiskel::Core {
namespace {

using State = ITaskQueueEventHandler::State;
constexpr State kEmpty = ITaskQueueEventHandler::Empty;
constexpr State kHasTasks = ITaskQueueEventHandler::HasTasks;
using namespace Test;
using namespace std::chrono_literals;

// Forwards every notification to a function.
struct FnHandler : ITaskQueueEventHandler {
    explicit FnHandler(std::function<void(State)> fn) : fn(std::move(fn)) {}
    void handleChangedState(State state) override { fn(state); }
    std::function<void(State)> fn;
};

// A publication already under way on another thread must not reach a handler once its
// unregistration has returned. The first handler holds the publication open until then, or for
// 200 ms when unregistering blocks, as it should.
TEST(TaskQueue, UnregisteredHandlerIsNotCalledByAPublicationUnderWay) {
    TaskQueue queue;
    std::atomic<bool> publishing{false}, unregistered{false};
    FnHandler holder([&](State) {
        publishing = true;
        waitUntil([&] { return unregistered.load(); }, 200ms);
    });
    FnHandler late([&](State) { EXPECT_FALSE(unregistered.load()); });
    queue.RegisterEventHandler(&holder);
    queue.RegisterEventHandler(&late);
    std::thread poster([&] { queue.addTask([] {}, ITaskQueue::Normal); });
    EXPECT_TRUE(waitUntil([&] { return publishing.load(); }));
    queue.UnregisterEventHandler(&late);
    unregistered = true;
    poster.join();
}

// Two posters race a taker on the empty/non-empty edge. Once all are done, the last state heard
// must be the queue's real one: a stale state published late leaves a waiter awake with nothing
// to do, or asleep with work.
TEST(TaskQueue, LastStateHeardIsTrueAfterRaces) {
    TaskQueue queue;
    std::atomic<State> last{kEmpty};
    FnHandler handler([&](State state) { last = state; });
    queue.RegisterEventHandler(&handler);
    auto post = [&] {
        for (int i = 0; i < 30; ++i) {
            queue.addTask([] {}, ITaskQueue::Normal);
        }
    };
    for (int round = 0; round < 300; ++round) {
        std::thread first(post), second(post);
        // Odd rounds leave one task behind.
        for (int taken = round % 2; taken < 60; taken += queue.execOne() ? 1 : 0) {
        }
        first.join();
        second.join();
        ASSERT_EQ(last.load(), round % 2 ? kHasTasks : kEmpty) << "round " << round;
        while (queue.execOne()) {
        }
    }
    queue.UnregisterEventHandler(&handler);
}

// Runs one waitForState call on its own thread; the future is ready once the call returned.
std::future<void> waitAsync(TaskQueueWatcher& watcher, State wanted,
                            std::chrono::milliseconds timeout) {
    return std::async(std::launch::async, [=, &watcher] { watcher.waitForState(wanted, timeout); });
}

bool returned(std::future<void> const& wait, std::chrono::milliseconds within = kGenerousDeadline) {
    return wait.wait_for(within) == std::future_status::ready;
}

TEST(TaskQueueWatcher, WaitEndsOnTheWantedStateOrTheDeadline) {
    TaskQueue queue;
    queue.addTask([] {}, ITaskQueue::Normal);
    TaskQueueWatcher watcher(&queue);                          // hears at once that a task waits
    EXPECT_TRUE(returned(waitAsync(watcher, kHasTasks, 0s)));  // 0: no time limit
    // The queue publishes Empty before its last task runs; the deadline only bounds a failure.
    queue.addTask([&] { EXPECT_TRUE(returned(waitAsync(watcher, kEmpty, 60s))); }, ITaskQueue::Low);
    while (queue.execOne()) {
    }
    // The 600 s deadline lies beyond the polling limit: only the wake-up can end that wait.
    for (std::chrono::seconds timeout : {0s, 600s}) {
        auto wait = waitAsync(watcher, kHasTasks, timeout);
        queue.addTask([] {}, ITaskQueue::Normal);
        EXPECT_TRUE(returned(wait)) << timeout.count();
        EXPECT_TRUE(queue.execOne());
    }

    // Wake-ups without the wanted state, sent for as long as the wait lasts, must neither end
    // the wait nor move its deadline. A deadline under a second (what is left of a server's
    // pause) is a deadline too, not a wait without one.
    auto const begin = std::chrono::steady_clock::now();
    auto timed = waitAsync(watcher, kHasTasks, 300ms);
    while (!returned(timed, 0ms) && std::chrono::steady_clock::now() - begin < kGenerousDeadline) {
        watcher.handleChangedState(kEmpty);
    }
    EXPECT_TRUE(returned(timed, 0ms));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);
    while (!returned(timed, 1ms)) {  // on failure, ends the wait instead of hanging in the future
        watcher.handleChangedState(kHasTasks);
    }
}

// The event-loop thread idles in waitWhile while a host pass sleeps out a retry pause in
// waitForState: stopping must end both, and any wait begun later at once. Each waitWhile caller
// is seen inside its wait through its predicate (called under the watcher's mutex, which stop
// cannot take before the wait releases it), so with a single wake-up one of them would sleep on
// for good.
TEST(TaskQueueWatcher, StopEndsEveryWaitAtOnce) {
    TaskQueue queue;
    TaskQueueWatcher watcher(&queue);
    std::atomic<int> waiting{0};
    auto idle = [&] {
        return std::async(std::launch::async, [&] {
            bool counted = false;
            watcher.waitWhile([&](State state, bool active) {
                waiting += !std::exchange(counted, true);  // once for each caller
                return active && state != kHasTasks;
            });
        });
    };
    std::future<void> waits[] = {idle(), idle(), waitAsync(watcher, kHasTasks, 600s),
                                 waitAsync(watcher, kHasTasks, 0s)};
    ASSERT_TRUE(waitUntil([&] { return waiting == 2; }));
    watcher.stop();
    for (auto& wait : waits) {
        EXPECT_TRUE(returned(wait, 5s));
    }
    // On failure, release the waiters one wake-up at a time instead of hanging in the futures.
    for (auto& wait : waits) {
        while (!returned(wait, 1ms)) {
            watcher.handleChangedState(kHasTasks);
        }
    }
    EXPECT_TRUE(returned(waitAsync(watcher, kHasTasks, 600s)));
}

// Both executors run the queue dry by priority, then posting order, including tasks posted by
// running tasks. A task exception reaches the caller and leaves the rest queued; abort from a
// running task lets it finish and starts nothing more, now or in later calls.
TEST(Executors, RunInOrderRethrowAndAbort) {
    BlockingExecutor blocking;
    ParallelExecutor parallel(1);
    for (IExecutor* executor : std::initializer_list<IExecutor*>{&blocking, &parallel}) {
        TaskQueue queue;
        Watchdog watchdog("execQueue", whileMoving([&] { return queue.size(); }),
                          [&] { executor->abort(); });
        std::string order;
        for (auto [name, priority] : {std::pair{'a', 1}, {'b', 3}, {'c', 2}, {'d', 3}, {'e', -5}}) {
            queue.addTask([&order, name = name] { order += name; }, ITaskQueue::Priority(priority));
        }
        queue.addTask([&] { queue.addTask([&] { order += 'f'; }, ITaskQueue::High); },
                      ITaskQueue::High);
        EXPECT_EQ(executor->execQueue(queue), 1);
        EXPECT_EQ(order, "bdfcae");

        queue.addTask([] { throw std::runtime_error("task"); }, ITaskQueue::High);
        queue.addTask([&] { executor->abort(); }, ITaskQueue::Normal);
        queue.addTask([] { ADD_FAILURE() << "ran after abort"; }, ITaskQueue::Low);
        EXPECT_THROW(executor->execQueue(queue), std::runtime_error);
        EXPECT_EQ(executor->execQueue(queue), 1);
        EXPECT_EQ(executor->execQueue(queue), 0);
        EXPECT_EQ(queue.size(), 1u);
    }
}

// A TaskQueue that counts the execOne calls that found it empty.
struct ObservedQueue : ITaskQueue {
    using Handler = ITaskQueueEventHandler;
    void RegisterEventHandler(Handler* h) override { queue.RegisterEventHandler(h); }
    void UnregisterEventHandler(Handler* h) override { queue.UnregisterEventHandler(h); }
    void addTask(std::function<void()> t, Priority p) override { queue.addTask(std::move(t), p); }
    bool execOne() override {
        bool const ran = queue.execOne();
        if (!ran && emptyPolls++ == 0 && onFirstEmptyPoll) {
            onFirstEmptyPoll();
        }
        return ran;
    }
    TaskQueue queue;
    std::atomic<int> emptyPolls{0};
    // Runs inside the first call that finds the queue empty, before it returns.
    std::function<void()> onFirstEmptyPoll;
};

// While a long task runs on one pool thread, a task is posted by another thread: after the
// other pool thread has found the queue empty, or right inside that empty look (when neither pool
// thread is idle to be woken by the post). Either way it must run before the long task ends.
TEST(ParallelExecutor, PicksUpTasksPostedWhileALongTaskRuns) {
    for (bool insideTheEmptyLook : {false, true}) {
        ParallelExecutor executor(2);
        ObservedQueue queue;
        std::atomic<bool> lateRan{false};
        auto postLate = [&] { queue.addTask([&] { lateRan = true; }, ITaskQueue::Normal); };
        // The pool stands still when the post woke no thread.
        auto moving =
            whileMoving([&] { return std::pair(queue.emptyPolls.load(), queue.queue.size()); });
        queue.addTask([&] { EXPECT_TRUE(waitUntil([&] { return lateRan.load(); }, moving)); },
                      ITaskQueue::Normal);
        if (insideTheEmptyLook) {
            queue.onFirstEmptyPoll = postLate;
        }
        auto result = std::async(std::launch::async, [&] { return executor.execQueue(queue); });
        if (!insideTheEmptyLook) {
            // The queue held one task, so an empty look means the long task has been taken.
            EXPECT_TRUE(waitUntil([&] { return queue.emptyPolls > 0; }));
            postLate();
        }
        EXPECT_EQ(result.wait_for(kGenerousDeadline), std::future_status::ready)
            << insideTheEmptyLook;
    }
}

// Threads start as the work needs them: none before the first job, one for a job that finds
// its queue empty, as many as tasks run together, and never more than the pool's size. Tasks
// queued before a job each wait until all of them run at once, so every pool thread must be
// woken while tasks remain although none has finished; a second job finds the threads idle.
TEST(ParallelExecutor, StartsThreadsOnlyAsTheWorkNeedsThemAndWakesEachOne) {
    struct Row {
        std::size_t poolSize;
        int tasksTogether;  // tasks queued at once, each waiting until all of them run; 0: none
        std::size_t startedAtMost;
        std::size_t startedAtLeast;
    };
    for (Row const row :
         {Row{8, 0, 1, 1}, Row{8, 1, 8, 1}, Row{8, 3, 8, 3}, Row{4, 4, 4, 4}, Row{2, 0, 1, 1}}) {
        if (HasFailure()) {
            break;  // a stalled pool stalls the next row alike
        }
        SCOPED_TRACE(std::to_string(row.poolSize) + "/" + std::to_string(row.tasksTogether));
        ParallelExecutor executor(row.poolSize);
        EXPECT_EQ(executor.startedThreadCount(), 0u);
        for (int job = 0; job < 2; ++job) {
            TaskQueue queue;
            std::atomic<int> running{0}, together{0};
            auto moving = [&] { return whileMoving([&] { return running.load(); }); };
            Watchdog watchdog("execQueue", moving(), [&] { executor.abort(); });
            for (int i = 0; i < row.tasksTogether; ++i) {
                queue.addTask(
                    [&] {
                        ++running;
                        together +=
                            waitUntil([&] { return running == row.tasksTogether; }, moving());
                    },
                    ITaskQueue::Normal);
            }
            EXPECT_EQ(executor.execQueue(queue), row.tasksTogether > 0 ? 1 : 0);
            EXPECT_EQ(together, row.tasksTogether) << "job " << job;
            EXPECT_LE(executor.startedThreadCount(), row.startedAtMost) << "job " << job;
            EXPECT_GE(executor.startedThreadCount(), row.startedAtLeast) << "job " << job;
        }
    }
}

}  // namespace
}  // namespace Tiskel::Core
