// The Qt task queue, and through it the inbox that hands work to the Qt thread: order, the
// thread tasks run on, wake-ups under bursts and while the wake-up pipe is emptied, and tasks
// dropped with the queue or the application.

#include <atomic>
#include <dlfcn.h>
#include <memory>
#include <mutex>
#include <numeric>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gmock/gmock.h>

#include "Platform/QtUtils/QtInbox.h"
#include "Platform/QtUtils/TaskQueueQt.h"

#include "Support/LogCapture.h"
#include "Support/QtApplication.h"

// Every read(2) of this program passes here, so that a test can act just before the event loop
// reads from the descriptor it names.
std::atomic<int> watchedFd{-1};
std::function<void()> beforeWatchedRead;  // set while watchedFd is -1

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
    static auto* const next =
        reinterpret_cast<ssize_t (*)(int, void*, size_t)>(dlsym(RTLD_NEXT, "read"));
    if (fd == watchedFd) {
        beforeWatchedRead();
    }
    return next(fd, buffer, size);
}

namespace Tiskel::App {
namespace {

using Core::ITaskQueueEventHandler;

// Records the states published, from any thread.
struct RecordingHandler : ITaskQueueEventHandler {
    void handleChangedState(State state) override {
        std::lock_guard<std::mutex> lock(mutex);
        states.push_back(state);
    }
    std::vector<State> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return states;
    }
    std::mutex mutex;
    std::vector<State> states;
};

namespace Support = ::Tiskel::Test;
using Support::pumpUntil;
using testing::Contains;
using testing::HasSubstr;

class TaskQueueQtTest : public ::testing::Test {
  protected:
    Support::QtApplication qt;
};

TEST(TaskQueueQtWithoutApplication, ConstructionThrowsLogicErrorThatNamesTheCause) {
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    EXPECT_THAT([] { TaskQueueQt queue; }, ::testing::ThrowsMessage<std::logic_error>(
                                               ::testing::HasSubstr("QCoreApplication")));
}

// Tasks wait for the event loop; the handler hears the queue fill and empty, and nothing once
// unregistered. A throwing task is logged and the next one runs. A queue destroyed, here or on
// another thread, drops its waiting tasks; the event loop then disposes of the other thread's
// receiver (LeakSanitizer checks that it does).
TEST_F(TaskQueueQtTest, TasksWaitForTheLoopPublishTheirStateAndSurviveAThrowingOne) {
    Support::LogCapture log;
    int ran = 0;
    auto const dropOne = [&] {
        TaskQueueQt gone;
        gone.addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
    };
    dropOne();
    std::thread(dropOne).join();
    TaskQueueQt queue;
    RecordingHandler handler;
    queue.RegisterEventHandler(&handler);
    bool later = false;
    queue.addTask([] { throw std::runtime_error("boom"); }, Core::ITaskQueue::Normal);
    queue.addTask([&] { later = true; }, Core::ITaskQueue::Normal);
    EXPECT_FALSE(queue.execOne());
    EXPECT_EQ(handler.seen(), std::vector{ITaskQueueEventHandler::HasTasks});
    ASSERT_TRUE(pumpUntil([&] { return later; }));
    EXPECT_EQ(ran, 0);
    EXPECT_THAT(log.errors(), Contains(HasSubstr("boom")));
    EXPECT_EQ(handler.seen(),
              (std::vector{ITaskQueueEventHandler::HasTasks, ITaskQueueEventHandler::Empty}));
    queue.UnregisterEventHandler(&handler);
    queue.addTask([] {}, Core::ITaskQueue::Normal);
    EXPECT_EQ(handler.seen().size(), 2u) << "an unregistered handler heard of a change";
}

// Posters race the event loop in bursts, each waiting for its burst to have run before the next,
// so the queue's inbox often runs empty just as a burst arrives. Each task must run once, on this
// thread, after the tasks its poster posted before it, and the handler's last word is Empty. A
// hand-over that only Qt's own locking orders shows up under ThreadSanitizer.
TEST_F(TaskQueueQtTest, BurstsFromManyThreadsRunOnceInOrderWithoutALostWakeUp) {
    constexpr int kThreads = 4, kTasks = 1200, kBurst = 4;
    TaskQueueQt queue;
    RecordingHandler handler;
    queue.RegisterEventHandler(&handler);
    std::vector<std::vector<int>> runs(kThreads);  // touched on this thread only
    int ran = 0;                                   // this thread only
    bool offThread = false;
    std::atomic<int> ranOf[kThreads] = {};
    std::atomic<bool> stalled{false};
    auto const mainThread = std::this_thread::get_id();
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kTasks && !stalled; ++i) {
                queue.addTask(
                    [&, t, i] {
                        offThread |= std::this_thread::get_id() != mainThread;
                        runs[t].push_back(i);
                        ++ranOf[t];
                        ++ran;
                    },
                    Core::ITaskQueue::Normal);
                if (i % kBurst == kBurst - 1) {
                    Support::waitUntil([&] { return ranOf[t] == i + 1; },
                                       [&] { return !stalled.load(); });
                }
            }
        });
    }
    bool const allRan = pumpUntil([&] { return ran == kThreads * kTasks; });
    stalled = true;  // releases the posters however the loop ended
    for (auto& poster : posters) {
        poster.join();
    }
    ASSERT_TRUE(allRan) << ran << " tasks ran";
    QCoreApplication::processEvents();  // a late wake-up must find nothing to run again
    std::vector<int> expected(kTasks);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(runs, std::vector<std::vector<int>>(kThreads, expected));
    EXPECT_FALSE(offThread);
    EXPECT_EQ(handler.seen().back(), ITaskQueueEventHandler::Empty);
    queue.UnregisterEventHandler(&handler);
}

// Another thread posts just before each read by which the event loop empties the inbox's wake-up
// pipe. Wherever that read sits, each post must still run: a post that found the inbox empty
// wrote a byte the read may swallow, so the pipe must be emptied before the inbox is last looked
// at. Work waiting while the loop is idle and the pipe holds no byte will never run.
TEST_F(TaskQueueQtTest, WorkPostedWhileTheWakeUpPipeIsEmptiedRuns) {
    int probe[2];
    ASSERT_EQ(::pipe(probe), 0);
    ::close(probe[0]);
    ::close(probe[1]);
    QtInbox inbox("drain test", &qt.application);  // its pipe takes the lowest free descriptors
    int posted = 1, ran = 0;
    beforeWatchedRead = [&] {
        if (posted < 3) {
            std::thread([&] {
                ++posted;
                inbox.post([&] { ++ran; });
            }).join();
        }
    };
    watchedFd = probe[0];
    inbox.post([&] { ++ran; });
    pollfd pipe{probe[0], POLLIN, 0};
    EXPECT_TRUE(Support::waitUntil(
        [&] {
            QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);
            return ran == posted && posted == 3;
        },
        [&] { return ran == posted || ::poll(&pipe, 1, 0) == 1; }))
        << ran << " of " << posted << " ran";
    watchedFd = -1;
}

// The application object may go before the queue, whichever thread built the queue: later tasks
// are dropped with an ERROR line and the queue still goes cleanly.
TEST(TaskQueueQtAfterApplication, TasksPostedOnceTheApplicationIsGoneAreDroppedAndLogged) {
    for (bool builtOnAnotherThread : {false, true}) {
        Support::LogCapture log;
        auto application = std::make_unique<Support::QtApplication>();
        std::unique_ptr<TaskQueueQt> queue;
        auto const build = [&] { queue = std::make_unique<TaskQueueQt>(); };
        builtOnAnotherThread ? std::thread(build).join() : build();
        int ran = 0;
        queue->addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
        application.reset();
        queue->addTask([&] { ++ran; }, Core::ITaskQueue::Normal);
        queue.reset();
        EXPECT_EQ(ran, 0);
        EXPECT_THAT(log.errors(), Contains(HasSubstr("task dropped"))) << builtOnAnotherThread;
    }
}

}  // namespace
}  // namespace Tiskel::App
