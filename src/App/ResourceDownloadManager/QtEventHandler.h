#pragma once

// A subscriber for Qt hosts: turns a resource's notifications into a Qt signal. Kept in a header
// of its own so that only hosts that want it include <QObject>.
//
// Threads: the object is bound to the thread it lives in (QObject::thread()), which must run a Qt
// event loop. Construct, register, move and destroy it there. `stateChanged` is always emitted on
// that thread, never on the thread that delivered the notification.

#include <list>
#include <memory>

#include <QMetaType>
#include <QObject>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

namespace Tiskel::App {

class QtInbox;

// Re-emits each notification of the resources it is registered within as the Qt signal
// `stateChanged`.
//
// A notification reaches `onStateChanged` on whatever thread delivers it (a download thread, the
// thread that registered, or the Qt thread), possibly with a lock of the resource held. The
// adapter only queues it there and wakes its own thread; the signal is emitted later, from the
// event loop of the object's thread, with no lock of the library held. Slots may therefore call
// back into the library: read states, schedule, cancel, register further bundles.
//
// Signals of one resource arrive in the order in which the resource delivered the notifications.
// The destructor unregisters from every resource (waiting for a delivery in progress to finish)
// and drops what is still queued: no signal is emitted once destruction has begun. A slot that
// wants to destroy the adapter uses deleteLater().
//
// Every registered resource must outlive the adapter.
class RDM_EXPORT RemoteResourceEventHandlerQt : public QObject, public IRemoteResourceEventHandler {
    Q_OBJECT

  public:
    // Parameters that report every status and progress in steps of at least 1 %, so that a
    // progress display needs no set-up. Registers the signal's argument types with Qt's
    // meta-type system, so that `stateChanged` may also be connected across threads. Throws
    // std::system_error when the operating system refuses the wake-up channel (a pipe).
    explicit RemoteResourceEventHandlerQt(QObject* parent = nullptr);
    // Unregisters from every resource passed to `registerWithin`.
    ~RemoteResourceEventHandlerQt() override;
    RemoteResourceEventHandlerQt(RemoteResourceEventHandlerQt const&) = delete;
    RemoteResourceEventHandlerQt& operator=(RemoteResourceEventHandlerQt const&) = delete;

    // Parameters for later registrations; a registration made already keeps its own copy.
    void setNotificationParams(IRemoteResource::NotificationParams params);
    IRemoteResource::NotificationParams const& notificationParams() const { return params; }

    // Subscribes to `resource` (not owned; null is ignored). The resource weighs its current state
    // at once, so a first `stateChanged` follows from the event loop without any further change.
    void registerWithin(IRemoteResource* resource);

    // Queues the notification for this object's thread and returns; never waits for the event loop.
    void onStateChanged(IRemoteResource::State state,
                        ResourceDescriptorBundle const* bundle) noexcept override;

  Q_SIGNALS:
    // One notification of the resource registered for `bundle`: its status, its error and the
    // progress fraction (0.0 to 1.0). Emitted on the object's thread.
    void stateChanged(Tiskel::App::ResourceDescriptorBundle const* bundle,
                      Tiskel::App::IRemoteResource::DownloadStatus status,
                      Tiskel::App::IRemoteResource::DownloadError error, double progress);

  private:
    // Used on the object's thread only.
    IRemoteResource::NotificationParams params;
    std::list<IRemoteResource*> resources;

    // Carries the notifications from the delivering threads to the object's thread.
    std::unique_ptr<QtInbox> const inbox;
};

}  // namespace Tiskel::App

Q_DECLARE_METATYPE(Tiskel::App::ResourceDescriptorBundle const*)
Q_DECLARE_METATYPE(Tiskel::App::IRemoteResource::DownloadStatus)
Q_DECLARE_METATYPE(Tiskel::App::IRemoteResource::DownloadError)
