// ParallelExecutor with 8 threads running jobs of 2,000 tasks: tiny tasks queued before the
// job starts, and tasks that wait 50 us each (like a short request), posted before the job.
// Besides the time per job, reports the context switches per job of the whole process (every
// thread's voluntary and involuntary switches, from getrusage): a pool that wakes every thread
// for every finished task, or the caller for every task, shows it here.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <sys/resource.h>
#include <thread>

#include <benchmark/benchmark.h>

#include "Platform/Core/ParallelExecutor.h"
#include "Platform/Core/TaskQueue.h"

namespace {

using Tiskel::Core::ITaskQueue;

constexpr int kTasks = 2000;
constexpr int kThreads = 8;

long contextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

void runJobs(benchmark::State& state, std::chrono::microseconds taskWait) {
    Tiskel::Core::ParallelExecutor executor(kThreads);
    Tiskel::Core::TaskQueue queue;
    std::atomic<int> ran{0};
    long switches = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < kTasks; ++i) {
            queue.addTask(
                [&ran, taskWait] {
                    if (taskWait.count() > 0) {
                        std::this_thread::sleep_for(taskWait);
                    }
                    ran.fetch_add(1, std::memory_order_relaxed);
                },
                ITaskQueue::Normal);
        }
        long const before = contextSwitches();
        state.ResumeTiming();
        executor.execQueue(queue);
        state.PauseTiming();
        switches += contextSwitches() - before;
        state.ResumeTiming();
    }
    if (ran.load() != state.iterations() * kTasks) {
        state.SkipWithError("tasks were lost");
    }
    state.counters["switches_per_job"] =
        static_cast<double>(switches) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * kTasks);
}

void BM_TinyTasks(benchmark::State& state) {
    runJobs(state, std::chrono::microseconds(0));
}
BENCHMARK(BM_TinyTasks)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_WaitingTasks(benchmark::State& state) {
    runJobs(state, std::chrono::microseconds(50));
}
BENCHMARK(BM_WaitingTasks)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
