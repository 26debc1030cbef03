#include "App/ResourceDownloadManager/DownloadRetrier.h"

#include <algorithm>
#include <cstdint>
#include <list>
#include <mutex>
#include <random>
#include <unordered_map>

#include "App/ResourceDownloadManager/ISchedulableResource.h"

namespace Tiskel::App {

namespace {

// Retries after the last success at which the back-off level first rises.
constexpr uint64_t kRetriesBeforeShortDelay = 3;
constexpr uint64_t kRetriesBeforeLongDelay = 11;
constexpr std::chrono::seconds kShortPause{5};
constexpr std::chrono::seconds kLongPause{60};
// The range a server's Retry-After is clamped to.
constexpr int64_t kMinServerWaitSeconds = 1;
constexpr int64_t kMaxServerWaitSeconds = 3600;

using Clock = std::chrono::steady_clock;

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

    Options options;
    Clock::time_point heldUntil{};  // no retry before this; the past when no server asked
    mutable std::minstd_rand random{std::random_device{}()};

    mutable std::mutex mutex;

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
        if (options.honourRetryAfter && Clock::now() < heldUntil) {
            retryQueue.push_front(resource);
            return Delayed;
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

std::chrono::milliseconds IDownloadRetrier::pauseBeforeRetry() const noexcept {
    switch (getState()) {
        case ShortDelay:
            return kShortPause;
        case LongDelay:
            return kLongPause;
        default:
            return std::chrono::milliseconds(0);
    }
}

void IDownloadRetrier::serverAskedToWait(int64_t /*seconds*/) noexcept {}

DownloadRetrier::DownloadRetrier() : impl(std::make_unique<Impl>()) {}

DownloadRetrier::DownloadRetrier(Options const& options) : impl(std::make_unique<Impl>()) {
    impl->options = options;
}

void DownloadRetrier::serverAskedToWait(int64_t seconds) noexcept {
    if (!impl->options.honourRetryAfter) {
        return;
    }
    auto const until = Clock::now() + std::chrono::seconds(std::clamp(
                                          seconds, kMinServerWaitSeconds, kMaxServerWaitSeconds));
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->heldUntil = std::max(impl->heldUntil, until);
}

std::chrono::milliseconds DownloadRetrier::pauseBeforeRetry() const noexcept {
    std::lock_guard<std::mutex> lock(impl->mutex);
    auto const now = Clock::now();
    if (impl->options.honourRetryAfter && now < impl->heldUntil) {
        // Rounded up, so the retry after the pause is no longer held.
        return std::chrono::ceil<std::chrono::milliseconds>(impl->heldUntil - now);
    }
    std::chrono::milliseconds pause(0);
    if (impl->state == ShortDelay) {
        pause = kShortPause;
    } else if (impl->state == LongDelay) {
        pause = kLongPause;
    }
    if (impl->options.jitter && pause.count() > 0) {
        std::uniform_real_distribution<double> factor(0.8, 1.2);
        pause = std::chrono::milliseconds(
            static_cast<int64_t>(static_cast<double>(pause.count()) * factor(impl->random)));
    }
    return pause;
}

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
