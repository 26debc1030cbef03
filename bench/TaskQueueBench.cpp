// Throughput of TaskQueue: producers post small tasks while one consumer thread runs them with
// execOne. Reported as tasks posted and run per second.
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "Platform/Core/TaskQueue.h"

namespace {

using Tiskel::Core::ITaskQueue;
using Tiskel::Core::TaskQueue;

constexpr int64_t kTasksPerProducer = 100000;

void BM_TaskQueuePostAndRun(benchmark::State& state) {
    int const producers = static_cast<int>(state.range(0));
    for (auto _ : state) {
        TaskQueue queue;
        std::atomic<int64_t> ran{0};
        int64_t const total = kTasksPerProducer * producers;

        std::thread consumer([&] {
            while (ran.load(std::memory_order_relaxed) < total) {
                if (!queue.execOne()) {
                    std::this_thread::yield();
                }
            }
        });
        std::vector<std::thread> posters;
        for (int p = 0; p < producers; ++p) {
            posters.emplace_back([&queue, &ran] {
                for (int64_t i = 0; i < kTasksPerProducer; ++i) {
                    queue.addTask([&ran] { ran.fetch_add(1, std::memory_order_relaxed); },
                                  ITaskQueue::Normal);
                }
            });
        }
        for (auto& poster : posters) {
            poster.join();
        }
        consumer.join();
        benchmark::DoNotOptimize(ran.load());
    }
    state.SetItemsProcessed(state.iterations() * kTasksPerProducer * producers);
}
BENCHMARK(BM_TaskQueuePostAndRun)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("producers")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// One thread posts a batch and then runs it: the cost of the queue itself, without contention.
void BM_TaskQueuePostThenRunSingleThread(benchmark::State& state) {
    TaskQueue queue;
    int64_t ran = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            queue.addTask([&ran] { ++ran; }, static_cast<ITaskQueue::Priority>(i % 4));
        }
        while (queue.execOne()) {
        }
    }
    benchmark::DoNotOptimize(ran);
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_TaskQueuePostThenRunSingleThread);

}  // namespace

BENCHMARK_MAIN();
