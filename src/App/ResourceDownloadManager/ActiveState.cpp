#include "App/ResourceDownloadManager/ActiveState.h"

#include <cstdint>
#include <exception>
#include <utility>

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

// One bit per enumerator of a 32-bit enumeration with small values; every other value shares
// the top bit, so an unexpected value is still seen as "something else".
template <class Enum>
uint32_t bitOf(Enum value, int32_t largest) noexcept {
    auto const raw = static_cast<int32_t>(value);
    return (raw >= 0 && raw <= largest) ? (1u << raw) : (1u << 31);
}

uint32_t statusBit(IRemoteResource::DownloadStatus status) noexcept {
    return bitOf(status, IRemoteResource::Error);
}

uint32_t errorBit(IRemoteResource::DownloadError error) noexcept {
    return bitOf(error, IRemoteResource::InternetConnectionLost);
}

// The status of a bundle from the statuses its items are in. An error anywhere wins over
// activity; a partly available bundle counts as still downloading.
IRemoteResource::DownloadStatus aggregateStatus(uint32_t statuses) noexcept {
    if (statuses == statusBit(IRemoteResource::Available)) {
        return IRemoteResource::Available;
    }
    if (statuses & statusBit(IRemoteResource::Error)) {
        return IRemoteResource::Error;
    }
    if (statuses &
        (statusBit(IRemoteResource::Downloading) | statusBit(IRemoteResource::Available))) {
        return IRemoteResource::Downloading;
    }
    return IRemoteResource::Waiting;
}

// The error of a bundle from the errors of its items, the one the host is most likely to act
// on first: a cancellation, then a lost connection, then a rejected file.
IRemoteResource::DownloadError aggregateError(uint32_t errors) noexcept {
    if (errors == errorBit(IRemoteResource::NoError)) {
        return IRemoteResource::NoError;
    }
    for (auto const error : {IRemoteResource::Cancelled, IRemoteResource::InternetConnectionLost,
                             IRemoteResource::Corrupted}) {
        if (errors & errorBit(error)) {
            return error;
        }
    }
    return IRemoteResource::GeneralError;
}

}  // namespace

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
        children[child] = State{};
    }
    // The parent's lock is released first: locks are only ever taken child before parent.
    child->addParent(this);
}

void ActiveState::addParent(ActiveState* parent) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    parents.push_back(parent);
}

void ActiveState::onChildChanged(ActiveState* child, State const& childState,
                                 TaskList& tasks) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    children[child] = childState;
    updateStateFromChildren();
    checkAllNotificationsUnguarded(tasks);
}

void ActiveState::updateStateFromChildren() noexcept {
    if (children.empty()) {
        return;
    }
    if (children.size() == 1) {
        state = children.begin()->second;
        return;
    }
    uint32_t statuses = 0;
    uint32_t errors = 0;
    double progressSum = 0.0;
    for (auto const& [child, childState] : children) {
        statuses |= statusBit(childState.status);
        errors |= errorBit(childState.error);
        progressSum += childState.progress;
    }
    state.status = aggregateStatus(statuses);
    state.error = aggregateError(errors);
    state.progress = progressSum / static_cast<double>(children.size());
}

void ActiveState::checkAllNotificationsUnguarded(TaskList& tasks) noexcept {
    for (auto& [handler, notifier] : subscribers) {
        Notifier::Action const action = notifier.CheckForAction(state);
        if (action == Notifier::NoAction) {
            continue;
        }
        notifier.undelivered.push_back({state, action == Notifier::NotifyProgress});
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
        decision = notifier.undelivered.front();
        notifier.undelivered.pop_front();
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
