#include <atomic>
#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/Wait.h"
#include "Sync.h"

namespace Tiskel::Core {
namespace {

using State = ITaskQueueEventHandler::State;
using Clock = std::chrono::steady_clock;
using Test::kGenerousDeadline;
using Test::waitUntil;

// Runs one waitForState on its own thread and records when it returned. A wait that never
// returns is ended on destruction so that a failing test does not hang.
class Waiter {
  public:
    Waiter(TaskQueueWatcher& watcher, State wanted, std::chrono::seconds timeout)
        : watcher(watcher), wanted(wanted) {
        thread = std::thread([this, timeout] {
            started.open();
            auto const begin = Clock::now();
            this->watcher.waitForState(this->wanted, timeout);
            elapsed = Clock::now() - begin;
            returned = true;
        });
        started.wait();
    }
    ~Waiter() {
        if (!returned) {
            watcher.stop();
            watcher.handleChangedState(wanted);
        }
        thread.join();
    }
    bool returnsSoon() {
        return waitUntil([&] { return returned.load(); });
    }
    Clock::duration waited() const { return elapsed; }

    std::atomic<bool> returned{false};

  private:
    TaskQueueWatcher& watcher;
    State const wanted;
    Test::Gate started;
    Clock::duration elapsed{};
    std::thread thread;
};

class MockQueue : public ITaskQueue {
  public:
    MOCK_METHOD(void, RegisterEventHandler, (ITaskQueueEventHandler*), (override));
    MOCK_METHOD(void, UnregisterEventHandler, (ITaskQueueEventHandler*), (override));
    MOCK_METHOD(bool, execOne, (), (override));
    MOCK_METHOD(void, addTask, (std::function<void()>, Priority), (override));
};

TEST(TaskQueueWatcher, RegistersOnConstructionAndUnregistersOnDestruction) {
    MockQueue queue;
    ITaskQueueEventHandler* registered = nullptr;
    EXPECT_CALL(queue, RegisterEventHandler(testing::_)).WillOnce(testing::SaveArg<0>(&registered));
    {
        TaskQueueWatcher watcher(&queue);
        EXPECT_EQ(registered, &watcher);
        testing::Mock::VerifyAndClearExpectations(&queue);
        EXPECT_CALL(queue, UnregisterEventHandler(&watcher)).Times(1);
    }
}

TEST(TaskQueueWatcher, WaitReturnsAtOnceForTheCurrentStateOrWhenStopped) {
    TaskQueue queue;
    queue.addTask([] {}, ITaskQueue::Normal);
    TaskQueueWatcher watcher(&queue);  // built on a queue that already holds a task

    // No time-out here: a wait that does not see the state would never end by itself.
    EXPECT_TRUE(
        Waiter(watcher, ITaskQueueEventHandler::HasTasks, std::chrono::seconds(0)).returnsSoon());
    EXPECT_TRUE(queue.execOne());
    EXPECT_TRUE(
        Waiter(watcher, ITaskQueueEventHandler::Empty, std::chrono::seconds(-1)).returnsSoon());

    watcher.stop();
    EXPECT_TRUE(
        Waiter(watcher, ITaskQueueEventHandler::HasTasks, std::chrono::seconds(0)).returnsSoon());
    EXPECT_TRUE(Waiter(watcher, ITaskQueueEventHandler::HasTasks, std::chrono::seconds(3600))
                    .returnsSoon());
}

TEST(TaskQueueWatcher, NewTaskWakesWaiterBeforeItsDeadline) {
    TaskQueue queue;
    TaskQueueWatcher watcher(&queue);
    {
        Waiter waiter(watcher, ITaskQueueEventHandler::HasTasks, std::chrono::seconds(0));
        queue.addTask([] {}, ITaskQueue::Normal);
        EXPECT_TRUE(waiter.returnsSoon());
    }
    EXPECT_TRUE(queue.execOne());
    {
        // The deadline lies beyond the generous polling limit, so only the wake-up can end it.
        Waiter waiter(watcher, ITaskQueueEventHandler::HasTasks, std::chrono::seconds(600));
        queue.addTask([] {}, ITaskQueue::Normal);
        EXPECT_TRUE(waiter.returnsSoon());
    }
}

TEST(TaskQueueWatcher, StopEndsAWaitInProgress) {
    TaskQueue queue;
    TaskQueueWatcher watcher(&queue);
    Waiter waiter(watcher, ITaskQueueEventHandler::HasTasks, std::chrono::seconds(600));
    watcher.stop();
    EXPECT_TRUE(waiter.returnsSoon());
}

// Wake-ups that do not bring the wanted state (here notifications of the other state, sent
// for as long as the wait lasts) must neither end the wait nor move its deadline.
TEST(TaskQueueWatcher, DeadlineIsKeptThroughWakeUpsWithoutTheWantedState) {
    TaskQueue queue;
    TaskQueueWatcher watcher(&queue);
    auto const begin = Clock::now();
    Waiter waiter(watcher, ITaskQueueEventHandler::HasTasks, std::chrono::seconds(1));
    int notifications = 0;
    while (!waiter.returned && Clock::now() - begin < kGenerousDeadline) {
        watcher.handleChangedState(ITaskQueueEventHandler::Empty);
        ++notifications;
        std::this_thread::yield();
    }
    ASSERT_TRUE(waiter.returnsSoon());
    EXPECT_GE(waiter.waited(), std::chrono::seconds(1));
    EXPECT_GT(notifications, 0);
}

}  // namespace
}  // namespace Tiskel::Core
