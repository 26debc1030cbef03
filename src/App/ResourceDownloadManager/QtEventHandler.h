#pragma once

// A subscriber for Qt hosts: turns a resource's notifications into a Qt signal. Kept in a header
// of its own so that only hosts that want it include <QObject>.
//
// Threads: the object is bound to the thread it lives in (QObject::thread()), which must run a Qt
// event loop. Construct, register, move and destroy it there. `stateChanged` and `fileChanged`
// are always emitted on that thread, never on the thread that delivered the notification.

#include <cstdint>
#include <list>
#include <memory>

#include <QMetaType>
#include <QObject>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/FileEvents.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

namespace Tiskel::App {

class QtInbox;

// One file event as a value that outlives the call it came with: what FileEvent points at,
// copied, for the `fileChanged` signal.
struct QtFileEvent {
    ResourceDescriptorBundle const* bundle = nullptr;
    ResourceDescriptor const* descriptor = nullptr;
    IRemoteResource::State state;
    uint64_t bytesReceived = 0;
    uint64_t bytesTotal = 0;
    bool hasOutcome = false;  // a pipeline run of the file ended: `outcome` says how
    FileOutcome outcome;
};

// Re-emits each notification of the resources it is registered within as the Qt signal
// `stateChanged`, and each file event of the resources whose files it follows as `fileChanged`.
//
// A notification reaches `onStateChanged` on whatever thread delivers it (a download thread, the
// thread that registered, or the Qt thread), possibly with a lock of the resource held. The
// adapter only queues it there and wakes its own thread; the signal is emitted later, from the
// event loop of the object's thread, with no lock of the library held. Slots may therefore call
// back into the library: read states, schedule, cancel, register further bundles.
//
// Signals of one resource arrive in the order in which the resource delivered the notifications
// and file events.
// The destructor unregisters from every resource (waiting for a delivery in progress to finish)
// and drops what is still queued: no signal is emitted once destruction has begun. A slot that
// wants to destroy the adapter uses deleteLater().
//
// Every registered resource must outlive the adapter.
class RDM_EXPORT RemoteResourceEventHandlerQt : public QObject,
                                                public IRemoteResourceEventHandler,
                                                public IFileEventHandler {
    Q_OBJECT

  public:
    // Parameters that report every status and progress in steps of at least 1 %, so that a
    // progress display needs no set-up. Registers the signal's argument types with Qt's
    // meta-type system, so that `stateChanged` may also be connected across threads. Throws
    // std::system_error when the operating system refuses the wake-up channel (a pipe).
    explicit RemoteResourceEventHandlerQt(QObject* parent = nullptr);
    // Unregisters from every resource passed to `registerWithin` or `registerFilesWithin`.
    ~RemoteResourceEventHandlerQt() override;
    RemoteResourceEventHandlerQt(RemoteResourceEventHandlerQt const&) = delete;
    RemoteResourceEventHandlerQt& operator=(RemoteResourceEventHandlerQt const&) = delete;

    // Parameters for later registrations; a registration made already keeps its own copy.
    void setNotificationParams(IRemoteResource::NotificationParams params);
    IRemoteResource::NotificationParams const& notificationParams() const { return params; }

    // Subscribes to `resource` (not owned; null is ignored). The resource weighs its current state
    // at once, so a first `stateChanged` follows from the event loop without any further change.
    void registerWithin(IRemoteResource* resource);

    // Follows the files of `resource` (not owned; null is ignored): each of their events, as
    // `params` selects, becomes a `fileChanged` signal.
    void registerFilesWithin(IRemoteResource* resource, FileEventParams const& params = {});

    // Queue the notification or the event for this object's thread and return; never wait for
    // the event loop.
    void onStateChanged(IRemoteResource::State state,
                        ResourceDescriptorBundle const* bundle) noexcept override;
    void onFileEvent(FileEvent const& event) noexcept override;

  Q_SIGNALS:
    // One notification of the resource registered for `bundle`: its status, its error and the
    // progress fraction (0.0 to 1.0). Emitted on the object's thread.
    void stateChanged(Tiskel::App::ResourceDescriptorBundle const* bundle,
                      Tiskel::App::IRemoteResource::DownloadStatus status,
                      Tiskel::App::IRemoteResource::DownloadError error, double progress);
    // One event of a file of a resource whose files the adapter follows. Emitted on the object's
    // thread.
    void fileChanged(Tiskel::App::QtFileEvent const& event);

  private:
    // Used on the object's thread only.
    IRemoteResource::NotificationParams params;
    std::list<IRemoteResource*> resources;
    std::list<IRemoteResource*> fileResources;

    // Carries the notifications from the delivering threads to the object's thread.
    std::unique_ptr<QtInbox> const inbox;
};

}  // namespace Tiskel::App

Q_DECLARE_METATYPE(Tiskel::App::ResourceDescriptorBundle const*)
Q_DECLARE_METATYPE(Tiskel::App::IRemoteResource::DownloadStatus)
Q_DECLARE_METATYPE(Tiskel::App::IRemoteResource::DownloadError)
Q_DECLARE_METATYPE(Tiskel::App::QtFileEvent)
