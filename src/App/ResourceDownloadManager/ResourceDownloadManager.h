#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IEventTracer.h"
#include "App/ResourceDownloadManager/INetworkStateChecker.h"
#include "App/ResourceDownloadManager/IPostProcessor.h"
#include "App/ResourceDownloadManager/IResourceDownloader.h"
#include "App/ResourceDownloadManager/IValidator.h"
#include "Platform/Core/IExecutor.h"
#include "Platform/Core/ITaskQueue.h"
#include "Platform/Core/ITaskQueueEventHandler.h"

namespace Tiskel::Core {

// Runs a queue's tasks one after another on the calling thread. `abort` may be called from any
// thread: a running task finishes and no further task is started, for good.
class RDM_EXPORT BlockingExecutor final : public IExecutor {
  public:
    BlockingExecutor() = default;
    // 1 when at least one task ran, 0 when the queue was empty or the executor is aborted.
    // An exception from a task passes to the caller.
    int32_t execQueue(ITaskQueue& queue) override;
    void abort() override;

  private:
    std::atomic<bool> aborted{false};
};

// A queue that runs each task at once, on the posting thread, inside `addTask`; the priority is
// ignored. It never holds a task and never publishes a state. An exception escaping a task is
// caught and logged at ERROR: the poster is usually an operation that must not throw (a state
// change delivering to a subscriber). Thread-safe as far as the tasks themselves are.
class RDM_EXPORT TaskQueueImmediate final : public ITaskQueue {
  public:
    void RegisterEventHandler(ITaskQueueEventHandler* handler) override;
    void UnregisterEventHandler(ITaskQueueEventHandler* handler) override;
    // Always false.
    bool execOne() override;
    // Runs `task` before returning; an empty task throws std::bad_function_call.
    void addTask(std::function<void()> task, Priority priority) override;
};

// Remembers the last state a queue published and lets a thread wait for a wanted state.
// Thread-safe. Every change of state wakes one waiter; `stop` wakes them all.
class RDM_EXPORT TaskQueueWatcher final : public ITaskQueueEventHandler {
  public:
    // Registers with `queue`, which must outlive the watcher.
    explicit TaskQueueWatcher(ITaskQueue* queue);
    // Unregisters from the queue.
    ~TaskQueueWatcher() noexcept override;
    TaskQueueWatcher(TaskQueueWatcher const&) = delete;
    TaskQueueWatcher& operator=(TaskQueueWatcher const&) = delete;

    void handleChangedState(State newState) override;

    // Returns when the watcher is stopped or the last published state is `wanted`, or, for a
    // positive time-out, when the time-out has passed on the steady clock. A zero or negative
    // time-out waits without a deadline.
    void waitForState(State wanted, std::chrono::milliseconds timeout);

    // Ends every wait, now and later. Nothing restarts the watcher.
    void stop();

    // Runs `predicate` with the watcher's mutex held, on `state` and `active`; for an owner that
    // waits on the watcher's condition itself.
    void waitWhile(std::function<bool(State state, bool active)> const& predicate);
    bool isActive() const;

  private:
    State state = Empty;
    mutable std::mutex mutex;
    std::condition_variable condition;
    bool active = true;
    ITaskQueue* queue;
};

}  // namespace Tiskel::Core

namespace Tiskel::Networking {
class IProxyProvider;
}

namespace Tiskel::App {

class RemoteResourceScheduler;

// The facade a host creates first. It owns the executor, the HTTP client, the services and two
// workers (init and main), each with a download queue, a notification queue, a retrier, a
// scheduler and a watcher on its download queue. The init worker is always served first and
// never retries; the main worker retries failed downloads with a growing pause.
//
// Usage: construct; `init` once; register bundles with `getInitScheduler()` /
// `getMainScheduler()`; then either `startEventLoopThread()` or drive the work with
// `processCurrentQueue()`; finally `abort()` or destroy. Called from one host thread; the
// schedulers it hands out are thread-safe.
class RDM_EXPORT ResourceDownloadManager {
  public:
    struct Params {
        // Run tasks on a pool of `threadCount` threads instead of the driving thread.
        bool useParallelExecutor = false;
        // Pool size; 0 means getOptimalThreadCount(). Ignored without useParallelExecutor.
        std::size_t threadCount = 0;
        // The main worker delivers notifications on the Qt event loop (a QCoreApplication must
        // exist) instead of at once on the thread that changed the state.
        bool useQtNotificationQueue = false;
        // Goes past the update policies: a present file whose size is not its descriptor's
        // `expectedSize` (when that is 0 or more) is downloaded again under every policy,
        // IfMissing and the local-copy shortcut included. Off: the policies alone decide.
        bool repairSizeMismatch = false;
        // The switches below go past the plain download steps; each is off by default. The
        // first five reach the downloader `init` makes (ResourceDownloaderHttp::Features says
        // what each does there); a host that injects its own downloader sets them on it.
        //
        // A broken-off download resumes where it stopped, within the run and in a later one.
        bool resumeDownloads = false;
        // IfModified checks are one conditional GET per file (304: kept; 200: the new file)
        // instead of a Last-Modified query followed by a GET; a finished file carries the
        // server's time and ETag.
        bool conditionalRequests = false;
        // 429 and 503 are retried like a lost connection, and a server's Retry-After holds
        // every retry of the main worker until it has passed (clamped to 1 s ... 1 h).
        bool honourRetryAfter = false;
        // A file and its rename reach the disk before the file counts as downloaded.
        bool syncToDisk = false;
        // A download of 1 MiB or more whose known size does not fit on the disk fails at once.
        bool checkFreeSpace = false;
        // The retry pauses (5 s, 60 s) vary by up to 20 % either way.
        bool jitterRetryPauses = false;
    };

    // Services the host may inject; `init` fills each empty one with its default.
    struct Dependencies {
        std::shared_ptr<IEventTracer> eventTracer;                  // default: EventTracerStub
        std::shared_ptr<INetworkStateChecker> networkStateChecker;  // NetworkStateCheckerStub
        std::shared_ptr<IPostProcessor> postProcessor;              // PostProcessorStub
        std::shared_ptr<Networking::IProxyProvider> proxyProvider;  // QtProxyProvider
        std::shared_ptr<IResourceDownloader> downloader;            // ResourceDownloaderHttp
        std::shared_ptr<IValidator> validator;                      // ValidatorStub
    };

    ResourceDownloadManager();
    // Aborts (see `abort`), then releases everything. Never throws.
    // Destroy the manager on a host thread outside notification callbacks. Destroyed inside a
    // notification callback, or by host code running on its event-loop thread or a pool thread
    // (a validator, post-processor or tracer there), it cannot release what the code below the
    // caller still uses nor join its own thread: it logs one ERROR line, aborts,
    // lets the event-loop thread end by itself and keeps its internals until the process ends.
    // Those internals go on referring to the registered descriptors and bundles, which must then
    // stay alive as well.
    ~ResourceDownloadManager() noexcept;
    ResourceDownloadManager(ResourceDownloadManager const&) = delete;
    ResourceDownloadManager& operator=(ResourceDownloadManager const&) = delete;

    // Wires the components. Call once, before anything else. Exceptions from the components'
    // constructors propagate; what was built before stays in place. Starts no thread.
    void init(Params const& params, Dependencies const& dependencies);

    // hardware threads / 2, at least 2, at most 8.
    static std::size_t getOptimalThreadCount();

    // The schedulers; empty before `init`.
    std::shared_ptr<RemoteResourceScheduler> getInitScheduler() const;
    std::shared_ptr<RemoteResourceScheduler> getMainScheduler() const;

    // One pass of work: the init worker's queue, else the main worker's, else one retry or the
    // retrier's pause (5 or 60 s, cut short by new work). True when the pass made progress or
    // waited. Exceptions from tasks (host services may throw) pass to the caller.
    bool processCurrentQueueQuant();
    // Passes until one makes no progress.
    void processCurrentQueue();
    // When the retrier's pause that a pass is waiting out ends, and with it the next retry; the
    // zero time point while no pass waits for one. Any thread.
    std::chrono::steady_clock::time_point nextRetryTime() const noexcept;

    // Starts the event-loop thread, which runs passes and sleeps while the main queue is empty.
    // An exception escaping a pass is logged at ERROR and the loop goes on. Throws
    // std::logic_error before `init` or while a started thread is still held, and
    // std::system_error ("thread constructor failed") when no thread can be created.
    void startEventLoopThread();
    // Joins the event-loop thread (it ends once the main watcher is stopped), then stops both
    // watchers. Throws std::logic_error on the event-loop thread, on a pool thread and inside a
    // notification callback, where the join could wait for the caller itself.
    void joinEventLoopThread();
    // Aborts the downloader and the executor, stops both watchers and joins the event-loop
    // thread. Queued tasks never run. Idempotent.
    // May be called from a notification callback, a validator or post-processor, i.e. on the
    // event-loop thread, a pool thread or inside a callback: there it does everything but the
    // join and returns at once (the event-loop thread ends by itself after its current task);
    // a later `abort`, `joinEventLoopThread` or the destructor on a host thread joins it.
    void abort();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

namespace detail {
// The pool size for a machine with `hardwareThreads` hardware threads (0 when unknown).
RDM_EXPORT std::size_t optimalThreadCountFor(unsigned hardwareThreads) noexcept;
}  // namespace detail

}  // namespace Tiskel::App
