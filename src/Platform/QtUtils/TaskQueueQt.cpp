#include "Platform/QtUtils/TaskQueueQt.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <QCoreApplication>
#include <QMetaObject>
#include <glog/logging.h>

namespace Tiskel::App {

// State shared between the queue and the invocations it has posted. Invocations hold it weakly:
// one that runs after the queue is gone drops its task.
struct TaskQueueQt::Shared {
    std::mutex mutex;  // guards everything below; never held while a handler or task runs
    std::size_t pending = 0;
    std::vector<Core::ITaskQueueEventHandler*> handlers;

    // Serialises publication so that handlers see the states in the order they happened.
    std::mutex publishMutex;

    void publish(Core::ITaskQueueEventHandler::State state) {
        std::lock_guard<std::mutex> publishLock(publishMutex);
        std::vector<Core::ITaskQueueEventHandler*> targets;
        {
            std::lock_guard<std::mutex> lock(mutex);
            targets = handlers;
        }
        for (auto* handler : targets) {
            handler->handleChangedState(state);
        }
    }
};

TaskQueueQt::TaskQueueQt() : shared(std::make_shared<Shared>()) {
    if (QCoreApplication::instance() == nullptr) {
        throw std::logic_error("TaskQueueQt needs a QCoreApplication: create one before the queue");
    }
}

TaskQueueQt::~TaskQueueQt() = default;

void TaskQueueQt::RegisterEventHandler(Core::ITaskQueueEventHandler* handler) {
    std::lock_guard<std::mutex> publishLock(shared->publishMutex);
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (std::find(shared->handlers.begin(), shared->handlers.end(), handler) ==
        shared->handlers.end()) {
        shared->handlers.push_back(handler);
    }
}

void TaskQueueQt::UnregisterEventHandler(Core::ITaskQueueEventHandler* handler) {
    // Taking the publication lock waits for a publication in progress, so the handler is not
    // called once this returns.
    std::lock_guard<std::mutex> publishLock(shared->publishMutex);
    std::lock_guard<std::mutex> lock(shared->mutex);
    auto& handlers = shared->handlers;
    handlers.erase(std::remove(handlers.begin(), handlers.end(), handler), handlers.end());
}

bool TaskQueueQt::execOne() {
    return false;
}

void TaskQueueQt::addTask(std::function<void()> task, Priority /*priority*/) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr) {
        LOG(ERROR) << "TaskQueueQt: the Qt application object is gone; task dropped";
        return;
    }
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        first = shared->pending++ == 0;
    }
    if (first) {
        shared->publish(Core::ITaskQueueEventHandler::HasTasks);
    }
    QMetaObject::invokeMethod(
        application,
        [weak = std::weak_ptr<Shared>(shared), task = std::move(task)]() {
            auto state = weak.lock();
            if (!state) {
                return;
            }
            bool last = false;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                last = --state->pending == 0;
            }
            if (last) {
                state->publish(Core::ITaskQueueEventHandler::Empty);
            }
            try {
                task();
            } catch (std::exception const& error) {
                LOG(ERROR) << "TaskQueueQt: a task threw: " << error.what();
            } catch (...) {
                LOG(ERROR) << "TaskQueueQt: a task threw an unknown exception";
            }
        },
        Qt::QueuedConnection);
}

}  // namespace Tiskel::App
