#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

namespace Tiskel::App {

namespace {

using SchedulePriority = ISchedulableResource::SchedulePriority;
using DownloadError = IRemoteResource::DownloadError;

Core::ITaskQueue::Priority queuePriorityOf(SchedulePriority priority) noexcept {
    switch (priority) {
        case ISchedulableResource::Low:
            return Core::ITaskQueue::Low;
        case ISchedulableResource::Normal:
            return Core::ITaskQueue::Normal;
        default:
            return Core::ITaskQueue::High;
    }
}

IEventTracer::TraceRecord messageRecord(std::string message) {
    IEventTracer::TraceRecord record;
    record.message = std::move(message);
    return record;
}

}  // namespace

// The scheduler's resource for one descriptor: its state node, the services it was built with,
// the scheduling memory that automatic scheduling consults, and the download pipeline.
//
// Scheduling (`scheduleDownload`, `autoSchedule`) may be called from any thread and is
// serialised by `mutex`. The pipeline runs on the download queue's threads without that mutex;
// with a queue that runs tasks at once it runs inside `addTask`, so it must never take `mutex`.
class ResourceItem final : public ISchedulableResource {
  public:
    ResourceItem(ResourceDescriptor const* descriptor,
                 std::shared_ptr<IResourceDownloader> const& downloader,
                 std::shared_ptr<Core::ITaskQueue> const& downloadQueue,
                 std::shared_ptr<Core::ITaskQueue> const& notificationQueue,
                 std::shared_ptr<IPostProcessor> const& postProcessor,
                 std::shared_ptr<IValidator> const& validator,
                 std::shared_ptr<IEventTracer> const& eventTracer,
                 std::shared_ptr<IDownloadRetrier> const& retrier) noexcept
        : state(IEventTracer::TraceRecord{descriptor, nullptr, nullptr, std::string()},
                notificationQueue, eventTracer),
          descriptor(descriptor),
          downloader(downloader),
          downloadQueue(downloadQueue),
          postProcessor(postProcessor),
          validator(validator),
          eventTracer(eventTracer),
          retrier(retrier) {}

    // Neither cancels nor waits for a run: the scheduler's owner makes sure none is queued or
    // running.
    ~ResourceItem() override = default;

    // Queues a new run, whatever is queued already (unless the local-copy shortcut settles it).
    void scheduleDownload(SchedulePriority priority) noexcept override {
        std::lock_guard<std::mutex> lock(mutex);
        scheduleUnchecked(priority);
    }

    // Makes the running download and every later one of this item stop; the flag is never
    // cleared.
    void cancelDownload() noexcept override { cancelRequested.exchange(true); }

    // Queues a run unless an earlier scheduling had at least this priority.
    void autoSchedule(SchedulePriority priority) noexcept {
        std::lock_guard<std::mutex> lock(mutex);
        // Compared as signed values, so a priority below Low ranks below every real one.
        if (wasScheduled && static_cast<int32_t>(lastPriority) >= static_cast<int32_t>(priority)) {
            return;
        }
        scheduleUnchecked(priority);
    }

    // REQUIRES: mutex is held.
    void scheduleUnchecked(SchedulePriority priority) {
        // A host that trusts its local copy sees it Available at once, before any check. With
        // IfMissing no run could change that verdict, so none is queued.
        if (descriptor->localCopyPolicy == 1 && fileExists(descriptor->localPath)) {
            state.setDownloadAvailable();
            if (descriptor->updatePolicy == ResourceDescriptor::IfMissing) {
                return;
            }
        }
        Core::ITaskQueue::Priority const queuePriority = queuePriorityOf(priority);
        lastPriority = priority;
        wasScheduled = true;
        traceNodeEvent(IEventTracer::ExecScheduled);
        downloadQueue->addTask([this] { runQueuedTask(); }, queuePriority);
    }

    ActiveState& node() noexcept { return state; }

  private:
    // Entry of every queued pipeline task.
    //
    // Runs of one item must not overlap: they would write the same temporary file. When the
    // download queue is served by several threads, a second queued run can start while the
    // first is still downloading. Instead of blocking its pool thread until the first run ends
    // (which would hold a thread idle for a whole download), the late run only counts itself in
    // `deferredRuns` and returns; the busy run performs one more pass per counted run before it
    // lets go. Every queued task thus still yields exactly one pass, and with a single-threaded
    // queue nothing is ever deferred.
    void runQueuedTask() {
        {
            std::lock_guard<std::mutex> lock(runMutex);
            if (running) {
                ++deferredRuns;
                return;
            }
            running = true;
        }
        for (;;) {
            try {
                runPipeline();
            } catch (...) {
                releaseAfterFailure();
                throw;
            }
            std::lock_guard<std::mutex> lock(runMutex);
            if (deferredRuns == 0) {
                running = false;
                return;
            }
            --deferredRuns;
        }
    }

    // A pass that threw leaves the item free for later runs. Runs that were waiting on it go
    // back to the queue rather than being lost, since the exception now ends this task. They go
    // with Normal priority: a task does not remember the priority it was queued with.
    void releaseAfterFailure() {
        std::size_t pending = 0;
        {
            std::lock_guard<std::mutex> lock(runMutex);
            pending = deferredRuns;
            deferredRuns = 0;
            running = false;
        }
        for (std::size_t i = 0; i < pending; ++i) {
            downloadQueue->addTask([this] { runQueuedTask(); }, Core::ITaskQueue::Normal);
        }
    }

    // One pass: decide, download when needed, record the outcome. An exception from a service
    // or a file function leaves the pass where it happened, the state included.
    void runPipeline() {
        traceNodeEvent(IEventTracer::Exec);
        if (isDownloadNeeded()) {
            startDownload();
        } else {
            state.setDownloadAvailable();
        }
        firstRun = false;
        traceNodeEvent(IEventTracer::ExecEnd);
    }

    bool isDownloadNeeded() {
        ResourceDescriptor::UpdatePolicy const policy = descriptor->updatePolicy;
        if (policy == ResourceDescriptor::Always) {
            return true;
        }
        // Once the item has been checked, an Available status is trusted: re-checking on every
        // scheduling would cost a file test plus a request or a validation each time.
        if (!firstRun && state.getCurrentState().status == IRemoteResource::Available) {
            return false;
        }
        if (policy == ResourceDescriptor::IfModified) {
            // One look at the local file tells both whether it is there and how old it is.
            std::optional<int64_t> const localTime =
                fileLastModifiedTimeIfExists(descriptor->localPath);
            return !localTime || downloader->requestLastModified(descriptor) > *localTime;
        }
        if (!fileExists(descriptor->localPath)) {
            return true;
        }
        switch (policy) {
            case ResourceDescriptor::IfMissing:
                return false;
            default:
                // Validate, and any policy value this library does not know: the validator is
                // the only judge that can tell a bad file from a good one.
                return validator->validate(descriptor) == IValidator::Invalid;
        }
    }

    void startDownload() {
        eventTracer->trace(IEventTracer::Download, messageRecord(descriptor->remotePath));
        state.setProgress(0, 1);

        IResourceDownloader::Task task;
        task.descriptor = descriptor;
        task.onProgress = [this](uint64_t received, uint64_t total) {
            state.setProgress(received, total);
        };
        task.isCancelled = [this] { return cancelRequested.load(); };
        IResourceDownloader::Result const result = downloader->exec(std::move(task));

        DownloadError const error = outcomeOf(result);
        if (error == IRemoteResource::NoError) {
            state.setDownloadAvailable();
        } else {
            state.setDownloadError(error);
        }
        retrier->downloadFinished(this, error);
        eventTracer->trace(IEventTracer::DownloadEnd,
                           messageRecord(descriptor->remotePath +
                                         ", err:" + IRemoteResource::errorToString(error)));
    }

    DownloadError outcomeOf(IResourceDownloader::Result result) const {
        switch (result) {
            case IResourceDownloader::Failed:
                return IRemoteResource::GeneralError;
            case IResourceDownloader::ConnectionLost:
                return IRemoteResource::InternetConnectionLost;
            case IResourceDownloader::Cancelled:
                return IRemoteResource::Cancelled;
            default:
                // Success, and any value a downloader should not return: the checks below still
                // stand between a bad file and an Available status.
                break;
        }
        // A file the post-processor could not handle is not worth validating.
        if (descriptor->postProcessing != 0 &&
            postProcessor->process(descriptor) != IPostProcessor::Processed) {
            return IRemoteResource::Corrupted;
        }
        if (descriptor->updatePolicy == ResourceDescriptor::Validate &&
            validator->validate(descriptor) == IValidator::Invalid) {
            return IRemoteResource::Corrupted;
        }
        return IRemoteResource::NoError;
    }

    // The node's own record points at its live state, which other threads change under the
    // node's lock while the tracer reads without it; the tracer gets a snapshot instead.
    void traceNodeEvent(IEventTracer::Event event) const {
        IEventTracer::TraceRecord record = state.getTraceRecord();
        IRemoteResource::State const snapshot = state.getCurrentState();
        record.state = &snapshot;
        eventTracer->trace(event, record);
    }

    ActiveState state;
    // Constant after construction.
    ResourceDescriptor const* const descriptor;
    std::shared_ptr<IResourceDownloader> const downloader;
    std::shared_ptr<Core::ITaskQueue> const downloadQueue;
    std::shared_ptr<IPostProcessor> const postProcessor;
    std::shared_ptr<IValidator> const validator;
    std::shared_ptr<IEventTracer> const eventTracer;
    std::shared_ptr<IDownloadRetrier> const retrier;
    // Guarded by mutex: the scheduling memory of automatic scheduling. `wasScheduled` is never
    // cleared.
    SchedulePriority lastPriority = ISchedulableResource::High;
    bool wasScheduled = false;
    std::mutex mutex;
    // Touched only by the pass that holds `running`; the hand-over through runMutex orders the
    // passes.
    bool firstRun = true;
    std::atomic<bool> cancelRequested{false};
    // Guarded by runMutex: one pass at a time, see runQueuedTask.
    std::mutex runMutex;
    bool running = false;
    std::size_t deferredRuns = 0;
};

// The scheduler's resource for one host bundle. Its node is the parent of its items' nodes and
// holds the aggregate of their states. Operations take no lock of their own; the items and the
// node lock for themselves.
class ResourceBundle final : public IRemoteResource {
  public:
    ResourceBundle(ResourceDescriptorBundle const* descriptor,
                   std::shared_ptr<Core::ITaskQueue> const& notificationQueue,
                   std::shared_ptr<IEventTracer> const& eventTracer) noexcept
        : state(IEventTracer::TraceRecord{nullptr, descriptor, nullptr, std::string()},
                notificationQueue, eventTracer),
          descriptor(descriptor) {}

    // Releases the set of items only; the scheduler owns the items.
    ~ResourceBundle() override = default;

    // Every item gets a new run, whatever it was scheduled with before.
    void scheduleDownload(SchedulePriority priority) noexcept override {
        for (ResourceItem* item : items) {
            item->scheduleDownload(priority);
        }
    }

    void cancelDownload() noexcept override {
        for (ResourceItem* item : items) {
            item->cancelDownload();
        }
    }

    State getCurrentState() const noexcept override { return state.getCurrentState(); }

    ResourceDescriptorBundle const* getDescriptor() const noexcept override { return descriptor; }

    void registerEventHandler(IRemoteResourceEventHandler* handler,
                              NotificationParams const& params) noexcept override {
        state.addChangeSubscriber(
            handler,
            [this, handler](State current) { handler->onStateChanged(current, descriptor); },
            params);
        // Tells the new subscriber the current state, if its parameters select it.
        state.checkAllNotifications();
    }

    void unregisterEventHandler(IRemoteResourceEventHandler* handler) noexcept override {
        state.removeChangeSubscriber(handler);
    }

    // Links the item below this bundle. Used only while the scheduler builds the bundle.
    void addItem(ResourceItem* item) {
        state.addChild(&item->node());
        items.insert(item);
    }

    // Never changes once the bundle is built, so it may be walked without a lock.
    std::set<ResourceItem*> const& getItems() const noexcept { return items; }

  private:
    ActiveState state;
    ResourceDescriptorBundle const* const descriptor;
    std::set<ResourceItem*> items;
};

struct RemoteResourceScheduler::Impl {
    Impl() = default;
    ~Impl();
    Impl(Impl const&) = delete;
    Impl& operator=(Impl const&) = delete;

    // Finds or builds the bundle resource with its items, links them and brings the items'
    // present states into a new bundle. Holds `mutex` throughout.
    ResourceBundle* Add(ResourceDescriptorBundle const* bundle);

    // Guarded by mutex.
    std::vector<std::unique_ptr<ResourceItem>> items;
    std::unordered_map<ResourceDescriptor const*, ResourceItem*> itemsByDescriptor;
    // Constant after construction.
    std::function<std::unique_ptr<ResourceItem>(ResourceDescriptor const*)> itemFactory;
    // Guarded by mutex.
    std::vector<std::unique_ptr<ResourceBundle>> bundles;
    std::unordered_map<ResourceDescriptorBundle const*, ResourceBundle*> bundlesByDescriptor;
    // Constant after construction.
    std::function<std::unique_ptr<ResourceBundle>(ResourceDescriptorBundle const*)> bundleFactory;
    std::mutex mutex;
};

RemoteResourceScheduler::Impl::~Impl() {
    // Every bundle resource goes before the first item, newest first in both groups: a bundle's
    // node refers to its items' nodes, and a vector on its own would destroy oldest first.
    bundleFactory = nullptr;
    bundlesByDescriptor.clear();
    while (!bundles.empty()) {
        bundles.pop_back();
    }
    itemFactory = nullptr;
    itemsByDescriptor.clear();
    while (!items.empty()) {
        items.pop_back();
    }
}

ResourceBundle* RemoteResourceScheduler::Impl::Add(ResourceDescriptorBundle const* bundle) {
    if (bundle == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex);
    auto const known = bundlesByDescriptor.find(bundle);
    if (known != bundlesByDescriptor.end()) {
        return known->second;
    }

    bundles.push_back(bundleFactory(bundle));
    ResourceBundle* const resource = bundles.back().get();
    bundlesByDescriptor.emplace(bundle, resource);

    for (ResourceDescriptor const* descriptor : bundle->descriptors) {
        if (descriptor == nullptr) {
            continue;
        }
        ResourceItem* item = nullptr;
        auto const found = itemsByDescriptor.find(descriptor);
        if (found != itemsByDescriptor.end()) {
            item = found->second;
        } else {
            items.push_back(itemFactory(descriptor));
            item = items.back().get();
            itemsByDescriptor.emplace(descriptor, item);
        }
        resource->addItem(item);
    }

    // Each item reports its present state into the new parent, so an item that is already
    // Available elsewhere counts in this bundle at once.
    for (ResourceItem* item : resource->getItems()) {
        item->node().checkAllNotifications();
    }
    return resource;
}

RemoteResourceScheduler::RemoteResourceScheduler(
    std::shared_ptr<IResourceDownloader> const& downloader,
    std::shared_ptr<Core::ITaskQueue> const& downloadQueue,
    std::shared_ptr<Core::ITaskQueue> const& notificationQueue,
    std::shared_ptr<IPostProcessor> const& postProcessor,
    std::shared_ptr<IValidator> const& validator, std::shared_ptr<IEventTracer> const& eventTracer,
    std::shared_ptr<IDownloadRetrier> const& retrier)
    : impl(std::make_unique<Impl>()) {
    impl->itemFactory = [downloader, downloadQueue, notificationQueue, postProcessor, validator,
                         eventTracer, retrier](ResourceDescriptor const* descriptor) {
        return std::make_unique<ResourceItem>(descriptor, downloader, downloadQueue,
                                              notificationQueue, postProcessor, validator,
                                              eventTracer, retrier);
    };
    impl->bundleFactory = [notificationQueue, eventTracer](ResourceDescriptorBundle const* bundle) {
        return std::make_unique<ResourceBundle>(bundle, notificationQueue, eventTracer);
    };
}

RemoteResourceScheduler::~RemoteResourceScheduler() = default;

IRemoteResource* RemoteResourceScheduler::registerAutoSchedule(
    ResourceDescriptorBundle const* bundle,
    ISchedulableResource::SchedulePriority priority) noexcept {
    ResourceBundle* const resource = impl->Add(bundle);
    if (resource == nullptr) {
        return nullptr;
    }
    // The item set never changes after the bundle was built, so it is walked without the
    // scheduler's lock; each item locks itself in turn.
    for (ResourceItem* item : resource->getItems()) {
        item->autoSchedule(priority);
    }
    return resource;
}

IRemoteResource* RemoteResourceScheduler::registerResource(
    ResourceDescriptorBundle const* bundle) noexcept {
    return impl->Add(bundle);
}

}  // namespace Tiskel::App
