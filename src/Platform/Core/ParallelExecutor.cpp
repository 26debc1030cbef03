#include "Platform/Core/ParallelExecutor.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
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
// Starting: no thread exists until a wake-up token finds no started thread idle to take it; then
// one thread is started, up to the pool's size. A program whose queues never hold work (every
// file already present) starts one thread at most, and a pool of 8 that only ever has two tasks
// at once starts about two. Threads, once started, stay until the destructor.
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
            hasTasks = state == HasTasks;
            // A caller waiting for its turn hears its own queue, not the job's.
            if (owner.queue != &queue) {
                return;
            }
            owner.queueHasTasks = hasTasks;
            if (hasTasks) {
                ++owner.epoch;
                owner.wakeOneIdle();
            }
        }

        // The queue's state by its publications since registration: like every handler of a
        // publisher, this one assumes Empty until told otherwise. Guarded by the owner's mutex.
        bool hasTasks = false;

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
    // By the queue's last publication. A queue that publishes nothing is taken as empty: its
    // job still runs every task, but on the one thread that the job's start wakes.
    bool queueHasTasks = false;
    // Threads that take a wake-up token before they do anything else: those waiting on
    // workCondition, and those not started yet.
    std::size_t idle = 0;
    std::size_t capacity = 0;    // the pool's size; threads.size() of them are started
    std::size_t wakeTokens = 0;  // wake-ups handed out and not yet taken, never above `idle`
    std::size_t inFlight = 0;    // execOne calls under way
    uint64_t epoch = 0;
    uint64_t emptyAtEpoch = kNoEpoch;  // the epoch at which a call last found the queue empty
    bool ranAny = false;
    std::exception_ptr firstError;

    // Only appended to, under `mutex`; read without it by the destructor once `stopping` is set.
    std::vector<std::thread> threads;

    // REQUIRES: mutex is held.
    bool mayStartTasks() const { return queue != nullptr && !aborted && !firstError; }

    // REQUIRES: mutex is held.
    bool jobFinished() const {
        return inFlight == 0 && (!mayStartTasks() || emptyAtEpoch == epoch);
    }

    // REQUIRES: mutex is held.
    void wakeOneIdle() {
        if (!mayStartTasks() || idle <= wakeTokens) {
            return;
        }
        ++wakeTokens;
        std::size_t const unstarted = capacity - threads.size();
        if (wakeTokens <= idle - unstarted) {
            workCondition.notify_one();  // a started thread is waiting for it
            return;
        }
        try {
            // The new thread takes the token once this caller releases the mutex.
            threads.emplace_back([this] { threadMain(); });
        } catch (std::system_error const&) {
            --wakeTokens;
            if (!threads.empty()) {
                // The system allows no more threads: the pool keeps the ones it has.
                idle -= unstarted;
                capacity = threads.size();
                return;
            }
            // With no thread at all the job fails with the reason instead of waiting for a
            // thread forever; the next job tries again.
            if (!firstError) {
                firstError = std::current_exception();
            }
            signalIfFinished();
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
    impl->threads.reserve(threadCount);  // so that starting a thread never moves the others
    impl->capacity = threadCount;
    impl->idle = threadCount;  // a token handed out before a thread waits is not lost
}

ParallelExecutor::~ParallelExecutor() {
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->aborted = true;
        impl->stopping = true;
    }
    impl->workCondition.notify_all();
    // No thread is started once `aborted` is set, so the vector no longer changes.
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
    impl->queueHasTasks = wakeHandler.hasTasks;
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

std::size_t ParallelExecutor::startedThreadCount() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->threads.size();
}

bool ParallelExecutor::runsOnThisThread() const noexcept {
    return poolOfThisThread == impl.get();
}

}  // namespace Tiskel::Core
