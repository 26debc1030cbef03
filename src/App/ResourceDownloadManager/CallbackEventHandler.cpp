#include "App/ResourceDownloadManager/CallbackEventHandler.h"

#include <utility>

namespace Tiskel::App {

RemoteResourceEventHandlerCallback::RemoteResourceEventHandlerCallback() = default;

RemoteResourceEventHandlerCallback::~RemoteResourceEventHandlerCallback() {
    for (IRemoteResource* resource : resources) {
        resource->unregisterEventHandler(this);
    }
    resources.clear();
}

void RemoteResourceEventHandlerCallback::setCallback(Callback newCallback) {
    // The old callback goes first, so whatever it holds is released before the new one is kept.
    callback = nullptr;
    callback = std::move(newCallback);
}

void RemoteResourceEventHandlerCallback::setCallback(
    std::function<void(IRemoteResource::State state)> stateOnly) {
    // An empty function is wrapped all the same; the wrapper then delivers nothing.
    setCallback([stateOnly = std::move(stateOnly)](IRemoteResource::State state,
                                                   ResourceDescriptorBundle const*) {
        if (stateOnly) {
            stateOnly(state);
        }
    });
}

void RemoteResourceEventHandlerCallback::setNotificationParams(
    IRemoteResource::NotificationParams newParams) {
    params = std::move(newParams);
}

void RemoteResourceEventHandlerCallback::registerWithin(IRemoteResource* resource) {
    resources.push_back(resource);
    resource->registerEventHandler(this, params);
}

void RemoteResourceEventHandlerCallback::onStateChanged(
    IRemoteResource::State state, ResourceDescriptorBundle const* bundle) noexcept {
    // A host that registered before setting a callable loses the delivery rather than the
    // process.
    if (callback) {
        callback(state, bundle);
    }
}

}  // namespace Tiskel::App
