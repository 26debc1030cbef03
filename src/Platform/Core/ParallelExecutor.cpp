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

// The pool threads take turns calling `execOne` on the queue of the current job, each outside
// the mutex. A thread whose call finds the queue empty goes idle until the `epoch` moves on:
// the epoch counts finished tasks (a finished task may have posted more) and `HasTasks`
// publications of the queue (another thread posted). The job is over when a call found the
// queue empty, nothing has moved the epoch since it began, and no call is still running.
struct ParallelExecutor::Impl {
    // Hears the queue of the current call post new work, so idle threads look again.
    class WakeHandler final : public ITaskQueueEventHandler {
      public:
        explicit WakeHandler(Impl& owner) : owner(owner) {}
        void handleChangedState(State state) override {
            if (state == HasTasks) {
                std::lock_guard<std::mutex> lock(owner.mutex);
                ++owner.epoch;
                owner.condition.notify_all();
            }
        }

      private:
        Impl& owner;
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

    // Guarded by `mutex`; `condition` is signalled on every change of them.
    std::mutex mutex;
    std::condition_variable condition;
    bool aborted = false;
    bool stopping = false;        // the pool threads end
    ITaskQueue* queue = nullptr;  // the current job, if any
    std::size_t inFlight = 0;     // execOne calls under way
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

    void threadMain() {
        // The epoch at which this thread's last call found the queue empty.
        uint64_t idleAt = kNoEpoch;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            condition.wait(lock, [&] { return stopping || (mayStartTasks() && idleAt != epoch); });
            if (stopping) {
                return;
            }
            ITaskQueue& current = *queue;
            uint64_t const startEpoch = epoch;
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
            if (ran) {
                ranAny = true;
                ++epoch;
                idleAt = kNoEpoch;
                if (error && !firstError) {
                    firstError = error;
                }
            } else if (epoch == startEpoch) {
                idleAt = startEpoch;
                emptyAtEpoch = startEpoch;
            }
            condition.notify_all();
        }
    }
};

ParallelExecutor::ParallelExecutor(std::size_t threadCount) : impl(std::make_unique<Impl>()) {
    if (threadCount == 0) {
        threadCount = 1;
    }
    impl->threads.reserve(threadCount);
    try {
        for (std::size_t i = 0; i < threadCount; ++i) {
            impl->threads.emplace_back([this] { impl->threadMain(); });
        }
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(impl->mutex);
            impl->stopping = true;
        }
        impl->condition.notify_all();
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
    impl->condition.notify_all();
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
    Impl::WakeHandler wakeHandler(*impl);
    Impl::Registration registration(queue, wakeHandler);

    std::unique_lock<std::mutex> lock(impl->mutex);
    // Concurrent callers are served one after another.
    impl->condition.wait(lock, [&] { return impl->queue == nullptr || impl->aborted; });
    if (impl->aborted) {
        return 0;
    }
    impl->queue = &queue;
    impl->ranAny = false;
    impl->firstError = nullptr;
    impl->emptyAtEpoch = kNoEpoch;
    ++impl->epoch;  // every thread looks at the new queue, idle or not
    impl->condition.notify_all();

    impl->condition.wait(lock, [&] { return impl->jobFinished(); });

    bool const ranAny = impl->ranAny;
    std::exception_ptr const error = impl->firstError;
    impl->queue = nullptr;
    impl->firstError = nullptr;
    impl->condition.notify_all();
    lock.unlock();

    if (error) {
        std::rethrow_exception(error);
    }
    return ranAny ? 1 : 0;
}

void ParallelExecutor::abort() {
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->aborted = true;
    }
    impl->condition.notify_all();
}

}  // namespace Tiskel::Core
