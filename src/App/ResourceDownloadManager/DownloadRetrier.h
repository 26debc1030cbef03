#pragma once

#include <memory>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IDownloadRetrier.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::App {

class ISchedulableResource;

// Retries failed downloads with a per-resource limit and one global back-off.
//
// Each resource may have its failures since its last success retried up to a limit: 20 when the
// connection was lost (the network usually comes back), 1 for any other error (a second try
// rarely helps a broken file). Cancelled attempts are neither counted nor retried. The back-off
// grows with the number of retries since the last success of any resource: the first three run
// back to back, the next eight each ask for a short pause, every later one for a long pause.
// The caller owns the pause lengths and waits between a `Delayed` answer and the next `check`.
//
// Thread-safe: one mutex serialises every operation. `check` calls `scheduleDownload` on the
// retried resource with that mutex held, so the lock order is retrier first, then resource.
// Resources are held by plain pointer and must outlive every later `check`.
class RDM_EXPORT DownloadRetrier final : public IDownloadRetrier {
  public:
    // Departures from the plain back-off, each off by default.
    struct Options {
        // A server's Retry-After (clamped to 1 s ... 1 h) holds every retry until it has passed.
        bool honourRetryAfter = false;
        // Each pause is drawn from 80 % to 120 % of its length, so that many clients that
        // failed together do not come back in the same second.
        bool jitter = false;
    };

    DownloadRetrier();
    explicit DownloadRetrier(Options const& options);
    ~DownloadRetrier() override;
    DownloadRetrier(DownloadRetrier const&) = delete;
    DownloadRetrier& operator=(DownloadRetrier const&) = delete;

    // Records the outcome of one attempt of `resource`; queues it for a retry when the error is
    // within its limit. NoError resets the resource's count and the global back-off.
    void downloadFinished(ISchedulableResource* resource,
                          IRemoteResource::DownloadError error) noexcept override;
    // Retries the oldest queued resource that has not succeeded since it was queued, unless a
    // pause is due first: then answers `Delayed` and retries it on the next call.
    CheckResult check() noexcept override;
    State getState() const noexcept override;
    // With `honourRetryAfter`: no retry before `seconds` (1 s ... 1 h) from now.
    void serverAskedToWait(int64_t seconds) noexcept override;
    // The held time while a server's hold lasts, else the back-off's pause, with jitter when
    // asked for.
    std::chrono::milliseconds pauseBeforeRetry() const noexcept override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// Never retries anything; for a worker whose failures are left to the host.
class RDM_EXPORT DownloadRetrierStub final : public IDownloadRetrier {
  public:
    void downloadFinished(ISchedulableResource* resource,
                          IRemoteResource::DownloadError error) noexcept override;
    // Always NothingToRetry.
    CheckResult check() noexcept override;
    // Always NoDelay.
    State getState() const noexcept override;
};

}  // namespace Tiskel::App
