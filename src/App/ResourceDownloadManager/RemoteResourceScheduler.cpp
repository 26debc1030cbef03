#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/AddressMap.h"
#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/StableStore.h"

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

// The services a scheduler was built with, and the locks of its items' scheduling memory. The
// scheduler owns this one copy; its items and bundles, which never outlive it, use it through a
// plain pointer, so an item costs one pointer for all of it.
struct SchedulerServices {
    std::shared_ptr<IResourceDownloader> downloader;
    std::shared_ptr<Core::ITaskQueue> downloadQueue;
    std::shared_ptr<Core::ITaskQueue> notificationQueue;
    std::shared_ptr<IPostProcessor> postProcessor;
    std::shared_ptr<IValidator> validator;
    std::shared_ptr<IEventTracer> eventTracer;
    std::shared_ptr<IDownloadRetrier> retrier;
    // The notification queue and the tracer as every state node of the scheduler uses them.
    // The nodes hold it without owning it (no count to keep per node): they never outlive
    // these services.
    ActiveState::Outlets outlets;
    std::shared_ptr<ActiveState::Outlets const> borrowedOutlets() const noexcept {
        return std::shared_ptr<ActiveState::Outlets const>(std::shared_ptr<void>(), &outlets);
    }
    bool repairSizeMismatch = false;   // see ResourceDownloadManager::Params
    bool conditionalRequests = false;  // see ResourceDownloadManager::Params

    // An item's scheduling memory and run hand-over are guarded by one of these, picked by the
    // item's address: a mutex per item would cost more than the rest of the item. The sections
    // they guard take no other lock and call nothing, so items that share a lock only ever wait
    // for each other's few instructions.
    std::array<std::mutex, 64> itemLocks;

    std::mutex& lockOf(void const* item) noexcept {
        auto const address = static_cast<uint64_t>(reinterpret_cast<std::uintptr_t>(item));
        return itemLocks[(address * UINT64_C(0x9E3779B97F4A7C15)) >> 58];
    }
};

// The scheduler's resource for one descriptor: its state node, the services it was built with,
// the scheduling memory that automatic scheduling consults, and the download pipeline.
//
// Scheduling (`scheduleDownload`, `autoSchedule`) may be called from any thread. Its memory
// (`lastPriority`, `wasScheduled`) is guarded by the item's lock, which is held for nothing else:
// the local-copy shortcut's state change and the queuing run after it is released, because both
// can deliver notifications on this thread (a queue that runs tasks at once), and a subscriber's
// callback may schedule this item again. The pipeline runs on the download queue's threads
// without that lock.
class ResourceItem final : public ISchedulableResource {
  public:
    ResourceItem(ResourceDescriptor const* descriptor, SchedulerServices* services) noexcept
        : state(IEventTracer::TraceRecord{descriptor, nullptr, nullptr, std::string()},
                services->borrowedOutlets()),
          services(services) {}

    // Neither cancels nor waits for a run: the scheduler's owner makes sure none is queued or
    // running.
    ~ResourceItem() override = default;

    // Queues a new run, whatever is queued already (unless the local-copy shortcut settles it).
    void scheduleDownload(SchedulePriority priority) noexcept override {
        if (settledByLocalCopy()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(services->lockOf(this));
            remember(priority);
        }
        queueRun(priority);
    }

    // Makes the running download and every later one of this item stop; the flag is never
    // cleared.
    void cancelDownload() noexcept override { cancelRequested.exchange(true); }

    // Queues a run unless an earlier scheduling had at least this priority.
    void autoSchedule(SchedulePriority priority) noexcept {
        if (!isAbove(priority) || settledByLocalCopy()) {
            return;
        }
        {
            // Asked again: another thread may have scheduled meanwhile.
            std::lock_guard<std::mutex> lock(services->lockOf(this));
            if (!isAboveUnguarded(priority)) {
                return;
            }
            remember(priority);
        }
        queueRun(priority);
    }

    ActiveState& node() noexcept { return state; }
    // Kept by the node, which needs it anyway.
    ResourceDescriptor const* descriptor() const noexcept { return state.getDescriptor(); }

  private:
    // A host that trusts its local copy sees it Available at once, before any check. With
    // IfMissing no run could change that verdict: true then, and nothing is queued; the file's
    // subscribers hear the outcome of a run that ends here.
    bool settledByLocalCopy() noexcept {
        if (descriptor()->localCopyPolicy != 1) {
            return false;
        }
        std::optional<FileStatus> const local = fileStatusIfExists(descriptor()->localPath);
        if (!local || sizeDiffers(*local)) {
            return false;
        }
        if (descriptor()->updatePolicy == ResourceDescriptor::IfMissing) {
            FileOutcome outcome;
            outcome.decision = FileDecision::KeptPresent;
            state.setDownloadAvailable(outcome);
            return true;
        }
        state.setDownloadAvailable();
        return false;
    }

    // True when size repair is on and the present file is not of the expected size.
    bool sizeDiffers(FileStatus const& local) const noexcept {
        return services->repairSizeMismatch && descriptor()->expectedSize >= 0 &&
               local.size != descriptor()->expectedSize;
    }

    bool isAbove(SchedulePriority priority) {
        std::lock_guard<std::mutex> lock(services->lockOf(this));
        return isAboveUnguarded(priority);
    }

    // REQUIRES: the item's lock is held.
    bool isAboveUnguarded(SchedulePriority priority) const noexcept {
        // Compared as signed values, so a priority below Low ranks below every real one.
        return !wasScheduled || static_cast<int32_t>(lastPriority) < static_cast<int32_t>(priority);
    }

    // REQUIRES: the item's lock is held.
    void remember(SchedulePriority priority) noexcept {
        lastPriority = priority;
        wasScheduled = true;
    }

    void queueRun(SchedulePriority priority) {
        traceNodeEvent(IEventTracer::ExecScheduled);
        services->downloadQueue->addTask([this] { runQueuedTask(); }, queuePriorityOf(priority));
    }

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
            std::lock_guard<std::mutex> lock(services->lockOf(this));
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
            std::lock_guard<std::mutex> lock(services->lockOf(this));
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
        uint32_t pending = 0;
        {
            std::lock_guard<std::mutex> lock(services->lockOf(this));
            pending = deferredRuns;
            deferredRuns = 0;
            running = false;
        }
        for (uint32_t i = 0; i < pending; ++i) {
            services->downloadQueue->addTask([this] { runQueuedTask(); }, Core::ITaskQueue::Normal);
        }
    }

    // One pass: decide, download when needed, record the outcome. An exception from a service
    // or a file function leaves the pass where it happened, the state included.
    void runPipeline() {
        traceNodeEvent(IEventTracer::Exec);
        FileOutcome outcome;
        int64_t ifModifiedSince = -1;
        if (isDownloadNeeded(outcome, ifModifiedSince)) {
            startDownload(outcome.why, ifModifiedSince);
        } else {
            state.setDownloadAvailable(outcome);
        }
        firstRun = false;
        traceNodeEvent(IEventTracer::ExecEnd);
    }

    // True when the file must be downloaded, with `outcome.why` saying why; otherwise
    // `outcome` says why it stays as it is. With conditional requests, an IfModified check is
    // the download itself: `ifModifiedSince` then holds the local file's time.
    bool isDownloadNeeded(FileOutcome& outcome, int64_t& ifModifiedSince) {
        auto const download = [&outcome](DownloadReason why) {
            outcome.why = why;
            return true;
        };
        FileOutcome& kept = outcome;
        ResourceDescriptor::UpdatePolicy const policy = descriptor()->updatePolicy;
        if (policy == ResourceDescriptor::Always) {
            return download(DownloadReason::Always);
        }
        // Once the item has been checked, an Available status is trusted: re-checking on every
        // scheduling would cost a file test plus a request or a validation each time.
        if (!firstRun && state.getCurrentState().status == IRemoteResource::Available) {
            kept.decision = FileDecision::KeptAvailable;
            return false;
        }
        // One look at the local file tells whether it is there, how big and how old it is.
        std::optional<FileStatus> const local = fileStatusIfExists(descriptor()->localPath);
        if (!local) {
            return download(DownloadReason::Missing);
        }
        if (sizeDiffers(*local)) {
            return download(DownloadReason::SizeDiffers);
        }
        if (policy == ResourceDescriptor::IfModified && services->conditionalRequests) {
            ifModifiedSince = local->lastWriteTime;
            return download(DownloadReason::Newer);
        }
        if (policy == ResourceDescriptor::IfModified) {
            IResourceDownloader::LastModified remote =
                services->downloader->checkLastModified(descriptor());
            if (remote.time > local->lastWriteTime) {
                return download(DownloadReason::Newer);
            }
            if (remote.failure.failed()) {
                kept.decision = FileDecision::KeptCheckFailed;
                kept.failure = std::move(remote.failure);
            } else {
                kept.decision = remote.time < 0 ? FileDecision::KeptNoServerTime
                                                : FileDecision::KeptNotModified;
            }
            return false;
        }
        if (policy == ResourceDescriptor::IfMissing) {
            kept.decision = FileDecision::KeptPresent;
            return false;
        }
        // Validate, and any policy value this library does not know: the validator is the only
        // judge that can tell a bad file from a good one.
        if (services->validator->validate(descriptor()) == IValidator::Invalid) {
            return download(DownloadReason::Invalid);
        }
        kept.decision = FileDecision::KeptValid;
        return false;
    }

    // Downloads the file. With `ifModifiedSince` (0 or more) it is a conditional request for a
    // present file: the file counts as downloading only once the new version's body arrives,
    // and an answer that it has not changed, or a request that failed before any body came,
    // keeps it as it is, as the separate check would.
    void startDownload(DownloadReason why, int64_t ifModifiedSince = -1) {
        IEventTracer& tracer = *services->eventTracer;
        bool const checking = ifModifiedSince >= 0;
        std::atomic<bool> announced{false};
        auto const announce = [this, &tracer, &announced] {
            if (!announced.exchange(true)) {
                tracer.trace(IEventTracer::Download, messageRecord(descriptor()->remotePath));
            }
        };
        if (!checking) {
            announce();
            // Downloading at 0; the size is not known yet.
            state.setProgress(0, 1, ActiveState::Change{});
        }

        FileOutcome outcome;
        outcome.why = why;
        // The bytes of the last report, so that file subscribers can tell how far a report
        // moved. Reports of one transfer come one at a time, on whatever thread the client uses.
        std::atomic<uint64_t> lastReceived{0};
        std::atomic<uint64_t> lastTotal{0};
        IResourceDownloader::Task task;
        task.descriptor = descriptor();
        task.onProgress = [this, &lastReceived, &lastTotal, &announce](uint64_t received,
                                                                       uint64_t total) {
            announce();
            ActiveState::Change change;
            change.received = received;
            change.previouslyReceived = lastReceived.exchange(received);
            change.total = total;
            lastTotal = total;
            state.setProgress(received, total, change);
        };
        task.isCancelled = [this] { return cancelRequested.load(); };
        task.failure = &outcome.failure;
        task.ifModifiedSince = ifModifiedSince;
        IResourceDownloader::Result const result = services->downloader->exec(std::move(task));
        if (checking && (result == IResourceDownloader::NotModified ||
                         (result != IResourceDownloader::Success && !announced))) {
            FileOutcome kept;
            if (result == IResourceDownloader::NotModified) {
                kept.decision = FileDecision::KeptNotModified;
            } else {
                kept.decision = FileDecision::KeptCheckFailed;
                kept.failure = std::move(outcome.failure);
                if (!kept.failure.failed()) {
                    kept.failure.kind = FileFailure::Unknown;
                    kept.failure.text = "the check failed";
                }
            }
            state.setDownloadAvailable(kept);
            return;
        }
        announce();  // a new version with an empty body reported no progress

        DownloadError const error = outcomeOf(result, outcome.failure);
        if (error == IRemoteResource::NoError) {
            outcome.decision = FileDecision::Downloaded;
            outcome.failure = {};
            state.setDownloadAvailable(outcome, lastReceived, lastTotal);
        } else {
            outcome.decision = FileDecision::Failed;
            state.setDownloadError(error, outcome, lastReceived, lastTotal);
        }
        services->retrier->downloadFinished(this, error);
        if (outcome.failure.retryAfterSeconds >= 0) {
            services->retrier->serverAskedToWait(outcome.failure.retryAfterSeconds);
        }
        tracer.trace(IEventTracer::DownloadEnd,
                     messageRecord(descriptor()->remotePath +
                                   ", err:" + IRemoteResource::errorToString(error)));
    }

    // The error a downloader's result comes to, after the checks of a downloaded file. Fills in
    // `failure` where the downloader left it empty.
    DownloadError outcomeOf(IResourceDownloader::Result result, FileFailure& failure) const {
        auto const unexplained = [&failure](FileFailure::Kind kind, char const* text) {
            if (!failure.failed()) {
                failure.kind = kind;
                failure.text = text;
            }
        };
        switch (result) {
            case IResourceDownloader::Failed:
                unexplained(FileFailure::Unknown, "the download failed");
                return IRemoteResource::GeneralError;
            case IResourceDownloader::ConnectionLost:
                unexplained(FileFailure::Unknown, "the connection was lost");
                return IRemoteResource::InternetConnectionLost;
            case IResourceDownloader::Cancelled:
                unexplained(FileFailure::Cancelled, "cancelled");
                return IRemoteResource::Cancelled;
            default:
                // Success, and any value a downloader should not return: the checks below still
                // stand between a bad file and an Available status.
                break;
        }
        // A file the post-processor could not handle is not worth validating.
        if (descriptor()->postProcessing != 0 &&
            services->postProcessor->process(descriptor()) != IPostProcessor::Processed) {
            failure = {};
            unexplained(FileFailure::Rejected, "the post-processor rejected the download");
            return IRemoteResource::Corrupted;
        }
        if (descriptor()->updatePolicy == ResourceDescriptor::Validate &&
            services->validator->validate(descriptor()) == IValidator::Invalid) {
            failure = {};
            unexplained(FileFailure::Rejected, "the validator rejected the download");
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
        services->eventTracer->trace(event, record);
    }

    ActiveState state;
    // Constant after construction.
    SchedulerServices* const services;  // the scheduler's, which outlive the item
    // Guarded by the item's lock: the scheduling memory of automatic scheduling
    // (`wasScheduled` is never cleared) and the run hand-over (see runQueuedTask).
    SchedulePriority lastPriority = ISchedulableResource::High;
    bool wasScheduled = false;
    bool running = false;
    uint32_t deferredRuns = 0;
    // Touched only by the pass that holds `running`; the hand-over through the item's lock
    // orders the passes.
    bool firstRun = true;
    std::atomic<bool> cancelRequested{false};
};

// The scheduler's resource for one host bundle. Its node is the parent of its items' nodes and
// holds the aggregate of their states. Operations take no lock of their own; the items and the
// node lock for themselves.
class ResourceBundle final : public IRemoteResource {
  public:
    ResourceBundle(ResourceDescriptorBundle const* descriptor, SchedulerServices* services) noexcept
        : state(IEventTracer::TraceRecord{nullptr, descriptor, nullptr, std::string()},
                services->borrowedOutlets()),
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

    void registerFileEventHandler(IFileEventHandler* handler,
                                  FileEventParams const& params) noexcept override {
        state.addFileSubscriber(
            handler, [handler](FileEvent const& event) { handler->onFileEvent(event); }, params);
    }

    void unregisterFileEventHandler(IFileEventHandler* handler) noexcept override {
        state.removeFileSubscriber(handler);
    }

    // Links one item below this bundle. Used only while the scheduler builds the bundle.
    void link(ResourceItem* item) { state.addChild(&item->node()); }
    void reserveLinks(std::size_t count) { state.reserveChildren(count); }

    // The linked items, each once; kept in address order. Used only while the scheduler builds
    // the bundle.
    void setItems(std::vector<ResourceItem*> members) {
        std::sort(members.begin(), members.end());
        items = std::move(members);
    }

    // In address order, without duplicates. Never changes once the bundle is built, so it may
    // be walked without a lock.
    std::vector<ResourceItem*> const& getItems() const noexcept { return items; }

  private:
    ActiveState state;
    ResourceDescriptorBundle const* const descriptor;
    std::vector<ResourceItem*> items;
};

struct RemoteResourceScheduler::Impl {
    Impl() = default;
    ~Impl();
    Impl(Impl const&) = delete;
    Impl& operator=(Impl const&) = delete;

    // Finds or builds the bundle resource with its items, links them and brings the items'
    // present states into a new bundle. Holds `mutex` while it finds and builds, not while the
    // items report (which may run callbacks).
    ResourceBundle* Add(ResourceDescriptorBundle const* bundle);

    // Constant after construction.
    SchedulerServices services;
    // Guarded by mutex. Items are made in place, one after another: no allocation of their own
    // and no pointer to keep, and nothing moves them.
    detail::StableStore<ResourceItem> items;
    // Every item by its descriptor, made when a second bundle comes: the first bundle's
    // descriptors (a set) are distinct and all new, so a scheduler of one bundle, however
    // large, never needs it.
    detail::AddressMap<ResourceDescriptor, ResourceItem*> itemsByDescriptor;
    bool itemsIndexed = false;
    std::vector<std::unique_ptr<ResourceBundle>> bundles;
    detail::AddressMap<ResourceDescriptorBundle, ResourceBundle*> bundlesByDescriptor;
    std::mutex mutex;
};

RemoteResourceScheduler::Impl::~Impl() {
    // Every bundle resource goes before the first item, newest first in both groups: a bundle's
    // node refers to its items' nodes, and a container on its own would destroy oldest first.
    while (!bundles.empty()) {
        bundles.pop_back();
    }
    items.clear();
}

ResourceBundle* RemoteResourceScheduler::Impl::Add(ResourceDescriptorBundle const* bundle) {
    if (bundle == nullptr) {
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(mutex);
    auto const [known, isNewBundle] = bundlesByDescriptor.tryEmplace(bundle, nullptr);
    if (!isNewBundle) {
        return *known;
    }
    bool const firstBundle = bundles.empty();
    bundles.push_back(std::make_unique<ResourceBundle>(bundle, &services));
    ResourceBundle* const resource = bundles.back().get();
    *known = resource;
    if (!firstBundle && !itemsIndexed) {
        itemsByDescriptor.reserve(items.size() + bundle->descriptors.size());
        items.forEach(
            [this](ResourceItem& item) { itemsByDescriptor.tryEmplace(item.descriptor(), &item); });
        itemsIndexed = true;
    }

    // Each item is linked as soon as it is found or made, while it is in the cache. Items that
    // existed before are noted apart: only they have a state worth reporting (below).
    std::vector<ResourceItem*> members;
    std::vector<ResourceItem*> existing;
    members.reserve(bundle->descriptors.size());
    if (itemsIndexed) {
        itemsByDescriptor.reserve(itemsByDescriptor.size() + bundle->descriptors.size());
    }
    resource->reserveLinks(bundle->descriptors.size());
    for (ResourceDescriptor const* descriptor : bundle->descriptors) {
        if (descriptor == nullptr) {
            continue;
        }
        ResourceItem* item = nullptr;
        if (!itemsIndexed) {
            item = &items.emplace_back(descriptor, &services);
        } else if (auto const [known, isNew] = itemsByDescriptor.tryEmplace(descriptor, nullptr);
                   isNew) {
            item = *known = &items.emplace_back(descriptor, &services);
        } else {
            item = *known;
            existing.push_back(item);
        }
        resource->link(item);
        members.push_back(item);
    }
    resource->setItems(std::move(members));
    // The reports below may deliver notifications on this thread (a queue that runs tasks at
    // once), and a callback may register bundles itself: no callback runs under this lock. The
    // items stay where they are until the scheduler is destroyed.
    lock.unlock();

    // Each item that existed before reports its present state into the new parent, in address
    // order, so an item that is already Available elsewhere counts in this bundle at once. An
    // item made just now has no subscriber and no other parent, and its state is the zero
    // record the bundle starts it with: reporting it would change nothing.
    std::sort(existing.begin(), existing.end());
    for (ResourceItem* item : existing) {
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
    std::shared_ptr<IDownloadRetrier> const& retrier, bool repairSizeMismatch,
    bool conditionalRequests)
    : impl(std::make_unique<Impl>()) {
    SchedulerServices& services = impl->services;
    services.downloader = downloader;
    services.downloadQueue = downloadQueue;
    services.notificationQueue = notificationQueue;
    services.postProcessor = postProcessor;
    services.validator = validator;
    services.eventTracer = eventTracer;
    services.retrier = retrier;
    services.outlets = ActiveState::Outlets{notificationQueue, eventTracer};
    services.repairSizeMismatch = repairSizeMismatch;
    services.conditionalRequests = conditionalRequests;
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
