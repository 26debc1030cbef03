#pragma once

#include <functional>
#include <list>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"

namespace Tiskel::App {

struct ResourceDescriptorBundle;

// A ready-made subscriber for the host: forwards every state notification to a function, and
// unregisters itself from every resource it registered within when it is destroyed.
//
// Expected use: construct, `setCallback`, `setNotificationParams`, then `registerWithin` once per
// resource to follow. Deliveries arrive on the resources' notification threads, one at a time
// per resource. The object has no lock of its own: the set-up calls must not run while a
// delivery to this handler may be running. Every registered resource must outlive the handler.
//
// Inside the callback the host may:
// - read the state of any resource (the notifying one included), schedule and cancel any
//   resource, register bundles with a scheduler, and register or unregister handlers within any
//   resource, this one included; a notification caused on this thread by such a call arrives
//   after the callback has returned.
// - abort the manager: everything stops, but the call returns without waiting for the
//   event-loop thread (see ResourceDownloadManager::abort).
// - throw: the exception is logged at ERROR and the notification counts as delivered.
// It must not:
// - destroy this handler, the manager or a scheduler (anything the callback is running in); a
//   manager destroyed here logs an ERROR and keeps its internals (see its destructor);
// - wait for a resource (waitUntilSettled throws std::logic_error here) or join the event-loop
//   thread (throws std::logic_error);
// - unregister from another resource whose callback may at the same time be unregistering from
//   the notifying one: each would wait for the other to finish.
//
// A handler destroyed while a notification for it is still queued (for instance on the Qt
// queue, waiting for the event loop) receives nothing: its destruction unsubscribes it, and a
// queued notification of a removed subscriber is dropped when it runs.
class RDM_EXPORT RemoteResourceEventHandlerCallback : public IRemoteResourceEventHandler {
  public:
    using Callback =
        std::function<void(IRemoteResource::State state, ResourceDescriptorBundle const* bundle)>;

    // No callback, parameters that select nothing (no statuses, no progress), no registration.
    RemoteResourceEventHandlerCallback();
    // Unregisters from every resource passed to `registerWithin`, in call order; waits for a
    // delivery in progress on each of them to finish.
    ~RemoteResourceEventHandlerCallback() override;
    RemoteResourceEventHandlerCallback(RemoteResourceEventHandlerCallback const&) = delete;
    RemoteResourceEventHandlerCallback& operator=(RemoteResourceEventHandlerCallback const&) =
        delete;

    // Replaces the callback. Deliveries pass the state and the notifying resource's bundle.
    void setCallback(Callback callback);
    // Replaces the callback with one that passes the state alone, for a host that does not need
    // to know which bundle changed.
    void setCallback(std::function<void(IRemoteResource::State state)> callback);
    // Parameters for later registrations; a registration made already keeps its own copy.
    void setNotificationParams(IRemoteResource::NotificationParams params);
    // Subscribes to `resource` (not owned) with the current parameters. The resource checks the
    // new subscription at once, so a first delivery may arrive before this returns.
    void registerWithin(IRemoteResource* resource);

    // Calls the callback with both arguments; does nothing when no callable has been set. An
    // exception from the callback is caught and logged at ERROR.
    void onStateChanged(IRemoteResource::State state,
                        ResourceDescriptorBundle const* bundle) noexcept override;

  private:
    Callback callback;
    IRemoteResource::NotificationParams params;
    std::list<IRemoteResource*> resources;
};

}  // namespace Tiskel::App
