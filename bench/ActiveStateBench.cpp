// BM_ChangeInBundle: one change of one item in a bundle of 10, 1,000 and 100,000 items. The
// bundle's aggregate follows from running counts, so the time must be the same for all three.
//
// The others: cost of one progress change on an item's state node with 10 subscribers, climbing
// into two bundle nodes of four items each. Every change decides 10 notifications (granularity 0),
// so the time per notification is the time per change divided by 10, delivery included.
//
// TaskQueueImmediate runs every delivery inside the setter. With TaskQueue a consumer thread
// drains the queue while the setter thread posts; each iteration is a batch of changes and
// waits until the batch has been delivered, so the figure covers posting and delivery.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

namespace {

using Tiskel::App::ActiveState;
using Tiskel::App::IRemoteResource;
using Tiskel::App::IRemoteResourceEventHandler;
using Tiskel::Core::ITaskQueue;

constexpr int kSubscribers = 10;
constexpr int kItemsPerBundle = 4;
constexpr int64_t kBatch = 1000;
// Progress only ever rises, so with granularity 0 every change notifies every subscriber.
constexpr unsigned long long kTotal = 1ull << 62;

struct Key : IRemoteResourceEventHandler {
    void onStateChanged(IRemoteResource::State,
                        Tiskel::App::ResourceDescriptorBundle const*) override {}
};

// An item node with its subscribers, under two bundle nodes that each hold three more items.
class Tree {
  public:
    explicit Tree(std::shared_ptr<ITaskQueue> const& queue) {
        auto make = [&] {
            nodes.push_back(std::make_unique<ActiveState>(Tiskel::App::IEventTracer::TraceRecord{},
                                                          queue, nullptr));
            return nodes.back().get();
        };
        item = make();
        for (int b = 0; b < 2; ++b) {
            ActiveState* bundle = make();
            bundle->addChild(item);
            for (int i = 1; i < kItemsPerBundle; ++i) {
                ActiveState* other = make();
                bundle->addChild(other);
                other->checkAllNotifications();
            }
        }
        item->checkAllNotifications();
        IRemoteResource::NotificationParams params;
        params.statuses = {IRemoteResource::Downloading};
        params.notifyProgress = true;
        params.progressGranularity = 0.0;
        for (auto& key : keys) {
            item->addChangeSubscriber(
                &key,
                [this](IRemoteResource::State) {
                    delivered.fetch_add(1, std::memory_order_relaxed);
                },
                params);
        }
    }

    ActiveState* item = nullptr;
    std::atomic<int64_t> delivered{0};

  private:
    std::vector<std::unique_ptr<ActiveState>> nodes;
    Key keys[kSubscribers];
};

void BM_SetProgressImmediate(benchmark::State& state) {
    Tree tree(std::make_shared<Tiskel::Core::TaskQueueImmediate>());
    uint64_t done = 0;
    for (auto _ : state) {
        tree.item->setProgress(++done, kTotal);
    }
    if (tree.delivered.load() != state.iterations() * kSubscribers) {
        state.SkipWithError("notifications were lost");
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["per_notification"] =
        benchmark::Counter(static_cast<double>(tree.delivered.load()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SetProgressImmediate);

void BM_SetProgressTaskQueue(benchmark::State& state) {
    auto queue = std::make_shared<Tiskel::Core::TaskQueue>();
    Tree tree(queue);
    std::atomic<bool> stop{false};
    std::thread consumer([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            if (!queue->execOne()) {
                std::this_thread::yield();
            }
        }
    });
    uint64_t done = 0;
    for (auto _ : state) {
        int64_t const target = tree.delivered.load() + kBatch * kSubscribers;
        for (int64_t i = 0; i < kBatch; ++i) {
            tree.item->setProgress(++done, kTotal);
        }
        while (tree.delivered.load() < target) {
            std::this_thread::yield();
        }
    }
    stop = true;
    consumer.join();
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.counters["per_notification"] =
        benchmark::Counter(static_cast<double>(tree.delivered.load()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SetProgressTaskQueue)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ChangeInBundle(benchmark::State& state) {
    auto const queue = std::make_shared<Tiskel::Core::TaskQueueImmediate>();
    auto make = [&] {
        return std::make_unique<ActiveState>(Tiskel::App::IEventTracer::TraceRecord{}, queue,
                                             nullptr);
    };
    auto const bundle = make();
    std::vector<std::unique_ptr<ActiveState>> items;
    for (int64_t i = 0; i < state.range(0); ++i) {
        items.push_back(make());
        bundle->addChild(items.back().get());
    }
    for (auto const& item : items) {
        item->checkAllNotifications();
    }
    // A subscriber that hears of the end only: each change is weighed but delivers nothing.
    Key key;
    IRemoteResource::NotificationParams params;
    params.statuses = {IRemoteResource::Available};
    bundle->addChangeSubscriber(
        &key, [](IRemoteResource::State) {}, params);
    // Turns through a few items spread over the bundle, so that the figure is that of a typical
    // item and not of one item's place in the bundle's table.
    std::vector<ActiveState*> changed;
    for (std::size_t i = 0; i < 8; ++i) {
        changed.push_back(items[i * items.size() / 8].get());
    }
    unsigned long long done = 0;
    for (auto _ : state) {
        ++done;
        changed[done % changed.size()]->setProgress(done % 1000, 1000);
    }
    if (bundle->getCurrentState().status != IRemoteResource::Downloading) {
        state.SkipWithError("the bundle did not follow its item");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChangeInBundle)->Arg(10)->Arg(1000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
