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
    std::vector<State> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return states;
    }

  private:
    std::mutex mutex;
    std::vector<State> states;
};

// Runs the Qt event loop on this thread until `condition` holds or the deadline passes.
template <class Condition>
bool pumpUntil(Condition condition) {
    return ::Tiskel::Test::waitUntil([&] {
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

}  // namespace
}  // namespace Tiskel::App
