#pragma once

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {

struct ResourceDescriptorBundle;

// A subscriber to a resource's state changes. Called only from notification tasks: on the
// notification queue's thread, or on the thread that caused the change when the queue runs
// tasks at once. Calls for one resource come one at a time, in the order the notifications were
// decided; what a call may do in turn is listed in ActiveState.h (for the ready-made subscriber,
// in CallbackEventHandler.h).
class RDM_EXPORT IRemoteResourceEventHandler {
  public:
    virtual ~IRemoteResourceEventHandler() = default;
    virtual void onStateChanged(IRemoteResource::State state,
                                ResourceDescriptorBundle const* bundle) = 0;
};

}  // namespace Tiskel::App
