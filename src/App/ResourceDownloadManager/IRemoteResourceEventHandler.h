#pragma once

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {

struct ResourceDescriptorBundle;

// A subscriber to a resource's state changes.
//
// Threads and locks: called only from notification tasks: on the notification queue's thread
// (the Qt application thread with `Params::useQtNotificationQueue`), or, with the default queue
// that runs tasks at once, on the thread that caused the change (a download thread, or the
// thread that registered or scheduled). No state lock is held; the resource's delivery lock is,
// so calls for one resource come one at a time, in the order the notifications were decided, and
// `unregisterEventHandler` waits for a call in progress. The call may use the library (read
// states, schedule, cancel, register, unregister itself); it must not destroy the handler being
// called. ActiveState.h lists the details (CallbackEventHandler.h for the ready-made subscriber).
// An exception escaping `onStateChanged` is caught by the queue that runs the task and logged at
// ERROR; later notifications are delivered as usual.
class RDM_EXPORT IRemoteResourceEventHandler {
  public:
    virtual ~IRemoteResourceEventHandler() = default;
    virtual void onStateChanged(IRemoteResource::State state,
                                ResourceDescriptorBundle const* bundle) = 0;
};

}  // namespace Tiskel::App
