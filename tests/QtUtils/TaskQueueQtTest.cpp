#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/QtUtils/TaskQueueQt.h"

#include "Support/LogCapture.h"
#include "Support/QtApplication.h"
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
    std::vector<State> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return states;
    }

  private:
    std::mutex mutex;
    std::vector<State> states;
};

using ::Tiskel::Test::pumpUntil;

class TaskQueueQtTest : public ::testing::Test {
  protected:
    int argc = 1;
    char name[16] = "rdm_qt_tests";
    char* argv[2] = {name, nullptr};
    QCoreApplication application{argc, argv};
};

TEST(TaskQueueQtWithoutApplication, ConstructionThrowsLogicErrorThatNamesTheCause) {
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    EXPECT_THAT([] { TaskQueueQt queue; }, ::testing::ThrowsMessage<std::logic_error>(
                                               ::testing::HasSubstr("QCoreApplication")));
}

TEST_F(TaskQueueQtTest, TasksFromAnyThreadRunInOrderOnTheApplicationThreadAndPublishTheirState) {
    TaskQueueQt queue;
    RecordingHandler handler;
    queue.RegisterEventHandler(&handler);
    std::vector<std::pair<int, std::thread::id>> runs;
    std::thread poster([&] {
        for (int i = 0; i < 50; ++i) {
            queue.addTask([&, i] { runs.emplace_back(i, std::this_thread::get_id()); },
                          Core::ITaskQueue::Normal);
        }
    });
    poster.join();
    EXPECT_TRUE(runs.empty()) << "tasks must wait for the event loop";
    EXPECT_FALSE(queue.execOne());
    EXPECT_EQ(handler.seen(), std::vector{ITaskQueueEventHandler::HasTasks});

    ASSERT_TRUE(pumpUntil([&] { return runs.size() == 50; }));
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(runs[i], std::make_pair(i, std::this_thread::get_id()));
    }
    EXPECT_EQ(handler.seen(),
              (std::vector{ITaskQueueEventHandler::HasTasks, ITaskQueueEventHandler::Empty}));
    queue.UnregisterEventHandler(&handler);
    queue.addTask([] {}, Core::ITaskQueue::Normal);
    EXPECT_EQ(handler.seen().size(), 2u) << "an unregistered handler heard of a change";
}

TEST_F(TaskQueueQtTest, AThrowingTaskIsLoggedAndTasksOfADestroyedQueueAreDropped) {
    ::Tiskel::Test::LogCapture log;
    int ran = 0;
    {
        TaskQueueQt gone;
        gone.addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
    }
    TaskQueueQt queue;
    bool later = false;
    queue.addTask([] { throw std::runtime_error("boom"); }, Core::ITaskQueue::Normal);
    queue.addTask([&] { later = true; }, Core::ITaskQueue::Normal);
    ASSERT_TRUE(pumpUntil([&] { return later; }));
    EXPECT_EQ(ran, 0);
    auto const lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](auto const& line) {
        return line.severity == google::GLOG_ERROR && line.text.find("boom") != std::string::npos;
    }));
}

// Posters race the event loop: each task must run once, on the application thread, after the
// tasks its thread posted before it; at the end the handler's last word is Empty. Every tenth
// task a poster waits for its tasks to have run, so the loop also takes tasks that nothing was
// posted after: a hand-over that only Qt's own locking orders shows up under ThreadSanitizer.
TEST_F(TaskQueueQtTest, TasksPostedByManyThreadsWhileTheLoopRunsRunOnceInEachThreadsOrder) {
    constexpr int kThreads = 4, kTasks = 500;
    TaskQueueQt queue;
    RecordingHandler handler;
    queue.RegisterEventHandler(&handler);
    std::vector<std::vector<int>> runs(kThreads);  // touched on the application thread only
    std::atomic<int> ranOf[kThreads] = {};
    bool offThread = false;
    std::atomic<bool> gaveUp{false};
    auto const mainThread = std::this_thread::get_id();
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kTasks; ++i) {
                queue.addTask(
                    [&, t, i] {
                        offThread |= std::this_thread::get_id() != mainThread;
                        runs[t].push_back(i);
                        ++ranOf[t];
                    },
                    Core::ITaskQueue::Normal);
                if (i % 10 == 9) {
                    ::Tiskel::Test::waitUntil([&] { return ranOf[t] == i + 1; },
                                              [&] { return !gaveUp.load(); });
                }
            }
        });
    }
    std::size_t ran = 0;
    bool const allRan = pumpUntil([&] {
        ran = 0;
        for (auto const& r : runs) {
            ran += r.size();
        }
        return ran == kThreads * kTasks;
    });
    gaveUp = !allRan;
    for (auto& poster : posters) {
        poster.join();
    }
    ASSERT_TRUE(allRan) << ran;
    QCoreApplication::processEvents();  // a late wake-up must find nothing to run again
    std::vector<int> expected(kTasks);
    std::iota(expected.begin(), expected.end(), 0);
    for (auto const& r : runs) {
        EXPECT_EQ(r, expected);
    }
    EXPECT_FALSE(offThread);
    ASSERT_FALSE(handler.seen().empty());
    EXPECT_EQ(handler.seen().back(), ITaskQueueEventHandler::Empty);
    queue.UnregisterEventHandler(&handler);
}

// A queue built and destroyed on another thread drops its waiting tasks; the event loop then
// disposes of its receiver (LeakSanitizer checks that it does).
TEST_F(TaskQueueQtTest, AQueueDestroyedOnAnotherThreadDropsItsTasks) {
    int ran = 0;
    std::thread([&] {
        TaskQueueQt queue;
        queue.addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
    }).join();
    TaskQueueQt marker;
    bool markerRan = false;
    marker.addTask([&] { markerRan = true; }, Core::ITaskQueue::Normal);
    ASSERT_TRUE(pumpUntil([&] { return markerRan; }));
    EXPECT_EQ(ran, 0);
}

// The application object may go before the queue, whichever thread built the queue: later tasks
// are dropped with an ERROR line and the queue still goes cleanly.
TEST(TaskQueueQtAfterApplication, TasksPostedOnceTheApplicationIsGoneAreDroppedAndLogged) {
    for (bool builtOnAnotherThread : {false, true}) {
        ::Tiskel::Test::LogCapture log;
        int argc = 1;
        char name[] = "rdm_qt_tests";
        char* argv[] = {name, nullptr};
        auto application = std::make_unique<QCoreApplication>(argc, argv);
        std::unique_ptr<TaskQueueQt> queue;
        if (builtOnAnotherThread) {
            std::thread([&] { queue = std::make_unique<TaskQueueQt>(); }).join();
        } else {
            queue = std::make_unique<TaskQueueQt>();
        }
        int ran = 0;
        queue->addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
        application.reset();
        queue->addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
        queue.reset();
        EXPECT_EQ(ran, 0);
        auto const lines = log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](auto const& line) {
            return line.severity == google::GLOG_ERROR &&
                   line.text.find("task dropped") != std::string::npos;
        })) << builtOnAnotherThread;
    }
}

}  // namespace
}  // namespace Tiskel::App
