#pragma once

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/ISchedulableResource.h"

namespace Tiskel::App {

struct ResourceDescriptorBundle;

// Turns host bundles into resources. Thread-safe. The same bundle address gives the same
// resource for the scheduler's whole life; the scheduler owns the resources it returns.
class RDM_EXPORT IRemoteResourceScheduler {
  public:
    virtual ~IRemoteResourceScheduler() = default;

    // Registers the bundle and schedules its files with `priority`.
    virtual IRemoteResource* registerAutoSchedule(
        ResourceDescriptorBundle const* bundle,
        ISchedulableResource::SchedulePriority priority) noexcept = 0;
    // Registers the bundle only.
    virtual IRemoteResource* registerResource(ResourceDescriptorBundle const* bundle) noexcept = 0;
};

}  // namespace Tiskel::App
