#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/DownloadRetrier.h"
#include "App/ResourceDownloadManager/ISchedulableResource.h"

namespace Tiskel::App {
namespace {

using Error = IRemoteResource::DownloadError;

// Counts the retries it receives. Safe to call from any thread.
class CountingResource : public ISchedulableResource {
  public:
    void scheduleDownload(SchedulePriority priority) noexcept override {
        lastPriority = priority;
        ++scheduled;
    }
    void cancelDownload() noexcept override {}

    std::atomic<int> scheduled{0};
    std::atomic<int> lastPriority{-1};
};

// Calls `check` until nothing is left, passing over every requested pause; returns the number
// of retries made.
int drain(IDownloadRetrier& retrier) {
    int retried = 0;
    for (;;) {
        auto const result = retrier.check();
        if (result == IDownloadRetrier::NothingToRetry) {
            return retried;
        }
        if (result == IDownloadRetrier::Retried) {
            ++retried;
        }
    }
}

TEST(DownloadRetrierBackOff, GrowsWithRetriesAndResetsOnAnySuccess) {
    DownloadRetrier retrier;
    CountingResource resource;
    CountingResource other;
    EXPECT_EQ(retrier.check(), IDownloadRetrier::NothingToRetry);
    EXPECT_EQ(retrier.getState(), IDownloadRetrier::NoDelay);

    for (int retry = 1; retry <= 20; ++retry) {
        SCOPED_TRACE(retry);
        retrier.downloadFinished(&resource, IRemoteResource::InternetConnectionLost);
        if (retry > 3) {
            // A pause is announced once, without retrying, before every retry past the third.
            ASSERT_EQ(retrier.check(), IDownloadRetrier::Delayed);
            EXPECT_EQ(retrier.getState(),
                      retry <= 11 ? IDownloadRetrier::ShortDelay : IDownloadRetrier::LongDelay);
            EXPECT_EQ(resource.scheduled, retry - 1);
        }
        ASSERT_EQ(retrier.check(), IDownloadRetrier::Retried);
        EXPECT_EQ(resource.scheduled, retry);
        EXPECT_EQ(resource.lastPriority, ISchedulableResource::Normal);
        EXPECT_EQ(retrier.getState(), retry < 3    ? IDownloadRetrier::NoDelay
                                      : retry < 11 ? IDownloadRetrier::ShortDelay
                                                   : IDownloadRetrier::LongDelay);
        // An idle check neither lowers the level nor uses up the pause owed before the next
        // retry.
        EXPECT_EQ(retrier.check(), IDownloadRetrier::NothingToRetry);
    }

    // A success of another resource resets the global level but not this resource's count.
    retrier.downloadFinished(&other, IRemoteResource::NoError);
    EXPECT_EQ(retrier.getState(), IDownloadRetrier::NoDelay);
    retrier.downloadFinished(&resource, IRemoteResource::InternetConnectionLost);
    EXPECT_EQ(drain(retrier), 0);

    // Its own success resets both: three retries run back to back again.
    retrier.downloadFinished(&resource, IRemoteResource::NoError);
    for (int retry = 1; retry <= 3; ++retry) {
        retrier.downloadFinished(&resource, IRemoteResource::InternetConnectionLost);
        EXPECT_EQ(retrier.check(), IDownloadRetrier::Retried);
    }
    EXPECT_EQ(retrier.getState(), IDownloadRetrier::ShortDelay);
    retrier.downloadFinished(&resource, IRemoteResource::InternetConnectionLost);
    EXPECT_EQ(retrier.check(), IDownloadRetrier::Delayed);
    EXPECT_EQ(retrier.check(), IDownloadRetrier::Retried);
    EXPECT_EQ(resource.scheduled, 24);
}

TEST(DownloadRetrierLimits, OtherErrorsAreRetriedOncePerSuccess) {
    for (Error error : {IRemoteResource::GeneralError, IRemoteResource::Corrupted, Error(99)}) {
        SCOPED_TRACE(error);
        DownloadRetrier retrier;
        CountingResource resource;
        retrier.downloadFinished(&resource, error);
        retrier.downloadFinished(&resource, error);
        EXPECT_EQ(drain(retrier), 1);
        retrier.downloadFinished(&resource, error);
        EXPECT_EQ(drain(retrier), 0);

        retrier.downloadFinished(&resource, IRemoteResource::NoError);
        retrier.downloadFinished(&resource, error);
        retrier.downloadFinished(&resource, error);
        EXPECT_EQ(drain(retrier), 1);
        EXPECT_EQ(resource.scheduled, 2);
    }
}

TEST(DownloadRetrierLimits, LostConnectionIsRetriedTwentyTimes) {
    DownloadRetrier retrier;
    CountingResource resource;
    for (int failure = 0; failure < 21; ++failure) {
        retrier.downloadFinished(&resource, IRemoteResource::InternetConnectionLost);
    }
    EXPECT_EQ(drain(retrier), 20);
    EXPECT_EQ(resource.scheduled, 20);

    // Failures of every kind share one count: after a lost connection, a general error is
    // already past its limit of one.
    CountingResource mixed;
    retrier.downloadFinished(&mixed, IRemoteResource::InternetConnectionLost);
    retrier.downloadFinished(&mixed, IRemoteResource::GeneralError);
    EXPECT_EQ(drain(retrier), 1);
}

TEST(DownloadRetrierLimits, CancelledIsNeitherCountedNorQueued) {
    DownloadRetrier retrier;
    CountingResource resource;
    retrier.downloadFinished(&resource, IRemoteResource::Cancelled);
    retrier.downloadFinished(&resource, IRemoteResource::Cancelled);
    EXPECT_EQ(drain(retrier), 0);
    retrier.downloadFinished(&resource, IRemoteResource::GeneralError);
    // A cancellation after a failure leaves the queued retry in place.
    retrier.downloadFinished(&resource, IRemoteResource::Cancelled);
    EXPECT_EQ(drain(retrier), 1);
}

TEST(DownloadRetrierQueue, ServesOldestFirstAndSkipsResourcesThatSucceeded) {
    DownloadRetrier retrier;
    CountingResource first, second, third;
    retrier.downloadFinished(&first, IRemoteResource::GeneralError);
    retrier.downloadFinished(&second, IRemoteResource::GeneralError);
    retrier.downloadFinished(&third, IRemoteResource::Corrupted);
    retrier.downloadFinished(&first, IRemoteResource::NoError);

    EXPECT_EQ(retrier.check(), IDownloadRetrier::Retried);
    EXPECT_EQ(second.scheduled, 1);
    EXPECT_EQ(third.scheduled, 0);
    EXPECT_EQ(retrier.check(), IDownloadRetrier::Retried);
    EXPECT_EQ(third.scheduled, 1);
    EXPECT_EQ(retrier.check(), IDownloadRetrier::NothingToRetry);
    EXPECT_EQ(first.scheduled, 0);
}

TEST(RetrierStub, NeverRetries) {
    DownloadRetrierStub retrier;
    CountingResource resource;
    for (int failure = 0; failure < 5; ++failure) {
        retrier.downloadFinished(&resource, IRemoteResource::InternetConnectionLost);
    }
    EXPECT_EQ(retrier.check(), IDownloadRetrier::NothingToRetry);
    EXPECT_EQ(retrier.getState(), IDownloadRetrier::NoDelay);
    EXPECT_EQ(resource.scheduled, 0);
}

TEST(DownloadRetrierConcurrency, ReportsFromManyThreadsWhileChecking) {
    constexpr int kThreads = 4;
    constexpr int kResourcesPerThread = 50;
    constexpr int kFailuresPerResource = 3;
    DownloadRetrier retrier;
    std::vector<CountingResource> resources(kThreads * kResourcesPerThread);
    std::vector<CountingResource> succeeding(kThreads);

    std::atomic<bool> reportersDone{false};
    std::atomic<int> retried{0};
    std::thread checker([&] {
        for (;;) {
            bool const finished = reportersDone;
            auto const result = retrier.check();
            if (result == IDownloadRetrier::Retried) {
                ++retried;
            } else if (result == IDownloadRetrier::NothingToRetry) {
                if (finished) {
                    return;
                }
                std::this_thread::yield();
            }
            retrier.getState();
        }
    });

    std::vector<std::thread> reporters;
    for (int t = 0; t < kThreads; ++t) {
        reporters.emplace_back([&, t] {
            for (int failure = 0; failure < kFailuresPerResource; ++failure) {
                for (int i = 0; i < kResourcesPerThread; ++i) {
                    retrier.downloadFinished(&resources[t * kResourcesPerThread + i],
                                             IRemoteResource::InternetConnectionLost);
                }
                // Successes of unrelated resources reset the back-off while retries go on.
                retrier.downloadFinished(&succeeding[t], IRemoteResource::NoError);
            }
        });
    }
    for (auto& reporter : reporters) {
        reporter.join();
    }
    reportersDone = true;
    checker.join();

    EXPECT_EQ(retried, kThreads * kResourcesPerThread * kFailuresPerResource);
    for (auto const& resource : resources) {
        EXPECT_EQ(resource.scheduled, kFailuresPerResource);
    }
    for (auto const& resource : succeeding) {
        EXPECT_EQ(resource.scheduled, 0);
    }
}

}  // namespace
}  // namespace Tiskel::App
