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
#include <QSocketNotifier>
#include <QThread>
#include <glog/logging.h>

#include "Platform/QtUtils/WakePipe.h"

namespace Tiskel::App {

namespace {

// Qt passes a posted call between threads under its own futex-based mutex, which race detectors
// do not model. The one such call this queue makes (starting a receiver built off the
// application thread) therefore publishes the receiver through this mutex as well: the
// constructing thread passes it after building the receiver, and the receiver passes it before
// it touches any of its fields on the application thread.
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
// queue until the application thread disposes of it.
struct TaskQueueQt::Shared {
    // The receiver's socket notifier watches its read end. One byte per wake-up.
    WakePipe wakePipe{"TaskQueueQt"};

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

    // Guards the fields below it; never held while a handler or a task runs.
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    // Null once the queue is gone or the application object destroyed the receiver.
    TaskQueueQtReceiver* receiver = nullptr;
    // Set by a queue destroyed off the application thread: the receiver deletes itself.
    bool disposeRequested = false;
    // A wake-up is pending and no drain has found the queue empty since.
    bool wakePending = false;

    // Serialises publication so that handlers hear the states one at a time; held while they
    // run, so that an unregistering thread waits for a publication under way.
    std::mutex publishMutex;
    std::vector<Core::ITaskQueueEventHandler*> handlers;
};

// Lives on the application thread and runs the queue's tasks there. Posting threads wake it by
// writing to a pipe that a socket notifier of this object watches, so no Qt object, event or
// allocation passes between threads on the way.
//
// Owned by the application object when the queue was built on the application thread, so that
// it goes with the application; otherwise it has no parent and deletes itself when the queue
// asks, or the queue deletes it once no event loop can reach it.
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

  public slots:
    // Watches the wake-up pipe. Runs on the application thread: directly when the queue is
    // built there, else through one queued call.
    void start() {
        passHandOver();
        auto* notifier =
            new QSocketNotifier(shared->wakePipe.readEnd(), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &TaskQueueQtReceiver::onWake);
        onWake();  // tasks may have been posted before the notifier existed
    }

  private slots:
    void onWake() {
        shared->wakePipe.drain();
        bool dispose = false;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            dispose = shared->disposeRequested;
        }
        if (dispose) {
            delete this;
            return;
        }
        drain();
    }

  private:
    // Runs the tasks that were waiting when the call began; tasks posted meanwhile get another
    // wake-up, so a task that keeps posting cannot starve the event loop.
    void drain() {
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
                    shared->wakePipe.signal();  // `wakePending` stays set
                    return;
                }
                --budget;
                task = std::move(shared->tasks.front());
                shared->tasks.pop_front();
                if (shared->tasks.empty()) {
                    becameEmpty = true;
                    shared->wakePending = false;
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

    std::shared_ptr<TaskQueueQt::Shared> const shared;
};

TaskQueueQt::TaskQueueQt() {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr) {
        throw std::logic_error("TaskQueueQt needs a QCoreApplication: create one before the queue");
    }
    shared = std::make_shared<Shared>();
    auto* receiver = new TaskQueueQtReceiver(shared);
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->receiver = receiver;
    }
    if (application->thread() == QThread::currentThread()) {
        receiver->setParent(application);
        receiver->start();
    } else {
        receiver->moveToThread(application->thread());
        passHandOver();
        QMetaObject::invokeMethod(receiver, "start", Qt::QueuedConnection);
    }
}

TaskQueueQt::~TaskQueueQt() {
    std::deque<std::function<void()>> dropped;
    TaskQueueQtReceiver* deleteNow = nullptr;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        dropped.swap(shared->tasks);
        TaskQueueQtReceiver* const receiver = shared->receiver;
        if (receiver != nullptr) {
            // Without an application no event loop can reach the receiver any more, and on its
            // own thread nothing else is inside it. Otherwise it deletes itself on its thread at
            // the next wake-up. The lock keeps the application's destruction from deleting it
            // meanwhile.
            if (QCoreApplication::instance() == nullptr ||
                receiver->thread() == QThread::currentThread()) {
                deleteNow = receiver;
            } else {
                shared->disposeRequested = true;
                shared->wakePipe.signal();
            }
            shared->receiver = nullptr;
        }
    }
    delete deleteNow;
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
            if (!shared->wakePending) {
                shared->wakePending = true;
                shared->wakePipe.signal();
            }
        }
    }
    if (!accepted) {
        LOG(ERROR) << "TaskQueueQt: the Qt application object is gone; task dropped";
        return;
    }
    if (becameNonEmpty) {
        shared->publish();
    }
}

}  // namespace Tiskel::App

#include "TaskQueueQt.moc"
