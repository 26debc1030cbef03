#include "App/ResourceDownloadManager/QtEventHandler.h"

#include <QMetaObject>

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

RemoteResourceEventHandlerQt::RemoteResourceEventHandlerQt(QObject* parent) : QObject(parent) {
    registerSignalTypes();
    params.statuses = {IRemoteResource::Waiting, IRemoteResource::Downloading,
                       IRemoteResource::Available, IRemoteResource::Error};
    params.notifyProgress = true;
    params.progressGranularity = 0.01;
}

RemoteResourceEventHandlerQt::~RemoteResourceEventHandlerQt() {
    // Once every resource has let go, no `onStateChanged` is running or can start, so nothing
    // posts to this object any more; ~QObject then discards the event already posted.
    for (IRemoteResource* resource : resources) {
        resource->unregisterEventHandler(this);
    }
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
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        wasEmpty = pending.empty();
        pending.emplace_back(bundle, state);
    }
    // One queued call drains everything that arrives before it runs. The notifications travel in
    // `pending`, under a mutex the delivering thread and this object's thread both take, rather
    // than inside Qt's event: the hand-over is then visible to ThreadSanitizer too. The event is
    // addressed to this object, so it runs on the object's thread and is dropped with the object.
    if (wasEmpty) {
        QMetaObject::invokeMethod(this, "emitPending", Qt::QueuedConnection);
    }
}

void RemoteResourceEventHandlerQt::emitPending() {
    std::deque<std::pair<ResourceDescriptorBundle const*, IRemoteResource::State>> batch;
    {
        std::lock_guard<std::mutex> lock(pendingMutex);
        batch.swap(pending);
    }
    for (auto const& [bundle, state] : batch) {
        Q_EMIT stateChanged(bundle, state.status, state.error, state.progress);
    }
}

}  // namespace Tiskel::App
