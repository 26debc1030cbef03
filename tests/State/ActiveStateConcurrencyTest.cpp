#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

#include "State/StateDoubles.h"
#include "Support/Wait.h"

namespace Tiskel::Test {
namespace {

using App::ActiveState;

// The execution library's queue with one thread draining it, as a notification queue runs.
class DrainingThread {
  public:
    explicit DrainingThread(Core::TaskQueue& taskQueue) : queue(taskQueue), watcher(&taskQueue) {
        thread = std::thread([this] {
            while (watcher.isActive()) {
                while (queue.execOne()) {
                }
                watcher.waitForState(Core::ITaskQueueEventHandler::HasTasks,
                                     std::chrono::seconds(0));
            }
        });
    }
    ~DrainingThread() { stop(); }
    // True once every task posted before the call has run (tasks of equal priority run in order).
    bool drain() {
        auto ran = std::make_shared<std::atomic<bool>>(false);
        queue.addTask([ran] { *ran = true; }, Core::ITaskQueue::Normal);
        return waitUntil([&] { return ran->load(); });
    }
    void stop() {
        watcher.stop();
        if (thread.joinable()) {
            thread.join();
        }
    }

  private:
    Core::TaskQueue& queue;
    Core::TaskQueueWatcher watcher;
    std::thread thread;
};

// Reads the traced state, so that a trace outside the node's lock would race with setters.
class ReadingTracer : public App::IEventTracer {
  public:
    void trace(Event, TraceRecord const& record) const noexcept override {
        if (record.state) {
            reads.fetch_add(record.state->status, std::memory_order_relaxed);
        }
    }
    mutable std::atomic<long> reads{0};
};

struct Watcher : App::IRemoteResourceEventHandler {
    void onStateChanged(State, App::ResourceDescriptorBundle const*) override {}
    void subscribe(ActiveState& node) {
        subscribed = true;
        node.addChangeSubscriber(
            this,
            [this](State state) {
                if (!subscribed) {
                    ++late;
                }
                std::lock_guard<std::mutex> lock(mutex);
                last = state;
                ++deliveries;
            },
            paramsFor({IRemoteResource::Waiting, IRemoteResource::Downloading,
                       IRemoteResource::Available, IRemoteResource::Error},
                      true, 0.0));
        node.checkAllNotifications();
    }
    void unsubscribe(ActiveState& node) {
        node.removeChangeSubscriber(this);
        subscribed = false;  // from here on no callback of this watcher may start
    }
    State lastDelivered() {
        std::lock_guard<std::mutex> lock(mutex);
        return last;
    }

    std::atomic<bool> subscribed{false};
    std::atomic<int> late{0};
    std::mutex mutex;
    State last;
    long deliveries = 0;
};

class ActiveStateConcurrencyTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ActiveStateConcurrencyTest, ChildrenChangeWhileSubscribersComeAndGo) {
    constexpr int kChildren = 3;
    constexpr int kSteps = 2000;
    std::shared_ptr<Core::ITaskQueue> queue;
    std::unique_ptr<DrainingThread> drainer;
    if (GetParam() == "TaskQueue") {
        auto taskQueue = std::make_shared<Core::TaskQueue>();
        drainer = std::make_unique<DrainingThread>(*taskQueue);
        queue = taskQueue;
    } else {
        queue = std::make_shared<Core::TaskQueueImmediate>();
    }
    auto tracer = std::make_shared<ReadingTracer>();
    ActiveState bundle({}, queue, tracer);
    std::vector<std::unique_ptr<ActiveState>> items;
    for (int i = 0; i < kChildren; ++i) {
        items.push_back(
            std::make_unique<ActiveState>(App::IEventTracer::TraceRecord{}, queue, tracer));
        bundle.addChild(items.back().get());
        items.back()->checkAllNotifications();
    }
    std::vector<std::pair<ActiveState*, std::unique_ptr<Watcher>>> steady, churning;
    for (ActiveState* node : {&bundle, items[0].get(), items[1].get(), items[2].get()}) {
        steady.emplace_back(node, std::make_unique<Watcher>());
        steady.back().second->subscribe(*node);
    }
    for (ActiveState* node : {&bundle, &bundle, items[0].get(), items[0].get()}) {
        churning.emplace_back(node, std::make_unique<Watcher>());
    }

    // Setters never make an item Available, so the final Available is news to every watcher.
    std::atomic<int> settersDone{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kChildren; ++i) {
        threads.emplace_back([&, item = items[i].get()] {
            for (int step = 0; step < kSteps; ++step) {
                item->setProgress(step, kSteps);
                if (step % 50 == 49) {
                    item->setDownloadError(step % 100 == 99 ? IRemoteResource::GeneralError
                                                            : IRemoteResource::Cancelled);
                    bundle.checkAllNotifications();
                }
            }
            ++settersDone;
            ++finished;
        });
    }
    threads.emplace_back([&] {
        while (settersDone < kChildren) {
            for (auto& [node, watcher] : churning) {
                if (watcher->subscribed) {
                    watcher->unsubscribe(*node);
                } else {
                    watcher->subscribe(*node);
                }
            }
        }
        ++finished;
    });
    if (!waitUntil([&] { return finished == static_cast<int>(threads.size()); })) {
        std::fprintf(stderr, "state nodes deadlocked\n");
        std::abort();  // the threads cannot be joined
    }
    for (auto& thread : threads) {
        thread.join();
    }

    for (std::size_t i = 0; i < churning.size(); ++i) {
        auto& [node, watcher] = churning[i];
        if (watcher->subscribed != (i % 2 == 0)) {
            i % 2 == 0 ? watcher->subscribe(*node) : watcher->unsubscribe(*node);
        }
    }
    for (auto& item : items) {
        item->setDownloadAvailable();
    }
    if (drainer) {
        ASSERT_TRUE(drainer->drain());
        drainer->stop();
    }

    State const available = makeState(IRemoteResource::Available, IRemoteResource::NoError, 1.0);
    EXPECT_EQ(bundle.getCurrentState(), available);
    for (auto const* watchers : {&steady, &churning}) {
        for (auto const& [node, watcher] : *watchers) {
            EXPECT_EQ(watcher->late, 0) << "delivered after its removal had returned";
            if (watcher->subscribed) {
                EXPECT_EQ(watcher->lastDelivered(), node->getCurrentState());
                EXPECT_EQ(watcher->lastDelivered(), available);
            }
        }
    }
    EXPECT_GT(steady[0].second->deliveries, kChildren);
    EXPECT_GT(tracer->reads.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Queues, ActiveStateConcurrencyTest,
                         ::testing::Values("TaskQueueImmediate", "TaskQueue"),
                         [](auto const& info) { return info.param; });

}  // namespace
}  // namespace Tiskel::Test
