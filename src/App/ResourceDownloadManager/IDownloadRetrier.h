#pragma once

#include <chrono>
#include <cstdint>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {

class ISchedulableResource;

// Decides which failed downloads are tried again and how long to pause between tries.
// Thread-safe; never throws.
class RDM_EXPORT IDownloadRetrier {
  public:
    enum CheckResult : int32_t {
        NothingToRetry = 0,
        Retried = 1,
        Delayed = 2,  // a pause is due before the next retry
    };

    enum State : int32_t {
        NoDelay = 0,
        ShortDelay = 1,
        LongDelay = 2,
    };

    virtual ~IDownloadRetrier() = default;

    // Told after every download attempt of a resource, with NoError after a success.
    virtual void downloadFinished(ISchedulableResource* resource,
                                  IRemoteResource::DownloadError error) noexcept = 0;
    // Retries at most one resource.
    virtual CheckResult check() noexcept = 0;
    // The current back-off level.
    virtual State getState() const noexcept = 0;
    // A server asked for `seconds` of quiet before the next request (Retry-After). The default
    // ignores it.
    virtual void serverAskedToWait(int64_t seconds) noexcept;
    // How long the caller pauses after `check` answered Delayed, cut short by new work. The
    // default: 5 s at ShortDelay, 60 s at LongDelay, no pause at NoDelay.
    virtual std::chrono::milliseconds pauseBeforeRetry() const noexcept;
};

}  // namespace Tiskel::App
