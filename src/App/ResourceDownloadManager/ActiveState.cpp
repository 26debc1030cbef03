#include "App/ResourceDownloadManager/ActiveState.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <glog/logging.h>

namespace Tiskel::App {

namespace {

using State = IRemoteResource::State;

constexpr char kUnit[] = "App/ResourceDownloadManager/ActiveState";

// What a thread is delivering. While a callback runs, further deliveries on the same thread
// (a queue that runs tasks at once, fed by the callback's own calls) wait in `deferred` until it
// has returned: the thread then holds a single delivery lock at a time, and a callback is never
// entered again from inside itself.
struct DeliveryContext {
    struct Deferred {
        ActiveState* node;
        void const* handler;
        bool file;  // a file subscriber's delivery
    };
    ActiveState const* node = nullptr;  // the node whose callback runs now, if any
    std::deque<Deferred> deferred;
};

DeliveryContext& deliveryContext() noexcept {
    thread_local DeliveryContext context;
    return context;
}

// Marks the calling thread as running a callback of `node` for its lifetime.
class DeliveryScope {
  public:
    explicit DeliveryScope(ActiveState const* node) noexcept : context(deliveryContext()) {
        context.node = node;
    }
    ~DeliveryScope() { context.node = nullptr; }
    DeliveryScope(DeliveryScope const&) = delete;
    DeliveryScope& operator=(DeliveryScope const&) = delete;

  private:
    DeliveryContext& context;
};

// The slots of the per-status and per-error counts: one per enumerator, and a last one shared
// by every value the enumeration does not name.
constexpr std::size_t kStatusSlots = IRemoteResource::Error + 2;
constexpr std::size_t kErrorSlots = IRemoteResource::InternetConnectionLost + 2;

template <class Enum>
std::size_t slotOf(Enum value, std::size_t slots) noexcept {
    auto const raw = static_cast<int64_t>(value);
    return raw >= 0 && raw < static_cast<int64_t>(slots) - 1 ? static_cast<std::size_t>(raw)
                                                             : slots - 1;
}

// Progress values are summed as exact fixed-point integers: a sum kept in floating point would
// drift by a rounding error at every update, and over millions of updates no longer add up to
// exactly n when every child is complete. 62 fraction bits keep more precision than a double
// has near 1.0; the integer part may reach 2^31 in magnitude, which leaves room for 2^33
// children in 128 bits. A value outside that range (or not a number) is counted apart, and
// while such a child exists the progress is summed directly.
__extension__ typedef __int128 FixedSum;
constexpr double kFixedOne = 0x1p62;  // 62 fraction bits
constexpr double kFixedRange = 0x1p31;

bool fitsFixed(double progress) noexcept {
    return progress > -kFixedRange && progress < kFixedRange;  // false for NaN as well
}

// Scaling by a power of two is exact; the conversion drops what lies below 2^-62.
FixedSum toFixed(double progress) noexcept {
    return static_cast<FixedSum>(progress * kFixedOne);
}

}  // namespace

struct ActiveState::ChildTable {
    // One record per child, at the place the child keeps for this table (see ParentLink).
    std::vector<State> records;
    std::size_t statuses[kStatusSlots] = {};
    std::size_t errors[kErrorSlots] = {};
    FixedSum progressSum = 0;         // of the children whose progress fits the fixed point
    std::size_t unfitProgresses = 0;  // children whose progress does not

    void count(State const& record, int sign) noexcept {
        statuses[slotOf(record.status, kStatusSlots)] += sign;
        errors[slotOf(record.error, kErrorSlots)] += sign;
        if (fitsFixed(record.progress)) {
            progressSum += sign * toFixed(record.progress);
        } else {
            unfitProgresses += sign;
        }
    }

    // A zero record for a new child; returns its place.
    uint32_t add() {
        records.emplace_back();
        count(records.back(), +1);
        return static_cast<uint32_t>(records.size() - 1);
    }

    // Records `record` at `slot`; returns the record it replaces.
    State set(uint32_t slot, State const& record) noexcept {
        State const before = records[slot];
        count(before, -1);
        records[slot] = record;
        count(record, +1);
        return before;
    }

    std::size_t statusCount(IRemoteResource::DownloadStatus status) const noexcept {
        return statuses[slotOf(status, kStatusSlots)];
    }
    std::size_t errorCount(IRemoteResource::DownloadError error) const noexcept {
        return errors[slotOf(error, kErrorSlots)];
    }

    // An error anywhere wins over activity; a partly available bundle counts as still
    // downloading. REQUIRES: at least two children.
    IRemoteResource::DownloadStatus aggregateStatus() const noexcept {
        if (statusCount(IRemoteResource::Available) == records.size()) {
            return IRemoteResource::Available;
        }
        if (statusCount(IRemoteResource::Error) != 0) {
            return IRemoteResource::Error;
        }
        if (statusCount(IRemoteResource::Downloading) != 0 ||
            statusCount(IRemoteResource::Available) != 0) {
            return IRemoteResource::Downloading;
        }
        return IRemoteResource::Waiting;
    }

    // The error the host is most likely to act on first: a cancellation, then a lost
    // connection, then a rejected file. REQUIRES: at least two children.
    IRemoteResource::DownloadError aggregateError() const noexcept {
        if (errorCount(IRemoteResource::NoError) == records.size()) {
            return IRemoteResource::NoError;
        }
        for (auto const error :
             {IRemoteResource::Cancelled, IRemoteResource::InternetConnectionLost,
              IRemoteResource::Corrupted}) {
            if (errorCount(error) != 0) {
                return error;
            }
        }
        return IRemoteResource::GeneralError;
    }

    // The mean progress. An exact sum divided once, so equal children give exactly their own
    // value: 1.0 when all are complete, 0.0 when none has started.
    double meanProgress() const noexcept {
        auto const n = static_cast<double>(records.size());
        if (unfitProgresses == 0) {
            return static_cast<double>(progressSum) / n / kFixedOne;
        }
        double sum = 0.0;
        for (State const& record : records) {
            sum += record.progress;
        }
        return sum / n;
    }
};

// One decided file event that has not been delivered yet.
struct PendingFileEvent {
    ResourceDescriptor const* descriptor = nullptr;
    State state;
    uint64_t received = 0;
    uint64_t total = 0;
    std::optional<FileOutcome> outcome;
};

struct ActiveState::FileSubscriber {
    IFileEventHandler* handler = nullptr;
    std::function<void(FileEvent const&)> callback;
    FileEventParams params;
    Fifo<PendingFileEvent> undelivered;
};

struct ActiveState::Subscriptions {
    // Held while a callback of this node runs, taken before the node's mutex.
    std::mutex deliveryMutex;
    // Guarded by the node's mutex.
    std::map<IRemoteResourceEventHandler*, Notifier> handlers;
    std::vector<FileSubscriber> files;

    FileSubscriber* findFile(void const* handler) noexcept {
        for (FileSubscriber& subscriber : files) {
            if (subscriber.handler == handler) {
                return &subscriber;
            }
        }
        return nullptr;
    }
};

ActiveState::Notifier::Action ActiveState::Notifier::CheckForAction(State const& current) noexcept {
    if (params.statuses.count(current.status) == 0) {
        return NoAction;
    }
    if (!hasLastNotified || lastNotified.status != current.status) {
        hasLastNotified = true;
        lastNotified = current;
        return NotifyStatus;
    }
    // Written as "not greater" so that a difference that is not a number notifies.
    if (current.status == IRemoteResource::Downloading && params.notifyProgress &&
        !(params.progressGranularity > current.progress - lastNotified.progress)) {
        lastNotified = current;
        return NotifyProgress;
    }
    return NoAction;
}

ActiveState::ActiveState(IEventTracer::TraceRecord record,
                         std::shared_ptr<Core::ITaskQueue> const& taskQueue,
                         std::shared_ptr<IEventTracer> const& tracer) noexcept
    : ActiveState(std::move(record), std::make_shared<Outlets const>(Outlets{taskQueue, tracer})) {}

ActiveState::ActiveState(IEventTracer::TraceRecord record,
                         std::shared_ptr<Outlets const> outlets) noexcept
    : descriptor(record.descriptor),
      bundle(record.bundle),
      // The scheduler's nodes carry no message; only a node that has one keeps it.
      message(record.message.empty() ? nullptr
                                     : std::make_unique<std::string>(std::move(record.message))),
      outlets(std::move(outlets)) {}

ActiveState::~ActiveState() noexcept = default;

template <class Apply>
void ActiveState::runNotificationPass(Apply const& apply, Change const& change) noexcept {
    TaskList tasks;
    {
        std::lock_guard<std::mutex> lock(mutex);
        apply(state);
        checkAllNotificationsUnguarded(tasks, change);
    }
    // Posting after the unlock lets a queue run the tasks at once: each task locks its node.
    sendTasks(tasks);
}

void ActiveState::setProgress(unsigned long long done, unsigned long long total) noexcept {
    setProgress(done, total, Change{done, 0, total, nullptr});
}

void ActiveState::setProgress(unsigned long long done, unsigned long long total,
                              Change const& change) noexcept {
    runNotificationPass(
        [done, total](State& target) {
            target.status = IRemoteResource::Downloading;
            target.error = IRemoteResource::NoError;
            // A total of 0 comes before the size is known; it must not become a non-finite
            // progress.
            target.progress =
                total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total);
        },
        change);
}

void ActiveState::setDownloadAvailable() noexcept {
    runNotificationPass(
        [](State& target) {
            target.status = IRemoteResource::Available;
            target.error = IRemoteResource::NoError;
            target.progress = 1.0;
        },
        Change{});
}

void ActiveState::setDownloadAvailable(FileOutcome const& outcome, uint64_t received,
                                       uint64_t total) noexcept {
    Change change;
    change.outcome = &outcome;
    change.received = change.previouslyReceived = received;
    change.total = total;
    runNotificationPass(
        [](State& target) {
            target.status = IRemoteResource::Available;
            target.error = IRemoteResource::NoError;
            target.progress = 1.0;
        },
        change);
}

void ActiveState::setDownloadError(IRemoteResource::DownloadError error) noexcept {
    runNotificationPass(
        [error](State& target) {
            target.status = IRemoteResource::Error;
            target.error = error;
            target.progress = 0.0;
        },
        Change{});
}

void ActiveState::setDownloadError(IRemoteResource::DownloadError error, FileOutcome const& outcome,
                                   uint64_t received, uint64_t total) noexcept {
    Change change;
    change.outcome = &outcome;
    change.received = change.previouslyReceived = received;
    change.total = total;
    runNotificationPass(
        [error](State& target) {
            target.status = IRemoteResource::Error;
            target.error = error;
            target.progress = 0.0;
        },
        change);
}

void ActiveState::checkAllNotifications() noexcept {
    runNotificationPass([](State&) {}, Change{});
}

State ActiveState::getCurrentState() const noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    return state;
}

IEventTracer::TraceRecord ActiveState::getTraceRecord() const noexcept {
    IEventTracer::TraceRecord record;
    record.descriptor = descriptor;
    record.bundle = bundle;
    record.state = &state;
    if (message) {
        record.message = *message;
    }
    return record;
}

ActiveState::Subscriptions& ActiveState::subscriptions() noexcept {
    if (!subscribers) {
        subscribers = std::make_unique<Subscriptions>();
    }
    return *subscribers;
}

void ActiveState::addChangeSubscriber(IRemoteResourceEventHandler* handler,
                                      std::function<void(State)> callback,
                                      IRemoteResource::NotificationParams const& params) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    auto& handlers = subscriptions().handlers;
    if (handlers.count(handler) != 0) {
        return;
    }
    Notifier& notifier = handlers[handler];
    notifier.callback = std::move(callback);
    notifier.params = params;
}

void ActiveState::removeChangeSubscriber(IRemoteResourceEventHandler* handler) noexcept {
    Subscriptions* table = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!subscribers) {
            return;
        }
        subscribers->handlers.erase(handler);
        table = subscribers.get();
    }
    // A callback of this node running on this very thread cannot be waited for; it runs on a
    // copy of its function, so the erased notifier is not in use.
    if (deliveryContext().node == this) {
        return;
    }
    // Callbacks run under the delivery lock: taking it waits for a running one to finish, and
    // later deliveries find the subscriber gone.
    std::lock_guard<std::mutex> wait(table->deliveryMutex);
}

void ActiveState::addFileSubscriber(IFileEventHandler* handler,
                                    std::function<void(FileEvent const&)> callback,
                                    FileEventParams const& params) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    Subscriptions& table = subscriptions();
    if (table.findFile(handler) != nullptr) {
        return;
    }
    FileSubscriber& subscriber = table.files.emplace_back();
    subscriber.handler = handler;
    subscriber.callback = std::move(callback);
    subscriber.params = params;
}

void ActiveState::removeFileSubscriber(IFileEventHandler* handler) noexcept {
    Subscriptions* table = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!subscribers) {
            return;
        }
        auto& files = subscribers->files;
        for (auto it = files.begin(); it != files.end(); ++it) {
            if (it->handler == handler) {
                files.erase(it);
                break;
            }
        }
        table = subscribers.get();
    }
    if (deliveryContext().node == this) {
        return;
    }
    std::lock_guard<std::mutex> wait(table->deliveryMutex);
}

template <class Visit>
void ActiveState::forEachParent(Visit&& visit) const {
    if (firstParent != nullptr) {
        visit(firstParent, firstParentSlot);
    }
    if (moreParents) {
        for (ParentLink const& link : *moreParents) {
            visit(link.parent, link.slot);
        }
    }
}

uint32_t const* ActiveState::slotIn(ActiveState const* parent) const noexcept {
    if (firstParent == parent && parent != nullptr) {
        return &firstParentSlot;
    }
    if (moreParents) {
        for (ParentLink const& link : *moreParents) {
            if (link.parent == parent) {
                return &link.slot;
            }
        }
    }
    return nullptr;
}

bool ActiveState::isSelfOrAncestor(ActiveState const* node) const noexcept {
    if (node == this) {
        return true;
    }
    {
        // A node without children is nobody's ancestor: the usual case, a new item, is settled
        // with one lock and no walk.
        std::lock_guard<std::mutex> lock(node->mutex);
        if (!node->children || node->children->records.empty()) {
            return false;
        }
    }
    // Upwards from this node, one lock at a time (never two at once, so no lock order is at
    // stake). The graph has no cycle yet, so the walk ends.
    std::vector<ActiveState const*> pending{this};
    while (!pending.empty()) {
        ActiveState const* current = pending.back();
        pending.pop_back();
        if (current == node) {
            return true;
        }
        std::lock_guard<std::mutex> lock(current->mutex);
        current->forEachParent(
            [&](ActiveState const* parent, uint32_t) { pending.push_back(parent); });
    }
    return false;
}

void ActiveState::addChild(ActiveState* child) noexcept {
    // A change climbs through every ancestor holding each lock on the way: a cycle would make a
    // node wait for its own lock.
    if (child == nullptr || isSelfOrAncestor(child)) {
        google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
            << "ActiveState: linking a node below itself would make a cycle; the link is refused";
        return;
    }
    // Locks are only ever taken child before parent.
    std::lock_guard<std::mutex> childLock(child->mutex);
    std::lock_guard<std::mutex> lock(mutex);
    ChildTable& table = childTable();
    if (uint32_t const* const known = child->slotIn(this)) {
        table.set(*known, State{});
        return;
    }
    uint32_t const slot = table.add();
    // Nearly every item belongs to one bundle: the first parent is kept inline.
    if (child->firstParent == nullptr) {
        child->firstParent = this;
        child->firstParentSlot = slot;
        return;
    }
    if (!child->moreParents) {
        child->moreParents = std::make_unique<std::vector<ParentLink>>();
    }
    child->moreParents->push_back(ParentLink{this, slot});
}

void ActiveState::reserveChildren(std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    ChildTable& table = childTable();
    table.records.reserve(table.records.size() + count);
}

void ActiveState::onChildChanged(ActiveState* child, State const& childState,
                                 TaskList& tasks) noexcept {
    onChildChanged(child, childState, tasks, Change{});
}

void ActiveState::onChildChanged(ActiveState* child, State const& childState, TaskList& tasks,
                                 Change const& change) noexcept {
    if (uint32_t const* const slot = child->slotIn(this)) {
        onChildChanged(*slot, child, childState, tasks, change);
    }
}

void ActiveState::onChildChanged(uint32_t slot, ActiveState* child, State const& childState,
                                 TaskList& tasks, Change const& change) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    State const before = childTable().set(slot, childState);
    if (subscribers && !subscribers->files.empty()) {
        decideFileEvents(child, before, childState, change, tasks);
    }
    updateStateFromChildren();
    checkAllNotificationsUnguarded(tasks);
}

namespace {

// True when `received` has passed a multiple of `step` that `before` had not reached.
bool crossedStep(uint64_t before, uint64_t received, double step) noexcept {
    return step > 0 && std::floor(static_cast<double>(received) / step) >
                           std::floor(static_cast<double>(before) / step);
}

}  // namespace

void ActiveState::decideFileEvents(ActiveState const* child, State const& before,
                                   State const& after, Change const& change, TaskList& tasks) {
    bool const downloading = after.status == IRemoteResource::Downloading;
    for (FileSubscriber& subscriber : subscribers->files) {
        FileEventParams const& params = subscriber.params;
        bool send = change.outcome != nullptr;
        if (!send && after.status != before.status) {
            send = params.statusChanges;
        } else if (!send && downloading && params.progress) {
            send = change.total > 0
                       ? crossedStep(change.previouslyReceived, change.received,
                                     params.progressGranularity * static_cast<double>(change.total))
                       : crossedStep(change.previouslyReceived, change.received,
                                     static_cast<double>(params.progressBytes));
        }
        if (!send) {
            continue;
        }
        PendingFileEvent event;
        event.descriptor = child->descriptor;
        event.state = after;
        if (downloading || change.outcome != nullptr) {
            event.received = change.received;
            event.total = change.total;
        }
        if (change.outcome != nullptr) {
            event.outcome = *change.outcome;
        }
        subscriber.undelivered.push(std::move(event));
        tasks.emplace_back(
            [node = this, handler = subscriber.handler]() { node->deliver(handler, true); });
    }
}

void ActiveState::updateStateFromChildren() noexcept {
    if (!children || children->records.empty()) {
        return;
    }
    if (children->records.size() == 1) {
        state = children->records.front();
        return;
    }
    state.status = children->aggregateStatus();
    state.error = children->aggregateError();
    state.progress = children->meanProgress();
}

ActiveState::ChildTable& ActiveState::childTable() noexcept {
    if (!children) {
        children = std::make_unique<ChildTable>();
    }
    return *children;
}

void ActiveState::checkAllNotificationsUnguarded(TaskList& tasks) noexcept {
    checkAllNotificationsUnguarded(tasks, Change{});
}

void ActiveState::checkAllNotificationsUnguarded(TaskList& tasks, Change const& change) noexcept {
    if (subscribers) {
        for (auto& [handler, notifier] : subscribers->handlers) {
            Notifier::Action const action = notifier.CheckForAction(state);
            if (action == Notifier::NoAction) {
                continue;
            }
            notifier.undelivered.push({state, action == Notifier::NotifyProgress});
            // The task names no decision: whichever task of this subscriber runs first
            // delivers the oldest one, so the queue's running order cannot reorder them.
            tasks.emplace_back(
                [node = this, handler = handler]() { node->deliver(handler, false); });
        }
    }
    forEachParent([&](ActiveState* parent, uint32_t slot) {
        parent->onChildChanged(slot, this, state, tasks, change);
    });
}

void ActiveState::sendTasks(TaskList& tasks) {
    for (auto& task : tasks) {
        outlets->taskQueue->addTask(std::move(task), Core::ITaskQueue::Normal);
    }
    tasks.clear();
}

bool ActiveState::isDeliveringOnThisThread() noexcept {
    return deliveryContext().node != nullptr;
}

void ActiveState::deliver(void const* handler, bool file) {
    DeliveryContext& context = deliveryContext();
    if (context.node != nullptr) {
        context.deferred.push_back({this, handler, file});
        return;
    }
    auto const deliverOne = [](ActiveState* node, void const* key, bool isFile) {
        if (isFile) {
            node->deliverFileNow(static_cast<IFileEventHandler*>(const_cast<void*>(key)));
        } else {
            node->deliverNow(static_cast<IRemoteResourceEventHandler*>(const_cast<void*>(key)));
        }
    };
    // Deliveries put off by a callback run once it has returned, also when it threw; the first
    // exception then goes on to the queue.
    std::exception_ptr error;
    try {
        deliverOne(this, handler, file);
    } catch (...) {
        error = std::current_exception();
    }
    while (!context.deferred.empty()) {
        DeliveryContext::Deferred const next = context.deferred.front();
        context.deferred.pop_front();
        try {
            deliverOne(next.node, next.handler, next.file);
        } catch (...) {
            if (!error) {
                error = std::current_exception();
            } else {
                google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
                    << "A notification callback threw while another callback's exception was "
                       "pending; the later exception is dropped";
            }
        }
    }
    if (error) {
        std::rethrow_exception(error);
    }
}

void ActiveState::deliverNow(IRemoteResourceEventHandler* handler) {
    // A task exists only for a subscriber that was added, so the table exists; it is never
    // replaced.
    Subscriptions* const table = subscribers.get();
    // Held for the whole delivery, so callbacks of this node run one at a time and in the order
    // their decisions are taken out, and removeChangeSubscriber can wait for a running one. The
    // state lock is held only to take the decision out: the callback may use this node.
    std::lock_guard<std::mutex> deliveryLock(table->deliveryMutex);
    Notifier::Decision decision;
    std::function<void(State)> callback;
    State traced;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto const found = table->handlers.find(handler);
        // Nothing left means the subscriber went (and maybe came back) after the decision:
        // another task of it has delivered, or removal dropped, what this task was posted for.
        if (found == table->handlers.end() || found->second.undelivered.empty()) {
            return;
        }
        Notifier& notifier = found->second;
        decision = notifier.undelivered.pop();
        // A copy, because the callback may unsubscribe itself and so destroy the notifier.
        callback = notifier.callback;
        traced = notifier.lastNotified;
    }
    IEventTracer::TraceRecord record;
    record.descriptor = descriptor;
    record.bundle = bundle;
    record.state = &traced;
    if (message) {
        record.message = *message;
    }
    DeliveryScope scope(this);
    if (IEventTracer* const tracer = outlets->tracer.get()) {
        tracer->trace(decision.isProgress ? IEventTracer::ProgressNotification
                                          : IEventTracer::StatusNotification,
                      record);
    }
    callback(decision.state);
    if (IEventTracer* const tracer = outlets->tracer.get()) {
        tracer->trace(decision.isProgress ? IEventTracer::ProgressNotificationEnd
                                          : IEventTracer::StatusNotificationEnd,
                      record);
    }
}

void ActiveState::deliverFileNow(IFileEventHandler* handler) {
    Subscriptions* const table = subscribers.get();
    std::lock_guard<std::mutex> deliveryLock(table->deliveryMutex);
    PendingFileEvent pending;
    std::function<void(FileEvent const&)> callback;
    {
        std::lock_guard<std::mutex> lock(mutex);
        FileSubscriber* const subscriber = table->findFile(handler);
        if (subscriber == nullptr || subscriber->undelivered.empty()) {
            return;
        }
        pending = subscriber->undelivered.pop();
        callback = subscriber->callback;
    }
    FileEvent event;
    event.bundle = bundle;
    event.descriptor = pending.descriptor;
    event.state = pending.state;
    event.bytesReceived = pending.received;
    event.bytesTotal = pending.total;
    event.outcome = pending.outcome ? &*pending.outcome : nullptr;
    DeliveryScope scope(this);
    callback(event);
}

}  // namespace Tiskel::App
