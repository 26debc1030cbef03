#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Core/TaskQueue.h"

#include "Support/Wait.h"
#include "Sync.h"

namespace Tiskel::Core {
namespace {

using State = ITaskQueueEventHandler::State;

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
    State last() const {
        std::lock_guard<std::mutex> lock(mutex);
        return states.empty() ? Empty : states.back();
    }

  private:
    mutable std::mutex mutex;
    std::vector<State> states;
};

TEST(TaskQueue, RunsHigherPriorityFirstAndEqualPrioritiesInPostingOrder) {
    TaskQueue queue;
    std::string order;
    auto post = [&](char name, ITaskQueue::Priority priority) {
        queue.addTask([&order, name] { order += name; }, priority);
    };
    post('a', ITaskQueue::Low);
    post('b', ITaskQueue::High);
    post('c', ITaskQueue::Normal);
    post('d', ITaskQueue::High);
    post('e', ITaskQueue::Background);
    post('f', ITaskQueue::Low);
    post('g', static_cast<ITaskQueue::Priority>(-5));
    post('h', static_cast<ITaskQueue::Priority>(9));
    post('i', ITaskQueue::Normal);
    EXPECT_EQ(queue.size(), 9u);

    // A task posted while the queue runs takes its place among those still waiting.
    queue.addTask([&] { post('j', ITaskQueue::High); }, ITaskQueue::High);

    while (queue.execOne()) {
    }
    EXPECT_EQ(order, "hbdjciafeg");
    EXPECT_EQ(queue.size(), 0u);
}

TEST(TaskQueue, PublishesOnlyEmptinessChangesAndEmptyBeforeTheLastTaskRuns) {
    TaskQueue queue;
    RecordingHandler handler;
    queue.RegisterEventHandler(&handler);
    queue.RegisterEventHandler(&handler);  // a second registration is ignored

    queue.addTask([] {}, ITaskQueue::Normal);
    queue.addTask([] {}, ITaskQueue::Low);
    EXPECT_EQ(handler.seen(), std::vector<State>{ITaskQueueEventHandler::HasTasks});

    EXPECT_TRUE(queue.execOne());
    EXPECT_EQ(handler.seen().size(), 1u);

    std::vector<State> seenByLastTask;
    queue.addTask([&] { seenByLastTask = handler.seen(); }, ITaskQueue::Low);
    EXPECT_TRUE(queue.execOne());
    EXPECT_TRUE(queue.execOne());
    EXPECT_EQ(seenByLastTask, (std::vector<State>{ITaskQueueEventHandler::HasTasks,
                                                  ITaskQueueEventHandler::Empty}));
    EXPECT_FALSE(queue.execOne());
    EXPECT_EQ(handler.seen().size(), 2u);

    queue.UnregisterEventHandler(&handler);
    queue.addTask([] {}, ITaskQueue::Normal);
    EXPECT_EQ(handler.seen().size(), 2u);
}

TEST(TaskQueue, HandlerRegisteredWhileTasksWaitHearsHasTasksAtOnce) {
    TaskQueue queue;
    queue.addTask([] {}, ITaskQueue::Normal);
    RecordingHandler handler;
    queue.RegisterEventHandler(&handler);
    EXPECT_EQ(handler.seen(), std::vector<State>{ITaskQueueEventHandler::HasTasks});
    queue.UnregisterEventHandler(&handler);
}

TEST(TaskQueue, TaskExceptionReachesCallerAndTaskIsGone) {
    TaskQueue queue;
    RecordingHandler handler;
    queue.RegisterEventHandler(&handler);
    queue.addTask([] { throw std::runtime_error("task failed"); }, ITaskQueue::Normal);
    EXPECT_THROW(queue.execOne(), std::runtime_error);
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(handler.last(), ITaskQueueEventHandler::Empty);
    EXPECT_FALSE(queue.execOne());

    EXPECT_THROW(queue.addTask(std::function<void()>(), ITaskQueue::Normal),
                 std::bad_function_call);
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(handler.seen().size(), 2u);
    queue.UnregisterEventHandler(&handler);
}

// A handler that unregisters while a publication is under way must not be called once
// `UnregisterEventHandler` has returned. The first handler holds the publication open until the
// second one's unregistration returns, or for a short while if it blocks, as it should.
TEST(TaskQueue, UnregisteredHandlerIsNotCalledByAPublicationUnderWay) {
    TaskQueue queue;
    Tiskel::Test::Gate publishing;
    std::atomic<bool> unregisterReturned{false};
    struct Holder : ITaskQueueEventHandler {
        std::function<void()> onCall;
        void handleChangedState(State /*state*/) override { onCall(); }
    } holder;
    holder.onCall = [&] {
        publishing.open();
        Tiskel::Test::waitUntil([&] { return unregisterReturned.load(); },
                                std::chrono::milliseconds(200));
    };
    struct Late : ITaskQueueEventHandler {
        std::atomic<bool>* unregistered = nullptr;
        std::atomic<int> lateCalls{0};
        void handleChangedState(State /*state*/) override {
            if (unregistered->load()) {
                ++lateCalls;
            }
        }
    } late;
    late.unregistered = &unregisterReturned;
    queue.RegisterEventHandler(&holder);
    queue.RegisterEventHandler(&late);

    std::thread poster([&] { queue.addTask([] {}, ITaskQueue::Normal); });
    ASSERT_TRUE(publishing.wait());
    queue.UnregisterEventHandler(&late);
    unregisterReturned = true;
    poster.join();
    EXPECT_EQ(late.lateCalls.load(), 0);
    queue.UnregisterEventHandler(&holder);
}

// Several producers post while one consumer runs tasks and other threads keep registering,
// unregistering and destroying handlers (the sanitizer builds catch a call to a destroyed one).
// Each producer's tasks must run in its posting order.
TEST(TaskQueue, ConcurrentPostersKeepTheirOrderWhileHandlersComeAndGo) {
    constexpr int kProducers = 3;
    constexpr int kTasksEach = 5000;
    TaskQueue queue;

    struct CountingHandler : ITaskQueueEventHandler {
        std::atomic<int> calls{0};
        void handleChangedState(State /*state*/) override { ++calls; }
    };
    std::atomic<bool> done{false};
    std::vector<std::thread> churners;
    for (int i = 0; i < 2; ++i) {
        churners.emplace_back([&queue, &done] {
            while (!done.load()) {
                auto handler = std::make_unique<CountingHandler>();
                queue.RegisterEventHandler(handler.get());
                std::this_thread::yield();
                queue.UnregisterEventHandler(handler.get());
            }
        });
    }

    std::vector<std::pair<int, int>> ran;  // touched by the consumer thread only
    std::vector<std::thread> producers;
    for (int producer = 0; producer < kProducers; ++producer) {
        producers.emplace_back([&queue, &ran, producer] {
            for (int i = 0; i < kTasksEach; ++i) {
                queue.addTask([&ran, producer, i] { ran.emplace_back(producer, i); },
                              ITaskQueue::Normal);
            }
        });
    }
    std::thread consumer([&] {
        while (ran.size() < static_cast<std::size_t>(kProducers * kTasksEach)) {
            if (!queue.execOne()) {
                std::this_thread::yield();
            }
        }
    });
    for (auto& thread : producers) {
        thread.join();
    }
    consumer.join();
    done = true;
    for (auto& thread : churners) {
        thread.join();
    }

    std::vector<int> next(kProducers, 0);
    for (auto const& [producer, index] : ran) {
        ASSERT_EQ(index, next[producer]) << "producer " << producer;
        ++next[producer];
    }
    EXPECT_EQ(next, std::vector<int>(kProducers, kTasksEach));
}

// Posters and takers race on the empty/non-empty edge. Whatever the interleaving, once they are
// done the last state the handler heard must be the queue's real state; a stale `HasTasks` or
// `Empty` published late would leave a waiter awake with nothing to do, or asleep with work.
TEST(TaskQueue, LastPublishedStateMatchesTheQueueAfterRaces) {
    constexpr int kRounds = 300;
    constexpr int kPostsPerThread = 20;
    TaskQueue queue;
    RecordingHandler handler;
    queue.RegisterEventHandler(&handler);

    for (int round = 0; round < kRounds; ++round) {
        int const total = 2 * kPostsPerThread;
        int const toTake = total - round % 2;  // odd rounds leave one task behind
        std::atomic<int> claims{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kPostsPerThread; ++i) {
                    queue.addTask([] {}, ITaskQueue::Normal);
                }
            });
            threads.emplace_back([&] {
                while (claims.fetch_add(1) < toTake) {
                    while (!queue.execOne()) {
                        std::this_thread::yield();
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        State const expected =
            queue.size() == 0 ? ITaskQueueEventHandler::Empty : ITaskQueueEventHandler::HasTasks;
        ASSERT_EQ(queue.size(), static_cast<std::size_t>(total - toTake));
        ASSERT_EQ(handler.last(), expected) << "round " << round;
        while (queue.execOne()) {
        }
    }
    queue.UnregisterEventHandler(&handler);
}

}  // namespace
}  // namespace Tiskel::Core
