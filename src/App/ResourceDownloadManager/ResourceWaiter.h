#pragma once

// Blocking until a resource has settled, for hosts and tools that have a thread to spare.
//
// Threads: callable from any thread that neither runs the work nor delivers the notifications
// the wait depends on, at once from several threads. It must not be called:
// - on the Qt application thread: blocking it freezes the host's user interface, and when the
//   manager delivers notifications there (`Params::useQtNotificationQueue`) the wait could never
//   end. Detected: throws std::logic_error. Qt hosts react to the signals of
//   RemoteResourceEventHandlerQt instead.
// - on the thread that drives the work with `processCurrentQueue`/`processCurrentQueueQuant`:
//   nothing would run while it waits, so it would always end at the deadline. Start the event
//   loop thread or drive the work on another thread.
// - from inside a notification callback: the callback holds up deliveries of its resource, the
//   wait's own among them. Detected: throws std::logic_error.

#include <chrono>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {

// The outcome of a wait.
struct ResourceWaitResult {
    // True when the resource reached Available or Error; false when the deadline came first.
    bool settled = false;
    // Available or Error when settled; otherwise the last state the wait heard of (the state at
    // the start of the wait, or a later one).
    IRemoteResource::State state;
};

// Blocks until `resource` is Available or Error, or until `timeout` has passed on the steady
// clock. Built on a subscription: the thread sleeps until a notification wakes it. A resource
// already Available or Error counts at once, so a host that re-schedules a settled resource and
// waits sees the earlier outcome; wait right after the first scheduling, or subscribe to follow
// later runs. A zero or negative `timeout` only looks at the current state.
//
// Throws std::invalid_argument for a null resource and std::logic_error when called on the Qt
// application thread or inside a notification callback (see above). The subscription ends before
// the call returns.
RDM_EXPORT ResourceWaitResult waitUntilSettled(IRemoteResource* resource,
                                               std::chrono::milliseconds timeout);

}  // namespace Tiskel::App
