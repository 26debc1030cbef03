#include "App/ResourceDownloadManager/DownloadRetrier.h"

#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

#include "App/ResourceDownloadManager/ISchedulableResource.h"

namespace Tiskel::App {

namespace {

// Retries after the last success at which the back-off level first rises.
constexpr uint64_t kRetriesBeforeShortDelay = 3;
constexpr uint64_t kRetriesBeforeLongDelay = 11;

// Failures of one resource since its last success that are still worth a retry.
uint64_t failureLimitFor(IRemoteResource::DownloadError error) noexcept {
    return error == IRemoteResource::InternetConnectionLost ? 20 : 1;
}

}  // namespace

struct DownloadRetrier::Impl {
    struct FailInfo {
        IRemoteResource::DownloadError lastError = IRemoteResource::NoError;
        uint64_t failCount = 0;
    };

    // Guarded by mutex.
    std::list<ISchedulableResource*> retryQueue;  // oldest first; may hold duplicates
    uint64_t retryCount = 0;                      // since the last success of any resource
    bool delayServed = false;                     // the pause before the next retry was announced
    State state = NoDelay;
    std::unordered_map<ISchedulableResource*, FailInfo> failInfos;  // never shrinks

    std::mutex mutex;

    // The body of `check`. REQUIRES: mutex is held.
    CheckResult retrySomething() noexcept;
};

IDownloadRetrier::CheckResult DownloadRetrier::Impl::retrySomething() noexcept {
    while (!retryQueue.empty()) {
        ISchedulableResource* const resource = retryQueue.front();
        retryQueue.pop_front();
        // A resource is queued only after it reported, so its entry exists.
        if (failInfos[resource].lastError == IRemoteResource::NoError) {
            continue;  // it succeeded after it was queued
        }
        if (!delayServed && state != NoDelay) {
            delayServed = true;
            retryQueue.push_front(resource);
            return Delayed;
        }
        delayServed = false;
        ++retryCount;
        if (retryCount >= kRetriesBeforeShortDelay) {
            if (state == NoDelay) {
                state = ShortDelay;
            } else if (retryCount >= kRetriesBeforeLongDelay) {
                state = LongDelay;
            }
        }
        resource->scheduleDownload(ISchedulableResource::Normal);
        return Retried;
    }
    return NothingToRetry;
}

DownloadRetrier::DownloadRetrier() : impl(std::make_unique<Impl>()) {}

DownloadRetrier::~DownloadRetrier() = default;

void DownloadRetrier::downloadFinished(ISchedulableResource* resource,
                                       IRemoteResource::DownloadError error) noexcept {
    std::lock_guard<std::mutex> lock(impl->mutex);
    Impl::FailInfo& info = impl->failInfos[resource];
    info.lastError = error;
    switch (error) {
        case IRemoteResource::NoError:
            impl->retryCount = 0;
            impl->state = NoDelay;
            info.failCount = 0;
            return;
        case IRemoteResource::Cancelled:
            return;
        default:
            ++info.failCount;
            if (info.failCount <= failureLimitFor(error)) {
                impl->retryQueue.push_back(resource);
            }
            return;
    }
}

IDownloadRetrier::CheckResult DownloadRetrier::check() noexcept {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->retrySomething();
}

IDownloadRetrier::State DownloadRetrier::getState() const noexcept {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->state;
}

void DownloadRetrierStub::downloadFinished(ISchedulableResource* /*resource*/,
                                           IRemoteResource::DownloadError /*error*/) noexcept {}

IDownloadRetrier::CheckResult DownloadRetrierStub::check() noexcept {
    return NothingToRetry;
}

IDownloadRetrier::State DownloadRetrierStub::getState() const noexcept {
    return NoDelay;
}

}  // namespace Tiskel::App
