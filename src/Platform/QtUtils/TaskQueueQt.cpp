#include "Platform/QtUtils/TaskQueueQt.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <glog/logging.h>

#include "Platform/QtUtils/QtInbox.h"

namespace Tiskel::App {

// The count of waiting tasks and the handlers that hear it change. Each task in the inbox keeps
// it alive, as a task may be taken out on the application thread while the queue goes.
struct TaskQueueQt::Shared {
    // Called after every change between empty and non-empty, outside `mutex`. The state is read
    // again under `publishMutex`, so a publisher overtaken by a later change reports the newer
    // state and the last publication matches the queue.
    void publish() {
        std::lock_guard<std::mutex> publishLock(publishMutex);
        Core::ITaskQueueEventHandler::State state = Core::ITaskQueueEventHandler::Empty;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (waiting > 0) {
                state = Core::ITaskQueueEventHandler::HasTasks;
            }
        }
        for (auto* handler : handlers) {
            handler->handleChangedState(state);
        }
    }

    // Tasks posted and not yet taken out to run.
    std::mutex mutex;
    std::size_t waiting = 0;

    // Serialises publication so that handlers hear the states one at a time; held while they
    // run, so that an unregistering thread waits for a publication under way.
    std::mutex publishMutex;
    std::vector<Core::ITaskQueueEventHandler*> handlers;
};

TaskQueueQt::TaskQueueQt() {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr) {
        throw std::logic_error("TaskQueueQt needs a QCoreApplication: create one before the queue");
    }
    shared = std::make_shared<Shared>();
    inbox = std::make_unique<QtInbox>("TaskQueueQt", application);
}

TaskQueueQt::~TaskQueueQt() = default;

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
    bool becameNonEmpty = false;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        becameNonEmpty = shared->waiting++ == 0;
    }
    bool const accepted = inbox->post([shared = shared, task = std::move(task)] {
        bool becameEmpty = false;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            becameEmpty = --shared->waiting == 0;
        }
        if (becameEmpty) {
            shared->publish();
        }
        task();
    });
    if (!accepted) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        --shared->waiting;
        LOG(ERROR) << "TaskQueueQt: the Qt application object is gone; task dropped";
        return;
    }
    if (becameNonEmpty) {
        shared->publish();
    }
}

}  // namespace Tiskel::App
