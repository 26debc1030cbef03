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
    // The inbox goes with this object, so whatever it still holds is dropped, never run.
    inbox->post([this, bundle, state] {
        Q_EMIT stateChanged(bundle, state.status, state.error, state.progress);
    });
}

}  // namespace Tiskel::App
