#include "Platform/Core/TaskQueue.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace Tiskel::Core {

struct TaskQueue::Impl {
    using State = ITaskQueueEventHandler::State;

    // Guarded by `tasksMutex`. One FIFO per priority, highest priority first.
    mutable std::mutex tasksMutex;
    std::map<Priority, std::deque<std::function<void()>>, std::greater<>> tasks;
    std::size_t count = 0;

    // Guarded by `publishMutex`, which is taken before `tasksMutex` when both are needed and is
    // held while handlers run, so that publications reach the handlers one at a time and an
    // unregistering thread waits for a publication in progress.
    std::mutex publishMutex;
    std::vector<ITaskQueueEventHandler*> handlers;

    State currentState() const {
        std::lock_guard<std::mutex> lock(tasksMutex);
        return count == 0 ? ITaskQueueEventHandler::Empty : ITaskQueueEventHandler::HasTasks;
    }

    // Called by every thread that changed the queue between empty and non-empty, after it has
    // released `tasksMutex`. The state is read again under `publishMutex` instead of publishing
    // the transition the caller saw: a thread that is overtaken by a later change then publishes
    // the newer state, and the last publication always matches the queue.
    void publish() {
        std::lock_guard<std::mutex> lock(publishMutex);
        State const state = currentState();
        for (ITaskQueueEventHandler* handler : handlers) {
            handler->handleChangedState(state);
        }
    }
};

TaskQueue::TaskQueue() : impl(std::make_unique<Impl>()) {}

TaskQueue::~TaskQueue() = default;

void TaskQueue::RegisterEventHandler(ITaskQueueEventHandler* handler) {
    if (handler == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(impl->publishMutex);
    if (std::find(impl->handlers.begin(), impl->handlers.end(), handler) != impl->handlers.end()) {
        return;
    }
    impl->handlers.push_back(handler);
    // A handler assumes `Empty` until told otherwise; one that arrives while tasks wait is told
    // at once, or it would sleep through work that is already queued.
    if (impl->currentState() == ITaskQueueEventHandler::HasTasks) {
        handler->handleChangedState(ITaskQueueEventHandler::HasTasks);
    }
}

void TaskQueue::UnregisterEventHandler(ITaskQueueEventHandler* handler) {
    std::lock_guard<std::mutex> lock(impl->publishMutex);
    auto& handlers = impl->handlers;
    handlers.erase(std::remove(handlers.begin(), handlers.end(), handler), handlers.end());
}

bool TaskQueue::execOne() {
    std::function<void()> task;
    bool becameEmpty = false;
    {
        std::lock_guard<std::mutex> lock(impl->tasksMutex);
        if (impl->count == 0) {
            return false;
        }
        auto first = impl->tasks.begin();
        task = std::move(first->second.front());
        first->second.pop_front();
        if (first->second.empty()) {
            impl->tasks.erase(first);
        }
        --impl->count;
        becameEmpty = impl->count == 0;
    }
    if (becameEmpty) {
        impl->publish();
    }
    // Runs outside every lock: the task may post to this queue. It is destroyed here too, so an
    // exception leaves nothing of it behind in the queue.
    task();
    return true;
}

void TaskQueue::addTask(std::function<void()> task, Priority priority) {
    if (!task) {
        // Fail on the posting thread, where the mistake is, instead of later on a worker.
        throw std::bad_function_call();
    }
    bool becameNonEmpty = false;
    {
        std::lock_guard<std::mutex> lock(impl->tasksMutex);
        auto& fifo = impl->tasks[priority];
        try {
            fifo.push_back(std::move(task));
        } catch (...) {
            // execOne relies on every listed priority having a task.
            if (fifo.empty()) {
                impl->tasks.erase(priority);
            }
            throw;
        }
        becameNonEmpty = impl->count == 0;
        ++impl->count;
    }
    if (becameNonEmpty) {
        impl->publish();
    }
}

std::size_t TaskQueue::size() const {
    std::lock_guard<std::mutex> lock(impl->tasksMutex);
    return impl->count;
}

}  // namespace Tiskel::Core
