#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/QtUtils/TaskQueueQt.h"

#include "Support/LogCapture.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

using Core::ITaskQueueEventHandler;

class RecordingHandler : public ITaskQueueEventHandler {
  public:
    void handleChangedState(State state) override {
        std::lock_guard<std::mutex> lock(mutex);
        states.push_back(state);
    }
    std::vector<State> seen() const {
        std::lock_guard<std::mutex> lock(mutex);
        return states;
    }

  private:
    mutable std::mutex mutex;
    std::vector<State> states;
};

// Runs the Qt event loop on this thread until `condition` holds or the deadline passes.
template <class Condition>
bool pumpUntil(Condition condition) {
    return Test::waitUntil([&] {
        QCoreApplication::processEvents();
        return condition();
    });
}

class TaskQueueQtTest : public ::testing::Test {
  protected:
    int argc = 1;
    char name[16] = "rdm_qt_tests";
    char* argv[2] = {name, nullptr};
    QCoreApplication application{argc, argv};
};

TEST(TaskQueueQtWithoutApplication, ConstructionThrowsLogicErrorThatNamesTheCause) {
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    try {
        TaskQueueQt queue;
        FAIL() << "constructed without a QCoreApplication";
    } catch (std::logic_error const& error) {
        EXPECT_THAT(error.what(), ::testing::HasSubstr("QCoreApplication"));
    }
}

TEST_F(TaskQueueQtTest, TasksFromOtherThreadsRunOnTheApplicationThreadInPostingOrder) {
    TaskQueueQt queue;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread poster([&] {
        for (int i = 0; i < 50; ++i) {
            queue.addTask(
                [&, i] {
                    order.push_back(i);
                    threads.push_back(std::this_thread::get_id());
                },
                Core::ITaskQueue::Normal);
        }
    });
    poster.join();
    EXPECT_TRUE(order.empty()) << "tasks must wait for the event loop";
    EXPECT_FALSE(queue.execOne());

    ASSERT_TRUE(pumpUntil([&] { return order.size() == 50; }));
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_EQ(threads[i], std::this_thread::get_id());
    }
}

TEST_F(TaskQueueQtTest, PublishesHasTasksForTheFirstWaitingTaskAndEmptyWhenTheLastIsTaken) {
    TaskQueueQt queue;
    RecordingHandler handler;
    queue.RegisterEventHandler(&handler);
    int ran = 0;
    queue.addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
    queue.addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
    EXPECT_EQ(handler.seen(),
              std::vector<ITaskQueueEventHandler::State>{ITaskQueueEventHandler::HasTasks});

    ASSERT_TRUE(pumpUntil([&] { return ran == 2; }));
    EXPECT_EQ(handler.seen(),
              (std::vector<ITaskQueueEventHandler::State>{ITaskQueueEventHandler::HasTasks,
                                                          ITaskQueueEventHandler::Empty}));

    queue.UnregisterEventHandler(&handler);
    queue.addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
    ASSERT_TRUE(pumpUntil([&] { return ran == 3; }));
    EXPECT_EQ(handler.seen().size(), 2u) << "an unregistered handler heard of a change";
}

TEST_F(TaskQueueQtTest, AThrowingTaskIsLoggedAndLaterTasksStillRun) {
    ::Tiskel::Test::LogCapture log;
    TaskQueueQt queue;
    bool later = false;
    queue.addTask([] { throw std::runtime_error("boom"); }, Core::ITaskQueue::Normal);
    queue.addTask([&] { later = true; }, Core::ITaskQueue::Normal);
    ASSERT_TRUE(pumpUntil([&] { return later; }));
    bool logged = false;
    for (auto const& line : log.lines()) {
        logged |=
            line.severity == google::GLOG_ERROR && line.text.find("boom") != std::string::npos;
    }
    EXPECT_TRUE(logged);
}

TEST_F(TaskQueueQtTest, TasksStillWaitingWhenTheQueueIsDestroyedAreDropped) {
    std::atomic<int> ran{0};
    {
        TaskQueueQt queue;
        queue.addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
    }
    bool marker = false;
    TaskQueueQt other;
    other.addTask([&] { marker = true; }, Core::ITaskQueue::Normal);
    ASSERT_TRUE(pumpUntil([&] { return marker; }));
    EXPECT_EQ(ran.load(), 0);
}

}  // namespace
}  // namespace Tiskel::App
