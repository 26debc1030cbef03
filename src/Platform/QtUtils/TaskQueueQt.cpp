#include "Platform/QtUtils/TaskQueueQt.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <glog/logging.h>

namespace Tiskel::App {

namespace {

// Qt passes a posted call from the posting thread to the application thread under its own
// futex-based mutex, which race detectors do not model. Whatever of ours the application thread
// reaches through such a call (the receiver object itself, before it can lock anything of its
// queue) is therefore published through this mutex as well: the constructing or posting thread
// passes it after its writes, and every entry from Qt into a receiver passes it first.
std::mutex& handOverMutex() {
    static std::mutex mutex;
    return mutex;
}

void passHandOver() {
    std::lock_guard<std::mutex> lock(handOverMutex());
}

}  // namespace

class TaskQueueQtReceiver;

// State shared by the queue and its receiver. The receiver keeps it alive: it may outlive the
// queue by a pending call.
struct TaskQueueQt::Shared {
    // Guards the fields below it; never held while a handler or a task runs.
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    // Null once the receiver is gone (the application object destroyed it) or disposed of.
    TaskQueueQtReceiver* receiver = nullptr;
    // A drain call is posted and has not yet found the queue empty.
    bool wakePosted = false;
    std::vector<Core::ITaskQueueEventHandler*> handlers;

    // Serialises publication so that handlers hear the states one at a time; held while they
    // run, so that an unregistering thread waits for a publication under way.
    std::mutex publishMutex;

    // Called after every change between empty and non-empty, outside `mutex`. The state is read
    // again under `publishMutex`, so a publisher overtaken by a later change reports the newer
    // state and the last publication matches the queue.
    void publish() {
        std::lock_guard<std::mutex> publishLock(publishMutex);
        Core::ITaskQueueEventHandler::State state = Core::ITaskQueueEventHandler::Empty;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!tasks.empty()) {
                state = Core::ITaskQueueEventHandler::HasTasks;
            }
        }
        for (auto* handler : handlers) {
            handler->handleChangedState(state);
        }
    }
};

// Lives on the application thread and runs the queue's tasks there when Qt calls `drain`. It is
// woken through a queued call of a slot by name, so no object of ours travels with the call.
//
// Owned by the application object when the queue was built on the application thread, so that
// it goes with the application; otherwise it has no parent and the queue disposes of it.
class TaskQueueQtReceiver final : public QObject {
    Q_OBJECT

  public:
    explicit TaskQueueQtReceiver(std::shared_ptr<TaskQueueQt::Shared> shared)
        : shared(std::move(shared)) {}

    ~TaskQueueQtReceiver() override {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->receiver == this) {
            shared->receiver = nullptr;
        }
    }

    // REQUIRES: shared->mutex is held.
    void wake() { QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection); }

  public slots:
    // Runs the tasks that were waiting when the call began; tasks posted meanwhile get another
    // call, so a task that keeps posting cannot starve the event loop.
    void drain() {
        passHandOver();
        std::size_t budget = 0;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            budget = shared->tasks.size();
        }
        for (;;) {
            std::function<void()> task;
            bool becameEmpty = false;
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                if (shared->tasks.empty()) {
                    return;
                }
                if (budget == 0) {
                    wake();  // `wakePosted` stays set: the new call takes over
                    return;
                }
                --budget;
                task = std::move(shared->tasks.front());
                shared->tasks.pop_front();
                if (shared->tasks.empty()) {
                    becameEmpty = true;
                    shared->wakePosted = false;
                }
            }
            if (becameEmpty) {
                shared->publish();
            }
            try {
                task();
            } catch (std::exception const& error) {
                LOG(ERROR) << "TaskQueueQt: a task threw: " << error.what();
            } catch (...) {
                LOG(ERROR) << "TaskQueueQt: a task threw an unknown exception";
            }
        }
    }

    // Posted by a queue destroyed on another thread while the application still runs.
    void dispose() {
        passHandOver();
        delete this;
    }

  private:
    std::shared_ptr<TaskQueueQt::Shared> const shared;
};

TaskQueueQt::TaskQueueQt() : shared(std::make_shared<Shared>()) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr) {
        throw std::logic_error("TaskQueueQt needs a QCoreApplication: create one before the queue");
    }
    auto* receiver = new TaskQueueQtReceiver(shared);
    if (application->thread() == QThread::currentThread()) {
        receiver->setParent(application);
    } else {
        receiver->moveToThread(application->thread());
    }
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->receiver = receiver;
    }
    passHandOver();
}

TaskQueueQt::~TaskQueueQt() {
    std::deque<std::function<void()>> dropped;
    TaskQueueQtReceiver* deleteNow = nullptr;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        dropped.swap(shared->tasks);
        TaskQueueQtReceiver* const receiver = shared->receiver;
        if (receiver != nullptr) {
            // Without an application no event loop can reach the receiver any more; on its own
            // thread nothing else can be inside it. Otherwise its thread deletes it, after any
            // call already posted, which will find no task. The lock keeps the application's
            // destruction from deleting it under us meanwhile.
            if (QCoreApplication::instance() == nullptr ||
                receiver->thread() == QThread::currentThread()) {
                deleteNow = receiver;
            } else {
                QMetaObject::invokeMethod(receiver, "dispose", Qt::QueuedConnection);
            }
            shared->receiver = nullptr;
        }
    }
    if (deleteNow != nullptr) {
        passHandOver();
        delete deleteNow;
    }
    // `dropped` goes here, outside every lock: a task's captures may do anything when released.
}

void TaskQueueQt::RegisterEventHandler(Core::ITaskQueueEventHandler* handler) {
    std::lock_guard<std::mutex> publishLock(shared->publishMutex);
    auto& handlers = shared->handlers;
    if (std::find(handlers.begin(), handlers.end(), handler) == handlers.end()) {
        handlers.push_back(handler);
    }
}

void TaskQueueQt::UnregisterEventHandler(Core::ITaskQueueEventHandler* handler) {
    // Taking the publication lock waits for a publication in progress, so the handler is not
    // called once this returns.
    std::lock_guard<std::mutex> publishLock(shared->publishMutex);
    auto& handlers = shared->handlers;
    handlers.erase(std::remove(handlers.begin(), handlers.end(), handler), handlers.end());
}

bool TaskQueueQt::execOne() {
    return false;
}

void TaskQueueQt::addTask(std::function<void()> task, Priority /*priority*/) {
    if (!task) {
        throw std::bad_function_call();
    }
    bool accepted = false;
    bool becameNonEmpty = false;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        // A receiver built off the application thread has no parent and outlives the
        // application, but no event loop will ever call it again.
        if (shared->receiver != nullptr && QCoreApplication::instance() != nullptr) {
            accepted = true;
            shared->tasks.push_back(std::move(task));
            becameNonEmpty = shared->tasks.size() == 1;
            if (!shared->wakePosted) {
                shared->wakePosted = true;
                shared->receiver->wake();
            }
        }
    }
    if (!accepted) {
        // The receiver is gone with the application, so nothing could ever run the task.
        LOG(ERROR) << "TaskQueueQt: the Qt application object is gone; task dropped";
        return;
    }
    if (becameNonEmpty) {
        shared->publish();
    }
}

}  // namespace Tiskel::App

#include "TaskQueueQt.moc"
