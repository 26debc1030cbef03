#include "App/ResourceDownloadManager/CallbackEventHandler.h"

#include <exception>
#include <utility>

#include <glog/logging.h>

namespace Tiskel::App {

namespace {

constexpr char kUnit[] = "App/ResourceDownloadManager/CallbackEventHandler";

}  // namespace

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
    // process; so does a host whose function throws, since nothing between here and the
    // notification queue could handle its exception.
    if (!callback) {
        return;
    }
    try {
        callback(state, bundle);
    } catch (std::exception const& error) {
        google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
            << "The host's notification callback threw: " << error.what() << "; the notification ("
            << state.toDebugString() << ") is dropped";
    } catch (...) {
        google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
            << "The host's notification callback threw an exception that is not a "
               "std::exception; the notification ("
            << state.toDebugString() << ") is dropped";
    }
}

}  // namespace Tiskel::App
