#include "App/ResourceDownloadManager/QtEventHandler.h"

#include <deque>
#include <mutex>
#include <utility>

#include <QSocketNotifier>

#include "Platform/QtUtils/WakePipe.h"

namespace Tiskel::App {
namespace {

void registerSignalTypes() {
    // Once per process; Qt's registry is thread-safe, the static only saves repeated calls.
    static bool const registered = [] {
        qRegisterMetaType<ResourceDescriptorBundle const*>();
        qRegisterMetaType<IRemoteResource::DownloadStatus>();
        qRegisterMetaType<IRemoteResource::DownloadError>();
        return true;
    }();
    (void)registered;
}

}  // namespace

// Notifications travel from the delivering threads to the object's thread through `pending`,
// under `mutex`, and a byte written to a pipe wakes the object's thread through a socket
// notifier. No Qt object or event crosses threads on the way: a posted Qt event would hand Qt's
// own storage over under Qt's futex-based mutex, which ThreadSanitizer cannot see, while pipe
// reads and writes and std::mutex are synchronisation it models.
struct RemoteResourceEventHandlerQt::Mailbox {
    // Any thread. One byte per change from empty to non-empty; the reader empties the pipe on
    // every wake-up, so it never fills.
    void post(ResourceDescriptorBundle const* bundle, IRemoteResource::State const& state) {
        std::lock_guard<std::mutex> lock(mutex);
        bool const wasEmpty = pending.empty();
        pending.emplace_back(bundle, state);
        if (wasEmpty) {
            wakePipe.signal();
        }
    }

    // The object's thread. The pipe is emptied before the queue is taken, so a notification
    // posted after the take has a byte of its own waiting.
    std::deque<std::pair<ResourceDescriptorBundle const*, IRemoteResource::State>> take() {
        wakePipe.drain();
        std::deque<std::pair<ResourceDescriptorBundle const*, IRemoteResource::State>> batch;
        std::lock_guard<std::mutex> lock(mutex);
        batch.swap(pending);
        return batch;
    }

    // Constant after construction.
    WakePipe wakePipe{"RemoteResourceEventHandlerQt"};
    // Created on the object's thread as its child, so it moves with the object; deleted by the
    // adapter's destructor before the pipe closes.
    QSocketNotifier* notifier = nullptr;

    // A resource's lock may be held while `mutex` is taken, never the other way round.
    std::mutex mutex;
    std::deque<std::pair<ResourceDescriptorBundle const*, IRemoteResource::State>> pending;
};

RemoteResourceEventHandlerQt::RemoteResourceEventHandlerQt(QObject* parent)
    : QObject(parent), mailbox(std::make_unique<Mailbox>()) {
    registerSignalTypes();
    params.statuses = {IRemoteResource::Waiting, IRemoteResource::Downloading,
                       IRemoteResource::Available, IRemoteResource::Error};
    params.notifyProgress = true;
    params.progressGranularity = 0.01;
    mailbox->notifier =
        new QSocketNotifier(mailbox->wakePipe.readEnd(), QSocketNotifier::Read, this);
    connect(mailbox->notifier, &QSocketNotifier::activated, this, [this] { emitPending(); });
}

RemoteResourceEventHandlerQt::~RemoteResourceEventHandlerQt() {
    // Once every resource has let go, no `onStateChanged` is running or can start, so nothing
    // posts any more; what is still queued goes with the mailbox.
    for (IRemoteResource* resource : resources) {
        resource->unregisterEventHandler(this);
    }
    delete mailbox->notifier;
}

void RemoteResourceEventHandlerQt::setNotificationParams(IRemoteResource::NotificationParams p) {
    params = std::move(p);
}

void RemoteResourceEventHandlerQt::registerWithin(IRemoteResource* resource) {
    if (resource == nullptr) {
        return;
    }
    resources.push_back(resource);
    resource->registerEventHandler(this, params);
}

void RemoteResourceEventHandlerQt::onStateChanged(IRemoteResource::State state,
                                                  ResourceDescriptorBundle const* bundle) noexcept {
    mailbox->post(bundle, state);
}

void RemoteResourceEventHandlerQt::emitPending() {
    for (auto const& [bundle, state] : mailbox->take()) {
        Q_EMIT stateChanged(bundle, state.status, state.error, state.progress);
    }
}

}  // namespace Tiskel::App
