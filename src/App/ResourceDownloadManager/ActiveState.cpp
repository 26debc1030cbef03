#include "App/ResourceDownloadManager/ActiveState.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <utility>

#include <glog/logging.h>

#include "App/ResourceDownloadManager/AddressMap.h"

namespace Tiskel::App {

namespace {

using State = IRemoteResource::State;

constexpr char kUnit[] = "App/ResourceDownloadManager/ActiveState";

// What a thread is delivering. While a callback runs, further deliveries on the same thread
// (a queue that runs tasks at once, fed by the callback's own calls) wait in `deferred` until it
// has returned: the thread then holds a single delivery lock at a time, and a callback is never
// entered again from inside itself.
struct DeliveryContext {
    ActiveState const* node = nullptr;  // the node whose callback runs now, if any
    std::deque<std::pair<ActiveState*, IRemoteResourceEventHandler*>> deferred;
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
    detail::AddressMap<ActiveState, State> records;
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

    void set(ActiveState* child, State const& record) noexcept {
        auto const [recorded, inserted] = records.tryEmplace(child, record);
        if (!inserted) {
            count(*recorded, -1);
            *recorded = record;
        }
        count(record, +1);
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
        records.forEach([&](ActiveState const*, State const& record) { sum += record.progress; });
        return sum / n;
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
    : traceRecord(std::move(record)), taskQueue(taskQueue), tracer(tracer) {
    traceRecord.state = &state;
}

ActiveState::~ActiveState() noexcept = default;

template <class Change>
void ActiveState::runNotificationPass(Change const& change) noexcept {
    TaskList tasks;
    {
        std::lock_guard<std::mutex> lock(mutex);
        change(state);
        checkAllNotificationsUnguarded(tasks);
    }
    // Posting after the unlock lets a queue run the tasks at once: each task locks its node.
    sendTasks(tasks);
}

void ActiveState::setProgress(unsigned long long done, unsigned long long total) noexcept {
    runNotificationPass([done, total](State& target) {
        target.status = IRemoteResource::Downloading;
        target.error = IRemoteResource::NoError;
        // A total of 0 comes before the size is known; it must not become a non-finite progress.
        target.progress = total == 0 ? 0.0 : static_cast<double>(done) / static_cast<double>(total);
    });
}

void ActiveState::setDownloadAvailable() noexcept {
    runNotificationPass([](State& target) {
        target.status = IRemoteResource::Available;
        target.error = IRemoteResource::NoError;
        target.progress = 1.0;
    });
}

void ActiveState::setDownloadError(IRemoteResource::DownloadError error) noexcept {
    runNotificationPass([error](State& target) {
        target.status = IRemoteResource::Error;
        target.error = error;
        target.progress = 0.0;
    });
}

void ActiveState::checkAllNotifications() noexcept {
    runNotificationPass([](State&) {});
}

State ActiveState::getCurrentState() const noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    return state;
}

IEventTracer::TraceRecord ActiveState::getTraceRecord() const noexcept {
    return traceRecord;
}

void ActiveState::addChangeSubscriber(IRemoteResourceEventHandler* handler,
                                      std::function<void(State)> callback,
                                      IRemoteResource::NotificationParams const& params) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    if (subscribers.count(handler) != 0) {
        return;
    }
    Notifier& notifier = subscribers[handler];
    notifier.callback = std::move(callback);
    notifier.params = params;
}

void ActiveState::removeChangeSubscriber(IRemoteResourceEventHandler* handler) noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex);
        subscribers.erase(handler);
    }
    // A callback of this node running on this very thread cannot be waited for; it runs on a
    // copy of its function, so the erased notifier is not in use.
    if (deliveryContext().node == this) {
        return;
    }
    // Callbacks run under the delivery lock: taking it waits for a running one to finish, and
    // later deliveries find the subscriber gone.
    std::lock_guard<std::mutex> wait(deliveryMutex);
}

void ActiveState::addChild(ActiveState* child) noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex);
        childTable().set(child, State{});
    }
    // The parent's lock is released first: locks are only ever taken child before parent.
    child->addParent(this);
}

void ActiveState::addParent(ActiveState* parent) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    // Room for two at once: an item commonly belongs to one or two bundles.
    if (parents.capacity() == 0) {
        parents.reserve(2);
    }
    parents.push_back(parent);
}

void ActiveState::onChildChanged(ActiveState* child, State const& childState,
                                 TaskList& tasks) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    childTable().set(child, childState);
    updateStateFromChildren();
    checkAllNotificationsUnguarded(tasks);
}

void ActiveState::updateStateFromChildren() noexcept {
    if (!children || children->records.empty()) {
        return;
    }
    if (children->records.size() == 1) {
        children->records.forEach([&](ActiveState const*, State const& record) { state = record; });
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
    for (auto& [handler, notifier] : subscribers) {
        Notifier::Action const action = notifier.CheckForAction(state);
        if (action == Notifier::NoAction) {
            continue;
        }
        notifier.undelivered.push({state, action == Notifier::NotifyProgress});
        // The task names no decision: whichever task of this subscriber runs first delivers the
        // oldest one, so the queue's running order cannot reorder them.
        tasks.emplace_back([node = this, handler = handler]() { node->deliver(handler); });
    }
    for (ActiveState* parent : parents) {
        parent->onChildChanged(this, state, tasks);
    }
}

void ActiveState::sendTasks(TaskList& tasks) {
    for (auto& task : tasks) {
        taskQueue->addTask(std::move(task), Core::ITaskQueue::Normal);
    }
    tasks.clear();
}

bool ActiveState::isDeliveringOnThisThread() noexcept {
    return deliveryContext().node != nullptr;
}

void ActiveState::deliver(IRemoteResourceEventHandler* handler) {
    DeliveryContext& context = deliveryContext();
    if (context.node != nullptr) {
        context.deferred.emplace_back(this, handler);
        return;
    }
    // Deliveries put off by a callback run once it has returned, also when it threw; the first
    // exception then goes on to the queue.
    std::exception_ptr error;
    try {
        deliverNow(handler);
    } catch (...) {
        error = std::current_exception();
    }
    while (!context.deferred.empty()) {
        auto const [node, deferredHandler] = context.deferred.front();
        context.deferred.pop_front();
        try {
            node->deliverNow(deferredHandler);
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
    // Held for the whole delivery, so callbacks of this node run one at a time and in the order
    // their decisions are taken out, and removeChangeSubscriber can wait for a running one. The
    // state lock is held only to take the decision out: the callback may use this node.
    std::lock_guard<std::mutex> deliveryLock(deliveryMutex);
    Notifier::Decision decision;
    std::function<void(State)> callback;
    State traced;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto const found = subscribers.find(handler);
        // Nothing left means the subscriber went (and maybe came back) after the decision:
        // another task of it has delivered, or removal dropped, what this task was posted for.
        if (found == subscribers.end() || found->second.undelivered.empty()) {
            return;
        }
        Notifier& notifier = found->second;
        decision = notifier.undelivered.pop();
        // A copy, because the callback may unsubscribe itself and so destroy the notifier.
        callback = notifier.callback;
        traced = notifier.lastNotified;
    }
    IEventTracer::TraceRecord record = traceRecord;
    record.state = &traced;
    DeliveryScope scope(this);
    if (tracer) {
        tracer->trace(decision.isProgress ? IEventTracer::ProgressNotification
                                          : IEventTracer::StatusNotification,
                      record);
    }
    callback(decision.state);
    if (tracer) {
        tracer->trace(decision.isProgress ? IEventTracer::ProgressNotificationEnd
                                          : IEventTracer::StatusNotificationEnd,
                      record);
    }
}

}  // namespace Tiskel::App
