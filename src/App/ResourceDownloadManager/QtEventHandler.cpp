#include "App/ResourceDownloadManager/QtEventHandler.h"

#include <utility>

#include "Platform/QtUtils/QtInbox.h"

namespace Tiskel::App {
namespace {

void registerSignalTypes() {
    // Once per process; Qt's registry is thread-safe, the static only saves repeated calls.
    static bool const registered = [] {
        qRegisterMetaType<ResourceDescriptorBundle const*>();
        qRegisterMetaType<IRemoteResource::DownloadStatus>();
        qRegisterMetaType<IRemoteResource::DownloadError>();
        qRegisterMetaType<QtFileEvent>();
        return true;
    }();
    (void)registered;
}

}  // namespace

RemoteResourceEventHandlerQt::RemoteResourceEventHandlerQt(QObject* parent)
    : QObject(parent), inbox(std::make_unique<QtInbox>("RemoteResourceEventHandlerQt", this)) {
    registerSignalTypes();
    params.statuses = {IRemoteResource::Waiting, IRemoteResource::Downloading,
                       IRemoteResource::Available, IRemoteResource::Error};
    params.notifyProgress = true;
    params.progressGranularity = 0.01;
}

RemoteResourceEventHandlerQt::~RemoteResourceEventHandlerQt() {
    // Once every resource has let go, no `onStateChanged` is running or can start, so nothing
    // posts any more; what is still queued goes with the inbox.
    for (IRemoteResource* resource : resources) {
        resource->unregisterEventHandler(this);
    }
    for (IRemoteResource* resource : fileResources) {
        resource->unregisterFileEventHandler(this);
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

void RemoteResourceEventHandlerQt::registerFilesWithin(IRemoteResource* resource,
                                                       FileEventParams const& fileParams) {
    if (resource == nullptr) {
        return;
    }
    fileResources.push_back(resource);
    resource->registerFileEventHandler(this, fileParams);
}

void RemoteResourceEventHandlerQt::onStateChanged(IRemoteResource::State state,
                                                  ResourceDescriptorBundle const* bundle) noexcept {
    // The inbox goes with this object, so whatever it still holds is dropped, never run.
    inbox->post([this, bundle, state] {
        Q_EMIT stateChanged(bundle, state.status, state.error, state.progress);
    });
}

void RemoteResourceEventHandlerQt::onFileEvent(FileEvent const& event) noexcept {
    QtFileEvent copy{event.bundle,     event.descriptor,         event.state, event.bytesReceived,
                     event.bytesTotal, event.outcome != nullptr, {}};
    if (event.outcome != nullptr) {
        copy.outcome = *event.outcome;
    }
    inbox->post([this, copy = std::move(copy)] { Q_EMIT fileChanged(copy); });
}

}  // namespace Tiskel::App
