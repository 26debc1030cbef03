#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/FileEvents.h"
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
// File subscribers (addFileSubscriber) hear of the changes of this node's children one by one:
// each child's status changes, its progress and the outcomes its changes carry (see Change), with
// the child's descriptor, under the same delivery guarantees as the subscribers above. Only
// direct children are reported: a grandchild's change reaches a node's file subscribers only as
// the change of the child it climbed through.
//
// Memory: a node that nobody subscribes to keeps no subscriber table and no delivery lock, a
// node with one parent keeps it inline, and a node without children keeps no child table.
//
// Thread-safe: every operation may be called from any thread. Locks are taken bottom-up (a
// child's before its parents'); a link that would make a cycle is refused.
class RDM_EXPORT ActiveState {
  public:
    // Empty for most changes; a vector allocates nothing until the first task.
    using TaskList = std::vector<std::function<void()>>;

    // A first-in first-out queue kept in a vector (no allocation while empty, unlike a deque)
    // read from `head`. Usually empty or one long.
    template <class T>
    class Fifo {
      public:
        bool empty() const noexcept { return head == items.size(); }
        void push(T item) { items.push_back(std::move(item)); }
        // REQUIRES: !empty().
        T pop() {
            T item = std::move(items[head++]);
            if (head == items.size()) {
                items.clear();
                head = 0;
            } else if (head * 2 > items.size()) {
                // A long backlog: drop the delivered prefix, amortised constant time.
                items.erase(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(head));
                head = 0;
            }
            return item;
        }

      private:
        std::vector<T> items;
        std::size_t head = 0;
    };

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
        using DecisionQueue = Fifo<Decision>;
        // Decided, not yet delivered, oldest first.
        DecisionQueue undelivered;

        // Decides what `state` means for this subscriber and, when something is to be
        // delivered, remembers `state` as the last notified one. A status outside
        // `params.statuses` is ignored altogether (it neither notifies nor counts as a change);
        // a change of error alone is never delivered; progress while `Downloading` is delivered
        // when it has risen by at least the granularity since the last notification.
        Action CheckForAction(IRemoteResource::State const& state) noexcept;
    };

    // What a change of a child tells its parents' file subscribers beyond the state itself.
    struct Change {
        // While Downloading, and with the outcome of a run that downloaded: bytes received now
        // and before this change, and the announced total (0 when not known).
        uint64_t received = 0;
        uint64_t previouslyReceived = 0;
        uint64_t total = 0;
        // The outcome of a pipeline run that ends with this change; null within a run.
        FileOutcome const* outcome = nullptr;
    };

    // Where a node posts its notification tasks and what traces their delivery. `taskQueue`
    // must not be null and its `addTask` must not throw; a null `tracer` traces nothing. One
    // set serves any number of nodes.
    struct Outlets {
        std::shared_ptr<Core::ITaskQueue> taskQueue;
        std::shared_ptr<IEventTracer> tracer;
    };

    // The record's `state` pointer is replaced by the address of this node's state.
    ActiveState(IEventTracer::TraceRecord record,
                std::shared_ptr<Core::ITaskQueue> const& taskQueue,
                std::shared_ptr<IEventTracer> const& tracer) noexcept;
    // The same with outlets shared with other nodes: a node then costs one pointer for both.
    // `outlets` must not be null.
    ActiveState(IEventTracer::TraceRecord record, std::shared_ptr<Outlets const> outlets) noexcept;
    // Takes no lock and does not unlink: the owner destroys a node only when nothing can reach
    // it and none of its tasks is queued or running.
    ~ActiveState() noexcept;
    ActiveState(ActiveState const&) = delete;
    ActiveState& operator=(ActiveState const&) = delete;

    // Downloading, NoError, done / total. A total of 0 means "size not known yet": progress 0.0.
    void setProgress(unsigned long long done, unsigned long long total) noexcept;
    // The same, telling the parents' file subscribers the bytes of `change`.
    void setProgress(unsigned long long done, unsigned long long total,
                     Change const& change) noexcept;
    // Available, NoError, 1.0.
    void setDownloadAvailable() noexcept;
    // Error, `error`, 0.0.
    void setDownloadError(IRemoteResource::DownloadError error) noexcept;
    // The same two, ending a run whose outcome the parents' file subscribers hear of.
    void setDownloadAvailable(FileOutcome const& outcome, uint64_t received = 0,
                              uint64_t total = 0) noexcept;
    void setDownloadError(IRemoteResource::DownloadError error, FileOutcome const& outcome,
                          uint64_t received = 0, uint64_t total = 0) noexcept;

    // A copy of the state taken under the lock.
    IRemoteResource::State getCurrentState() const noexcept;
    // The node's record, made without the lock from fields that never change. Its `state`
    // pointer refers to the live state of this node, which setters on other threads may be
    // writing. A caller that traces the record outside the node's lock must trace a snapshot
    // instead: copy the state with `getCurrentState` and point the record's `state` at the copy.
    IEventTracer::TraceRecord getTraceRecord() const noexcept;
    // The record's descriptor (null for a bundle's node).
    ResourceDescriptor const* getDescriptor() const noexcept { return descriptor; }

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

    // Subscribes `handler` (a key only) to the changes of this node's children, unless it is
    // subscribed already. `callback` gets each event with `bundle` set from this node's record.
    void addFileSubscriber(IFileEventHandler* handler,
                           std::function<void(FileEvent const&)> callback,
                           FileEventParams const& params) noexcept;
    // Like removeChangeSubscriber, for a file subscriber.
    void removeFileSubscriber(IFileEventHandler* handler) noexcept;

    // Records `child` with the zero state (resetting an existing record) and makes this node its
    // parent. Touches no state and no subscriber: run `checkAllNotifications` on the child next
    // so that its real state arrives. Links are never removed; linking a child twice keeps one
    // link. A link that would make a cycle (the child is this node or one of its ancestors) is
    // refused with an ERROR line.
    void addChild(ActiveState* child) noexcept;
    // Makes room for `count` more children, so that linking many grows the table once.
    void reserveChildren(std::size_t count);

    // A change arriving from a child: records it, recomputes this node's state and passes the
    // change on, appending decided notifications to `tasks`. A node that is not a child of this
    // one is ignored.
    // REQUIRES: the child's lock is held by the caller; this node's lock is not.
    void onChildChanged(ActiveState* child, IRemoteResource::State const& childState,
                        TaskList& tasks) noexcept;
    // The same, with what the change tells file subscribers.
    void onChildChanged(ActiveState* child, IRemoteResource::State const& childState,
                        TaskList& tasks, Change const& change) noexcept;
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
    // The subscribers and their delivery lock; allocated with the first subscriber.
    struct Subscriptions;
    struct FileSubscriber;

    // The table, made on first use. REQUIRES: mutex is held.
    ChildTable& childTable() noexcept;
    // Made on first use. REQUIRES: mutex is held.
    Subscriptions& subscriptions() noexcept;
    // Locks, applies `change` to the state, weighs and propagates, unlocks, posts.
    template <class Apply>
    void runNotificationPass(Apply const& apply, Change const& change) noexcept;
    // Weighs the subscribers, then reports to the parents with `change`. REQUIRES: mutex is held.
    void checkAllNotificationsUnguarded(TaskList& tasks, Change const& change) noexcept;
    // Decides the events of this node's file subscribers for a change of `child`.
    // REQUIRES: mutex is held.
    void decideFileEvents(ActiveState const* child, IRemoteResource::State const& before,
                          IRemoteResource::State const& after, Change const& change,
                          TaskList& tasks);
    // True when `node` is this node or one of its ancestors. Takes one lock at a time.
    bool isSelfOrAncestor(ActiveState const* node) const noexcept;
    // Visits each parent with the place of this node's record in the parent's child table.
    template <class Visit>
    void forEachParent(Visit&& visit) const;
    // The place of this node's record in `parent`'s child table, or null when `parent` is not
    // a parent of this node. REQUIRES: mutex is held.
    uint32_t const* slotIn(ActiveState const* parent) const noexcept;
    // The same change, from the child whose record is at `slot`.
    void onChildChanged(uint32_t slot, ActiveState* child, IRemoteResource::State const& childState,
                        TaskList& tasks, Change const& change) noexcept;
    // The body of a notification task: delivers the subscriber's oldest undelivered decision, or
    // puts the delivery off when the thread is inside a callback already. May throw what a
    // callback throws.
    void deliver(void const* handler, bool file);
    // Delivers at once. REQUIRES: no callback runs on this thread.
    void deliverNow(IRemoteResourceEventHandler* handler);
    void deliverFileNow(IFileEventHandler* handler);

    mutable std::mutex mutex;
    // Guarded by mutex. The subscriber table is made once and kept until destruction, so a
    // delivery may use its delivery lock without holding `mutex`.
    std::unique_ptr<Subscriptions> subscribers;
    // The parents, each with the place of this node's record in its child table (a parent
    // keeps its children's records in one array, which a child finds by that index).
    struct ParentLink {
        ActiveState* parent;
        uint32_t slot;
    };
    ActiveState* firstParent = nullptr;
    uint32_t firstParentSlot = 0;
    std::unique_ptr<std::vector<ParentLink>> moreParents;
    std::unique_ptr<ChildTable> children;
    IRemoteResource::State state;
    // Constant after construction: the record's fields other than `state`.
    ResourceDescriptor const* const descriptor;
    ResourceDescriptorBundle const* const bundle;
    std::unique_ptr<std::string const> const message;  // null for an empty message
    std::shared_ptr<Outlets const> const outlets;
};

}  // namespace Tiskel::App
