#include "Platform/Core/ParallelExecutor.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Core/ITaskQueueEventHandler.h"

namespace Tiskel::Core {

namespace {

constexpr uint64_t kNoEpoch = UINT64_MAX;

}  // namespace

// The pool whose thread this is; null on every other thread.
thread_local void const* poolOfThisThread = nullptr;

// The pool threads take turns calling `execOne` on the queue of the current job, each outside
// the mutex.
//
// Waking: threads that have nothing to do wait on `workCondition` for a wake-up token; each token
// wakes one thread. The job's start hands out one; a `HasTasks` publication of the queue hands
// out one more to an idle thread; and a thread about to take a task hands one to an idle thread
// while the queue, by its last publication, still holds tasks, so that a run of queued tasks
// spreads over the pool one thread at a time and a long task does not hold up the rest. No
// finished task wakes anyone. The caller waits on `jobCondition`, signalled only when the job
// ends.
//
// The job's end: the `epoch` counts finished tasks (a finished task may have posted more) and
// `HasTasks` publications (another thread posted). The job is over when a call found the queue
// empty, nothing has moved the epoch since that call began, and no call is still running. Every
// thread that ran a task calls `execOne` again before it rests, so some call always finds the
// queue empty last. A call that found the queue empty while the epoch moved looks again: the post
// that moved it may have found no idle thread to wake, this one being still inside its call.
struct ParallelExecutor::Impl {
    // Hears the queue of the current call change between empty and non-empty.
    class WakeHandler final : public ITaskQueueEventHandler {
      public:
        WakeHandler(Impl& owner, ITaskQueue& queue) : owner(owner), queue(queue) {}
        void handleChangedState(State state) override {
            std::lock_guard<std::mutex> lock(owner.mutex);
            // A caller waiting for its turn hears its own queue, not the job's.
            if (owner.queue != &queue) {
                return;
            }
            owner.queueHasTasks = state == HasTasks;
            if (state == HasTasks) {
                ++owner.epoch;
                owner.wakeOneIdle();
            }
        }

      private:
        Impl& owner;
        ITaskQueue& queue;
    };

    // Unregisters the wake handler however execQueue leaves.
    class Registration {
      public:
        Registration(ITaskQueue& queue, ITaskQueueEventHandler& handler)
            : queue(queue), handler(handler) {
            queue.RegisterEventHandler(&handler);
        }
        ~Registration() { queue.UnregisterEventHandler(&handler); }
        Registration(Registration const&) = delete;
        Registration& operator=(Registration const&) = delete;

      private:
        ITaskQueue& queue;
        ITaskQueueEventHandler& handler;
    };

    std::mutex mutex;
    // Idle pool threads wait here for a wake-up token, or for the pool to stop.
    std::condition_variable workCondition;
    // The caller of the current job waits here for its end.
    std::condition_variable jobCondition;
    // Further callers wait here for the current job to end.
    std::condition_variable freeCondition;

    // Guarded by `mutex`.
    bool aborted = false;
    bool stopping = false;        // the pool threads end
    ITaskQueue* queue = nullptr;  // the current job, if any
    // By the queue's last publication; true at the start of a job, when nothing is known yet
    // (and for good with a queue that publishes nothing).
    bool queueHasTasks = false;
    // Threads that take a wake-up token before they do anything else: those waiting on
    // workCondition, and those not started yet.
    std::size_t idle = 0;
    std::size_t wakeTokens = 0;  // wake-ups handed out and not yet taken, never above `idle`
    std::size_t inFlight = 0;    // execOne calls under way
    uint64_t epoch = 0;
    uint64_t emptyAtEpoch = kNoEpoch;  // the epoch at which a call last found the queue empty
    bool ranAny = false;
    std::exception_ptr firstError;

    // Constant after construction.
    std::vector<std::thread> threads;

    // REQUIRES: mutex is held.
    bool mayStartTasks() const { return queue != nullptr && !aborted && !firstError; }

    // REQUIRES: mutex is held.
    bool jobFinished() const {
        return inFlight == 0 && (!mayStartTasks() || emptyAtEpoch == epoch);
    }

    // REQUIRES: mutex is held.
    void wakeOneIdle() {
        if (mayStartTasks() && idle > wakeTokens) {
            ++wakeTokens;
            workCondition.notify_one();
        }
    }

    // REQUIRES: mutex is held.
    void signalIfFinished() {
        if (queue != nullptr && jobFinished()) {
            jobCondition.notify_one();
        }
    }

    void threadMain() {
        poolOfThisThread = this;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            // Counted in `idle` since the constructor or the end of the previous turn.
            workCondition.wait(lock, [&] { return stopping || wakeTokens > 0; });
            if (stopping) {
                return;
            }
            --wakeTokens;
            --idle;
            // Calls execOne until a call finds the queue empty and nothing moved the epoch
            // meanwhile.
            while (mayStartTasks()) {
                ITaskQueue& current = *queue;
                uint64_t const startEpoch = epoch;
                if (queueHasTasks) {
                    wakeOneIdle();  // for the tasks behind the one this thread takes
                }
                ++inFlight;
                lock.unlock();

                bool ran = false;
                std::exception_ptr error;
                try {
                    ran = current.execOne();
                } catch (...) {
                    ran = true;
                    error = std::current_exception();
                }

                lock.lock();
                --inFlight;
                if (!ran) {
                    if (epoch == startEpoch) {
                        emptyAtEpoch = startEpoch;
                        break;
                    }
                    // Something was posted or finished during the call, maybe while no thread
                    // was idle to be woken for it: look again rather than rest.
                    continue;
                }
                ranAny = true;
                ++epoch;
                if (error && !firstError) {
                    firstError = error;
                }
            }
            signalIfFinished();
            ++idle;
        }
    }
};

ParallelExecutor::ParallelExecutor(std::size_t threadCount) : impl(std::make_unique<Impl>()) {
    if (threadCount == 0) {
        threadCount = 1;
    }
    impl->threads.reserve(threadCount);
    impl->idle = threadCount;  // a token handed out before a thread waits is not lost
    try {
        for (std::size_t i = 0; i < threadCount; ++i) {
            impl->threads.emplace_back([this] { impl->threadMain(); });
        }
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(impl->mutex);
            impl->stopping = true;
        }
        impl->workCondition.notify_all();
        for (std::thread& thread : impl->threads) {
            thread.join();
        }
        throw;
    }
}

ParallelExecutor::~ParallelExecutor() {
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->aborted = true;
        impl->stopping = true;
    }
    impl->workCondition.notify_all();
    for (std::thread& thread : impl->threads) {
        thread.join();
    }
}

int32_t ParallelExecutor::execQueue(ITaskQueue& queue) {
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        if (impl->aborted) {
            return 0;
        }
    }

    // Registered before the job starts so that no post during the job goes unheard.
    Impl::WakeHandler wakeHandler(*impl, queue);
    Impl::Registration registration(queue, wakeHandler);

    std::unique_lock<std::mutex> lock(impl->mutex);
    // Concurrent callers are served one after another.
    impl->freeCondition.wait(lock, [&] { return impl->queue == nullptr || impl->aborted; });
    if (impl->aborted) {
        return 0;
    }
    impl->queue = &queue;
    impl->queueHasTasks = true;
    impl->ranAny = false;
    impl->firstError = nullptr;
    impl->emptyAtEpoch = kNoEpoch;
    ++impl->epoch;
    impl->wakeTokens = 0;
    impl->wakeOneIdle();

    impl->jobCondition.wait(lock, [&] { return impl->jobFinished(); });

    bool const ranAny = impl->ranAny;
    std::exception_ptr const error = impl->firstError;
    impl->queue = nullptr;
    impl->firstError = nullptr;
    impl->wakeTokens = 0;
    impl->freeCondition.notify_one();
    lock.unlock();

    if (error) {
        std::rethrow_exception(error);
    }
    return ranAny ? 1 : 0;
}

void ParallelExecutor::abort() {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->aborted = true;
    impl->signalIfFinished();
    impl->freeCondition.notify_all();
}

bool ParallelExecutor::runsOnThisThread() const noexcept {
    return poolOfThisThread == impl.get();
}

}  // namespace Tiskel::Core
