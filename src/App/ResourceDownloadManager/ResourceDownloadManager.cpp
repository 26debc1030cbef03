#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <glog/logging.h>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/DownloadRetrier.h"
#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "Platform/Core/ParallelExecutor.h"
#include "Platform/Core/TaskQueue.h"
#include "Platform/Networking/IHttpClient.h"
#include "Platform/Networking/IProxyProvider.h"
#include "Platform/QtUtils/TaskQueueQt.h"

namespace Tiskel::Core {

int32_t BlockingExecutor::execQueue(ITaskQueue& queue) {
    if (aborted.load()) {
        return 0;
    }
    if (!queue.execOne()) {
        return 0;
    }
    while (!aborted.load() && queue.execOne()) {
    }
    return 1;
}

void BlockingExecutor::abort() {
    aborted.exchange(true);
}

void TaskQueueImmediate::RegisterEventHandler(ITaskQueueEventHandler* /*handler*/) {}

void TaskQueueImmediate::UnregisterEventHandler(ITaskQueueEventHandler* /*handler*/) {}

bool TaskQueueImmediate::execOne() {
    return false;
}

void TaskQueueImmediate::addTask(std::function<void()> task, Priority /*priority*/) {
    if (!task) {
        throw std::bad_function_call();
    }
    // The poster is often a setter or a scheduling call that must not throw, with host code
    // (a subscriber's callback) inside the task: what escapes it is logged, not let through.
    try {
        task();
    } catch (std::exception const& error) {
        LOG(ERROR) << "A task run at once threw: " << error.what();
    } catch (...) {
        LOG(ERROR) << "A task run at once threw an unknown exception";
    }
}

TaskQueueWatcher::TaskQueueWatcher(ITaskQueue* queue) : queue(queue) {
    queue->RegisterEventHandler(this);
}

TaskQueueWatcher::~TaskQueueWatcher() noexcept {
    queue->UnregisterEventHandler(this);
}

void TaskQueueWatcher::handleChangedState(State newState) {
    std::lock_guard<std::mutex> lock(mutex);
    state = newState;
    condition.notify_one();
}

void TaskQueueWatcher::waitForState(State wanted, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    // Any positive time-out bounds the wait, also one under a second (what is left of a server's
    // pause before a retry); zero or less waits without a deadline.
    if (timeout > std::chrono::milliseconds::zero()) {
        // A time-out beyond any real wait is cut down so that the deadline cannot overflow the
        // clock's range; such a deadline is never reached either way.
        constexpr std::chrono::seconds kLongestTimeout = std::chrono::hours(24 * 365 * 100);
        auto const deadline = std::chrono::steady_clock::now() +
                              std::min<std::chrono::milliseconds>(timeout, kLongestTimeout);
        while (active && state != wanted) {
            if (condition.wait_until(lock, deadline) == std::cv_status::timeout) {
                return;
            }
        }
        return;
    }
    while (active && state != wanted) {
        condition.wait(lock);
    }
}

void TaskQueueWatcher::stop() {
    std::lock_guard<std::mutex> lock(mutex);
    active = false;
    // Every waiter must end, not just one: a host pass and the idle event-loop thread can both be
    // waiting, and the one left asleep would hold up the join in abort().
    condition.notify_all();
}

void TaskQueueWatcher::waitWhile(std::function<bool(State state, bool active)> const& predicate) {
    std::unique_lock<std::mutex> lock(mutex);
    while (predicate(state, active)) {
        condition.wait(lock);
    }
}

bool TaskQueueWatcher::isActive() const {
    std::lock_guard<std::mutex> lock(mutex);
    return active;
}

}  // namespace Tiskel::Core

namespace Tiskel::App {

namespace {

// The manager whose event-loop thread this is; null on every other thread.
thread_local void const* eventLoopOfThisThread = nullptr;

}  // namespace

std::size_t detail::optimalThreadCountFor(unsigned hardwareThreads) noexcept {
    if (hardwareThreads < 4) {
        return 2;
    }
    if (hardwareThreads > 17) {
        return 8;
    }
    return hardwareThreads / 2;
}

struct ResourceDownloadManager::Impl {
    // One download queue with everything that serves it. Fields are destroyed in reverse order:
    // the watcher unregisters from its queue first, the queues go last.
    struct Worker {
        std::shared_ptr<Core::ITaskQueue> taskQueue = std::make_shared<Core::TaskQueue>();
        std::shared_ptr<Core::ITaskQueue> notificationQueue =
            std::make_shared<Core::TaskQueueImmediate>();
        std::shared_ptr<IDownloadRetrier> retrier = std::make_shared<DownloadRetrierStub>();
        std::shared_ptr<RemoteResourceScheduler> scheduler;
        std::unique_ptr<Core::TaskQueueWatcher> watcher;
        // The end of the retry pause being waited out, in steady-clock ticks; 0 when none.
        std::atomic<int64_t> retryAt{0};

        // Runs the queue through `executor`; when it had nothing, asks the retrier for one retry
        // and, when a pause is due, waits on the watcher (cut short by new work or a stop).
        bool processQuant(Core::IExecutor* executor);
        void build(Dependencies const& dependencies, Params const& params);
    };

    std::shared_ptr<Core::IExecutor> executor = std::make_shared<Core::BlockingExecutor>();
    std::shared_ptr<Networking::IHttpClient> client;
    Dependencies dependencies;
    Worker initWorker;
    Worker mainWorker;
    std::thread eventLoopThread;

    bool processQuant() {
        if (initWorker.processQuant(executor.get())) {
            return true;
        }
        return mainWorker.processQuant(executor.get());
    }

    void eventLoop() noexcept;

    // True on a thread that joining the event-loop thread may wait for: the event-loop thread
    // itself, a pool thread (the event-loop thread waits for its running task), and any thread
    // inside a notification callback (the event-loop thread may be about to deliver on the same
    // node, which waits for the running callback).
    bool joinWouldWaitForThisThread() const noexcept {
        if (eventLoopOfThisThread == this) {
            return true;
        }
        auto const* pool = dynamic_cast<Core::ParallelExecutor const*>(executor.get());
        if (pool != nullptr && pool->runsOnThisThread()) {
            return true;
        }
        return ActiveState::isDeliveringOnThisThread();
    }

    // Keeps a manager's internals for the rest of the process: the manager was destroyed from
    // code that still runs on them. Reachable from a static, so leak checkers stay quiet.
    static void park(std::unique_ptr<Impl> impl) noexcept;
};

void ResourceDownloadManager::Impl::park(std::unique_ptr<Impl> impl) noexcept {
    static std::mutex mutex;
    static auto* parked = new std::vector<std::unique_ptr<Impl>>();
    std::lock_guard<std::mutex> lock(mutex);
    parked->push_back(std::move(impl));
}

bool ResourceDownloadManager::Impl::Worker::processQuant(Core::IExecutor* executor) {
    if (executor->execQueue(*taskQueue) == 1) {
        return true;
    }
    switch (retrier->check()) {
        case IDownloadRetrier::Retried:
            return true;
        case IDownloadRetrier::NothingToRetry:
            return false;
        default:
            break;
    }
    // Without a watcher (before `init`) there is nothing to wait on.
    if (watcher) {
        std::chrono::milliseconds const pause = retrier->pauseBeforeRetry();
        if (pause.count() > 0) {
            retryAt = (std::chrono::steady_clock::now() + pause).time_since_epoch().count();
            watcher->waitForState(Core::ITaskQueueEventHandler::HasTasks, pause);
            retryAt = 0;
        }
    }
    return true;
}

void ResourceDownloadManager::Impl::Worker::build(Dependencies const& dependencies,
                                                  Params const& params) {
    scheduler = std::make_shared<RemoteResourceScheduler>(
        dependencies.downloader, taskQueue, notificationQueue, dependencies.postProcessor,
        dependencies.validator, dependencies.eventTracer, retrier, params.repairSizeMismatch,
        params.conditionalRequests);
}

void ResourceDownloadManager::Impl::eventLoop() noexcept {
    eventLoopOfThisThread = this;
    Core::TaskQueueWatcher& watcher = *mainWorker.watcher;
    while (watcher.isActive()) {
        try {
            while (processQuant()) {
            }
        } catch (std::exception const& error) {
            LOG(ERROR) << "Download pass failed: " << error.what();
        } catch (...) {
            LOG(ERROR) << "Download pass failed with an unknown exception";
        }
        watcher.waitWhile([](Core::ITaskQueueEventHandler::State state, bool active) {
            return active && state != Core::ITaskQueueEventHandler::HasTasks;
        });
    }
}

ResourceDownloadManager::ResourceDownloadManager() : impl(std::make_unique<Impl>()) {}

ResourceDownloadManager::~ResourceDownloadManager() noexcept {
    if (!impl->joinWouldWaitForThisThread()) {
        abort();
        return;
    }
    // Destroyed by code that runs on the manager's own threads or inside one of its callbacks:
    // the stack below that code still uses the schedulers, nodes and queues, and the event-loop
    // thread cannot be joined from here. Everything is aborted, the event-loop thread ends on its
    // own, and the internals are kept instead of freed.
    LOG(ERROR) << "ResourceDownloadManager destroyed on its event-loop thread, on a pool thread or "
                  "inside a notification callback: aborted, and its internals are kept until the "
                  "process ends; destroy it on a host thread outside callbacks";
    abort();
    if (impl->eventLoopThread.joinable()) {
        impl->eventLoopThread.detach();
    }
    Impl::park(std::move(impl));
}

void ResourceDownloadManager::init(Params const& params, Dependencies const& dependencies) {
    if (params.useParallelExecutor) {
        std::size_t const threads =
            params.threadCount != 0 ? params.threadCount : getOptimalThreadCount();
        impl->executor = std::make_shared<Core::ParallelExecutor>(threads);
    }
    if (params.useQtNotificationQueue) {
        impl->mainWorker.notificationQueue = std::make_shared<TaskQueueQt>();
    }
    impl->client = Networking::createHttpClient(Networking::HttpClientDefault);
    impl->dependencies = dependencies;

    // The default downloader comes last so that it is built from the final proxy provider and
    // network-state checker.
    Dependencies& deps = impl->dependencies;
    if (!deps.eventTracer) {
        deps.eventTracer = std::make_shared<EventTracerStub>();
    }
    if (!deps.proxyProvider) {
        deps.proxyProvider = std::make_shared<QtProxyProvider>();
    }
    if (!deps.networkStateChecker) {
        deps.networkStateChecker = std::make_shared<NetworkStateCheckerStub>();
    }
    if (!deps.validator) {
        deps.validator = std::make_shared<ValidatorStub>();
    }
    if (!deps.postProcessor) {
        deps.postProcessor = std::make_shared<PostProcessorStub>();
    }
    if (!deps.downloader) {
        ResourceDownloaderHttp::Features features;
        features.resume = params.resumeDownloads;
        features.conditional = params.conditionalRequests;
        features.retryLater = params.honourRetryAfter;
        features.syncToDisk = params.syncToDisk;
        features.checkFreeSpace = params.checkFreeSpace;
        deps.downloader = std::make_shared<ResourceDownloaderHttp>(
            impl->client, deps.proxyProvider, deps.networkStateChecker, features);
    }

    impl->initWorker.watcher =
        std::make_unique<Core::TaskQueueWatcher>(impl->initWorker.taskQueue.get());
    impl->mainWorker.watcher =
        std::make_unique<Core::TaskQueueWatcher>(impl->mainWorker.taskQueue.get());
    DownloadRetrier::Options retries;
    retries.honourRetryAfter = params.honourRetryAfter;
    retries.jitter = params.jitterRetryPauses;
    impl->mainWorker.retrier = std::make_shared<DownloadRetrier>(retries);
    impl->initWorker.build(deps, params);
    impl->mainWorker.build(deps, params);
}

std::size_t ResourceDownloadManager::getOptimalThreadCount() {
    return detail::optimalThreadCountFor(std::thread::hardware_concurrency());
}

std::shared_ptr<RemoteResourceScheduler> ResourceDownloadManager::getInitScheduler() const {
    return impl->initWorker.scheduler;
}

std::chrono::steady_clock::time_point ResourceDownloadManager::nextRetryTime() const noexcept {
    int64_t const init = impl->initWorker.retryAt;
    int64_t const main = impl->mainWorker.retryAt;
    int64_t const next = init == 0 ? main : main == 0 ? init : std::min(init, main);
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(next));
}

std::shared_ptr<RemoteResourceScheduler> ResourceDownloadManager::getMainScheduler() const {
    return impl->mainWorker.scheduler;
}

bool ResourceDownloadManager::processCurrentQueueQuant() {
    return impl->processQuant();
}

void ResourceDownloadManager::processCurrentQueue() {
    // Through the internals, not `this`: a callback inside the pass may destroy the manager,
    // which then keeps its internals (see the destructor) and the pass ends on them.
    Impl* const internals = impl.get();
    while (internals->processQuant()) {
    }
}

void ResourceDownloadManager::startEventLoopThread() {
    if (!impl->mainWorker.watcher) {
        throw std::logic_error("ResourceDownloadManager::startEventLoopThread: call init first");
    }
    if (impl->eventLoopThread.joinable()) {
        throw std::logic_error(
            "ResourceDownloadManager::startEventLoopThread: the event-loop thread is already "
            "running; join it first");
    }
    try {
        impl->eventLoopThread = std::thread([impl = impl.get()] { impl->eventLoop(); });
    } catch (std::system_error const& error) {
        throw std::system_error(error.code(), "thread constructor failed");
    }
}

void ResourceDownloadManager::joinEventLoopThread() {
    if (impl->joinWouldWaitForThisThread()) {
        throw std::logic_error(
            "ResourceDownloadManager::joinEventLoopThread: called on the event-loop thread, on a "
            "pool thread or inside a notification callback, where the join could wait for the "
            "caller itself");
    }
    if (impl->eventLoopThread.joinable()) {
        impl->eventLoopThread.join();
    }
    for (Impl::Worker* worker : {&impl->initWorker, &impl->mainWorker}) {
        if (worker->watcher) {
            worker->watcher->stop();
        }
    }
}

void ResourceDownloadManager::abort() {
    if (impl->dependencies.downloader) {
        impl->dependencies.downloader->abort();
    }
    impl->executor->abort();
    for (Impl::Worker* worker : {&impl->initWorker, &impl->mainWorker}) {
        if (worker->watcher) {
            worker->watcher->stop();
        }
    }
    // The stopped watchers end the event-loop thread by themselves; on a thread that the join
    // could wait for, the join is left to a later abort, join or destruction on a host thread.
    if (impl->joinWouldWaitForThisThread()) {
        return;
    }
    joinEventLoopThread();
}

}  // namespace Tiskel::App
