#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IEventTracer.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"
#include "Platform/Core/ITaskQueue.h"

namespace Tiskel::App {

// The thread-safe home of one resource's state: the state itself, the resource's subscribers
// with their filters, and links to parent and child nodes. A bundle's node is the parent of its
// items' nodes and derives its state from theirs.
//
// A change (a setter, or `checkAllNotifications`) is weighed against every subscriber of the
// node and then climbs to every parent, which records it, recomputes its aggregate and weighs
// its own subscribers, and so on upwards; a parent's aggregate follows from running counts over
// its children's records, in constant time whatever their number. Decided notifications are
// collected as tasks while the locks are held and posted to the originating node's task queue
// only after that node's lock has been released, so a queue that runs tasks at once works. The
// node never merges or withdraws a decided notification; a subscriber removed before its task
// runs receives nothing.
//
// Delivery guarantees, for each subscriber of a node:
// 1. Notifications are delivered in the order in which they were decided, whatever order or
//    threads the queue runs the tasks in: each decision is kept in the subscriber's FIFO under
//    the node's lock, and each task delivers the oldest decision not yet delivered. Once every
//    task has run, the last state a subscriber received is the last one decided for it.
// 2. Callbacks of one node run one at a time, each between the two trace events of its
//    delivery. An exception from a callback passes to the queue that runs the task.
// 3. Once `removeChangeSubscriber` has returned, no callback of that subscriber starts on that
//    node, and a callback of that node that was running has finished (unless the caller is that
//    very callback).
//
// What a callback may do. It runs with the node's delivery lock held but not its state lock, so
// it may call any operation of this node, of its parents and children, or of any other node:
// read the state, change states, subscribe and unsubscribe (itself included). A delivery that
// such a call causes on the same thread, with a queue that runs tasks at once, is put off until
// the running callback has returned, so a thread runs one callback at a time.
// What a callback must not do: destroy the subscriber being called, or, from a callback of one
// node, unsubscribe from another node whose callback may at the same time be unsubscribing from
// the first one (each would wait for the other's callback to finish).
//
// Thread-safe: every operation may be called from any thread. Locks are taken bottom-up (a
// child's before its parents'); links must not form a cycle.
class RDM_EXPORT ActiveState {
  public:
    // Empty for most changes; a vector allocates nothing until the first task.
    using TaskList = std::vector<std::function<void()>>;

    // One subscriber's filter and memory of what it was last told.
    struct RDM_EXPORT Notifier {
        enum Action : int32_t {
            NoAction = 0,
            NotifyStatus = 1,
            NotifyProgress = 2,
        };

        // One decided notification that has not been delivered yet.
        struct Decision {
            IRemoteResource::State state;
            bool isProgress = false;
        };

        std::function<void(IRemoteResource::State)> callback;
        IRemoteResource::NotificationParams params;
        bool hasLastNotified = false;
        IRemoteResource::State lastNotified;
        // Decided, not yet delivered, oldest first. Usually empty or one long: kept in a vector
        // (no allocation while empty, unlike a deque) read from `head`.
        class DecisionQueue {
          public:
            bool empty() const noexcept { return head == items.size(); }
            void push(Decision const& decision) { items.push_back(decision); }
            // REQUIRES: !empty().
            Decision pop() noexcept {
                Decision const decision = items[head++];
                if (head == items.size()) {
                    items.clear();
                    head = 0;
                } else if (head * 2 > items.size()) {
                    // A long backlog: drop the delivered prefix, amortised constant time.
                    items.erase(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(head));
                    head = 0;
                }
                return decision;
            }

          private:
            std::vector<Decision> items;
            std::size_t head = 0;
        };
        DecisionQueue undelivered;

        // Decides what `state` means for this subscriber and, when something is to be
        // delivered, remembers `state` as the last notified one. A status outside
        // `params.statuses` is ignored altogether (it neither notifies nor counts as a change);
        // a change of error alone is never delivered; progress while `Downloading` is delivered
        // when it has risen by at least the granularity since the last notification.
        Action CheckForAction(IRemoteResource::State const& state) noexcept;
    };

    // The record's `state` pointer is replaced by the address of this node's state. `taskQueue`
    // must not be null and its `addTask` must not throw; a null `tracer` traces nothing.
    ActiveState(IEventTracer::TraceRecord record,
                std::shared_ptr<Core::ITaskQueue> const& taskQueue,
                std::shared_ptr<IEventTracer> const& tracer) noexcept;
    // Takes no lock and does not unlink: the owner destroys a node only when nothing can reach
    // it and none of its tasks is queued or running.
    ~ActiveState() noexcept;
    ActiveState(ActiveState const&) = delete;
    ActiveState& operator=(ActiveState const&) = delete;

    // Downloading, NoError, done / total. A total of 0 means "size not known yet": progress 0.0.
    void setProgress(unsigned long long done, unsigned long long total) noexcept;
    // Available, NoError, 1.0.
    void setDownloadAvailable() noexcept;
    // Error, `error`, 0.0.
    void setDownloadError(IRemoteResource::DownloadError error) noexcept;

    // A copy of the state taken under the lock.
    IRemoteResource::State getCurrentState() const noexcept;
    // The node's record, read without the lock (it never changes). Its `state` pointer refers to
    // the live state of this node, which setters on other threads may be writing. A caller that
    // traces the record outside the node's lock must trace a snapshot instead: copy the state
    // with `getCurrentState` and point the record's `state` at the copy.
    IEventTracer::TraceRecord getTraceRecord() const noexcept;

    // Subscribes `handler` (a key only; never called, not owned) unless it is subscribed already,
    // in which case the new callback and parameters are dropped. Runs no check: call
    // `checkAllNotifications` next. `callback` must not be empty.
    void addChangeSubscriber(IRemoteResourceEventHandler* handler,
                             std::function<void(IRemoteResource::State)> callback,
                             IRemoteResource::NotificationParams const& params) noexcept;
    // Removes the subscription. Waits for a running callback of this node to finish, unless it
    // is called from that callback; once it returns, no callback of `handler` starts on this
    // node. Unknown handlers are ignored.
    void removeChangeSubscriber(IRemoteResourceEventHandler* handler) noexcept;
    // A notification pass without a change of state: tells each subscriber what it has not been
    // told yet and re-reports this node's state to its parents.
    void checkAllNotifications() noexcept;

    // Records `child` with the zero state (resetting an existing record) and makes this node its
    // parent. Touches no state and no subscriber: run `checkAllNotifications` on the child next
    // so that its real state arrives. Links are never removed and must not form a cycle.
    void addChild(ActiveState* child) noexcept;
    // Called only by `addChild`.
    void addParent(ActiveState* parent) noexcept;

    // A change arriving from a child: records it, recomputes this node's state and passes the
    // change on, appending decided notifications to `tasks`.
    // REQUIRES: the child's lock is held by the caller; this node's lock is not.
    void onChildChanged(ActiveState* child, IRemoteResource::State const& childState,
                        TaskList& tasks) noexcept;
    // Derives this node's state from the recorded states of its children; with no children the
    // state is left alone. Takes constant time whatever the number of children: the counts it
    // reads are kept up to date as records change. REQUIRES: mutex is held.
    void updateStateFromChildren() noexcept;
    // Weighs every subscriber against the current state, then reports the state to every parent.
    // REQUIRES: mutex is held.
    void checkAllNotificationsUnguarded(TaskList& tasks) noexcept;
    // Posts the collected tasks, front to back, to this node's queue and empties the list. An
    // exception from the queue passes to the caller. REQUIRES: no lock of this node is held.
    void sendTasks(TaskList& tasks);

    // True while a notification callback of any node runs on the calling thread.
    static bool isDeliveringOnThisThread() noexcept;

  private:
    // The children's recorded states, with running counts of their statuses and errors and the
    // sum of their progress; allocated with the first child.
    struct ChildTable;

    // The table, made on first use. REQUIRES: mutex is held.
    ChildTable& childTable() noexcept;
    // Locks, applies `change` to the state, weighs and propagates, unlocks, posts.
    template <class Change>
    void runNotificationPass(Change const& change) noexcept;
    // The body of a notification task: delivers the subscriber's oldest undelivered decision, or
    // puts the delivery off when the thread is inside a callback already. May throw what a
    // callback throws.
    void deliver(IRemoteResourceEventHandler* handler);
    // Delivers at once. REQUIRES: no callback runs on this thread.
    void deliverNow(IRemoteResourceEventHandler* handler);

    // Held while a callback of this node runs, taken before `mutex`.
    std::mutex deliveryMutex;
    mutable std::mutex mutex;
    // Guarded by mutex.
    std::map<IRemoteResourceEventHandler*, Notifier> subscribers;
    std::vector<ActiveState*> parents;
    std::unique_ptr<ChildTable> children;
    IRemoteResource::State state;
    // Constant after construction.
    IEventTracer::TraceRecord traceRecord;
    std::shared_ptr<Core::ITaskQueue> taskQueue;
    std::shared_ptr<IEventTracer> tracer;
};

}  // namespace Tiskel::App
