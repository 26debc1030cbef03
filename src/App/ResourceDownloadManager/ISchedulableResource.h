#pragma once

#include <cstdint>

#include "App/ResourceDownloadManager/Export.h"

namespace Tiskel::App {

// Something that can be brought up to date on the download queue. Thread-safe.
class RDM_EXPORT ISchedulableResource {
  public:
    enum SchedulePriority : int32_t {
        Low = 0,
        Normal = 1,
        High = 2,
    };

    virtual ~ISchedulableResource() = default;

    // Asks for the resource to be brought up to date. Returns at once; the work runs on the
    // download queue.
    virtual void scheduleDownload(SchedulePriority priority) noexcept = 0;
    // Asks for the running and all later downloads of the resource to stop.
    virtual void cancelDownload() noexcept = 0;
};

}  // namespace Tiskel::App
