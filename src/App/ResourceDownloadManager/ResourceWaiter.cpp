#include "App/ResourceDownloadManager/ResourceWaiter.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>

#include <QCoreApplication>
#include <QThread>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"

namespace Tiskel::App {
namespace {

bool isSettled(IRemoteResource::State const& state) {
    return state.status == IRemoteResource::Available || state.status == IRemoteResource::Error;
}

bool onQtApplicationThread() {
    QCoreApplication const* application = QCoreApplication::instance();
    return application != nullptr && QThread::currentThread() == application->thread();
}

// Wakes the waiting thread on every notification. The waiting thread then reads the resource's
// state itself rather than trusting the notification's copy, so a late notification (decided
// before the wait began, or meant for an earlier subscriber at the same address) cannot end
// the wait with a state the resource has left.
class Wakeup final : public IRemoteResourceEventHandler {
  public:
    void onStateChanged(IRemoteResource::State /*state*/,
                        ResourceDescriptorBundle const* /*bundle*/) noexcept override {
        std::lock_guard<std::mutex> lock(mutex);
        ++deliveries;
        condition.notify_all();
    }

    // Lock order: the resource's state lock (held around `onStateChanged`), then `mutex`. The
    // waiting thread never calls the resource while holding `mutex`.
    std::mutex mutex;
    std::condition_variable condition;
    uint64_t deliveries = 0;  // guarded by mutex
};

// Subscribes `wakeup` to every status of `resource` for the lifetime of the object.
class Subscription {
  public:
    Subscription(IRemoteResource* resource, Wakeup* wakeup) : resource(resource), wakeup(wakeup) {
        IRemoteResource::NotificationParams params;
        params.statuses = {IRemoteResource::Waiting, IRemoteResource::Downloading,
                           IRemoteResource::Available, IRemoteResource::Error};
        resource->registerEventHandler(wakeup, params);
    }
    ~Subscription() { resource->unregisterEventHandler(wakeup); }
    Subscription(Subscription const&) = delete;
    Subscription& operator=(Subscription const&) = delete;

  private:
    IRemoteResource* const resource;
    Wakeup* const wakeup;
};

uint64_t deliveriesOf(Wakeup& wakeup) {
    std::lock_guard<std::mutex> lock(wakeup.mutex);
    return wakeup.deliveries;
}

// On the Qt application thread the wait is allowed only when the resource's notifications do not
// need this thread's event loop. A new subscription's first notification, covering every status,
// is always decided: a queue that runs tasks at once delivers it before `registerEventHandler`
// returns, while the Qt-bound queue leaves it for the event loop. Silence therefore means the
// wait could never be woken. One attempt can be fooled by a change on another thread that slips
// between the resource's two subscription steps and decides the first notification itself, to
// deliver it a moment later; ending the subscription and trying again with a fresh one makes a
// false verdict need that race every time.
void rejectWaitOnNotifyingQtThread(IRemoteResource* resource) {
    constexpr int kAttempts = 3;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Wakeup probe;
        {
            Subscription subscription(resource, &probe);
            if (deliveriesOf(probe) != 0) {
                return;
            }
        }
        // Unsubscribed: a delivery that was running has finished, and none starts any more.
        if (deliveriesOf(probe) != 0) {
            return;
        }
    }
    throw std::logic_error(
        "waitUntilSettled called on the Qt application thread, which delivers this resource's "
        "notifications: the wait would block them. React to RemoteResourceEventHandlerQt's "
        "signals instead, or wait on another thread");
}

}  // namespace

ResourceWaitResult waitUntilSettled(IRemoteResource* resource, std::chrono::milliseconds timeout) {
    if (resource == nullptr) {
        throw std::invalid_argument("waitUntilSettled: the resource is null");
    }
    if (ActiveState::isDeliveringOnThisThread()) {
        throw std::logic_error(
            "waitUntilSettled called inside a notification callback: the callback holds up the "
            "deliveries the wait depends on");
    }
    auto const deadline =
        std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds::zero());
    if (onQtApplicationThread()) {
        rejectWaitOnNotifyingQtThread(resource);
    }

    Wakeup wakeup;
    Subscription subscription(resource, &wakeup);
    for (;;) {
        // Read the count before the state: a change after the read is then a new delivery.
        uint64_t const seen = deliveriesOf(wakeup);
        IRemoteResource::State const state = resource->getCurrentState();
        if (isSettled(state)) {
            return {true, state};
        }
        std::unique_lock<std::mutex> lock(wakeup.mutex);
        if (!wakeup.condition.wait_until(lock, deadline,
                                         [&] { return wakeup.deliveries != seen; })) {
            lock.unlock();
            // A change that landed just at the deadline still counts.
            IRemoteResource::State const last = resource->getCurrentState();
            return {isSettled(last), last};
        }
    }
}

}  // namespace Tiskel::App
