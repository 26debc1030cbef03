#pragma once

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {

struct ResourceDescriptorBundle;

// A subscriber to a resource's state changes. Called only from notification tasks: on the
// notification queue's thread, or on the thread that caused the change when the queue runs
// tasks at once. The call runs with the resource's state lock held: it must not call back into
// that resource or its items on the same thread.
class RDM_EXPORT IRemoteResourceEventHandler {
  public:
    virtual ~IRemoteResourceEventHandler() = default;
    virtual void onStateChanged(IRemoteResource::State state,
                                ResourceDescriptorBundle const* bundle) = 0;
};

}  // namespace Tiskel::App
