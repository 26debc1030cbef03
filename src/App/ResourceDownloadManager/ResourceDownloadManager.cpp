#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

#include <algorithm>

namespace Tiskel::Core {

int32_t BlockingExecutor::execQueue(ITaskQueue& queue) {
    if (aborted.load()) {
        return 0;
    }
    if (!queue.execOne()) {
        return 0;
    }
    while (!aborted.load() && queue.execOne()) {
    }
    return 1;
}

void BlockingExecutor::abort() {
    aborted.exchange(true);
}

void TaskQueueImmediate::RegisterEventHandler(ITaskQueueEventHandler* /*handler*/) {}

void TaskQueueImmediate::UnregisterEventHandler(ITaskQueueEventHandler* /*handler*/) {}

bool TaskQueueImmediate::execOne() {
    return false;
}

void TaskQueueImmediate::addTask(std::function<void()> task, Priority /*priority*/) {
    task();
}

TaskQueueWatcher::TaskQueueWatcher(ITaskQueue* queue) : queue(queue) {
    queue->RegisterEventHandler(this);
}

TaskQueueWatcher::~TaskQueueWatcher() noexcept {
    queue->UnregisterEventHandler(this);
}

void TaskQueueWatcher::handleChangedState(State newState) {
    std::lock_guard<std::mutex> lock(mutex);
    state = newState;
    condition.notify_one();
}

void TaskQueueWatcher::waitForState(State wanted, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    if (timeout >= std::chrono::seconds(1)) {
        // A time-out beyond any real wait is cut down so that the deadline cannot overflow the
        // clock's range; such a deadline is never reached either way.
        constexpr std::chrono::seconds kLongestTimeout = std::chrono::hours(24 * 365 * 100);
        auto const deadline = std::chrono::steady_clock::now() + std::min(timeout, kLongestTimeout);
        while (active && state != wanted) {
            if (condition.wait_until(lock, deadline) == std::cv_status::timeout) {
                return;
            }
        }
        return;
    }
    while (active && state != wanted) {
        condition.wait(lock);
    }
}

void TaskQueueWatcher::stop() {
    std::lock_guard<std::mutex> lock(mutex);
    active = false;
    condition.notify_one();
}

void TaskQueueWatcher::waitWhile(std::function<bool(State state, bool active)> const& predicate) {
    std::unique_lock<std::mutex> lock(mutex);
    while (predicate(state, active)) {
        condition.wait(lock);
    }
}

bool TaskQueueWatcher::isActive() const {
    std::lock_guard<std::mutex> lock(mutex);
    return active;
}

}  // namespace Tiskel::Core
