#include <string>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/DownloadRetrier.h"
#include "App/ResourceDownloadManager/ISchedulableResource.h"

namespace Tiskel::App {
namespace {

struct CountingResource : ISchedulableResource {
    void scheduleDownload(SchedulePriority) noexcept override { ++scheduled; }
    void cancelDownload() noexcept override {}
    int scheduled = 0;
};

// Checks until nothing is left (or far past any sane count), passing over requested pauses;
// returns the number of retries made.
int drain(IDownloadRetrier& retrier) {
    int retried = 0;
    for (int checks = 0; checks < 100; ++checks) {
        auto const result = retrier.check();
        if (result == IDownloadRetrier::NothingToRetry) {
            break;
        }
        retried += result == IDownloadRetrier::Retried ? 1 : 0;
    }
    return retried;
}

TEST(DownloadRetrier, BacksOffWithRetriesAndResetsOnAnySuccess) {
    DownloadRetrier retrier;
    CountingResource resource, other;
    EXPECT_EQ(retrier.check(), IDownloadRetrier::NothingToRetry);

    // Each check as its result (R retried, D delayed) and the level after it (N no delay,
    // S short, L long); the check that finds nothing ends each failure's group.
    std::string walk;
    for (int failure = 1; failure <= 12; ++failure) {
        retrier.downloadFinished(&resource, IRemoteResource::InternetConnectionLost);
        walk += ' ';
        IDownloadRetrier::CheckResult result;
        for (int checks = 0; checks < 3 && (result = retrier.check()) != 0; ++checks) {
            walk += "-RD"[result];
            walk += "NSL"[retrier.getState()];
        }
    }
    EXPECT_EQ(walk, " RN RN RS DSRS DSRS DSRS DSRS DSRS DSRS DSRS DSRL DLRL");
    EXPECT_EQ(resource.scheduled, 12);

    // A success of any resource drops the level: the next retry runs at once.
    retrier.downloadFinished(&other, IRemoteResource::NoError);
    EXPECT_EQ(retrier.getState(), IDownloadRetrier::NoDelay);
    retrier.downloadFinished(&resource, IRemoteResource::InternetConnectionLost);
    EXPECT_EQ(retrier.check(), IDownloadRetrier::Retried);
}

TEST(DownloadRetrier, LimitsRetriesPerResourceUntilItSucceeds) {
    struct Case {
        IRemoteResource::DownloadError error;
        int allowed;
    } const cases[] = {{IRemoteResource::GeneralError, 1},
                       {IRemoteResource::Corrupted, 1},
                       {IRemoteResource::DownloadError(99), 1},
                       {IRemoteResource::InternetConnectionLost, 20},
                       {IRemoteResource::Cancelled, 0}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.error);
        DownloadRetrier retrier;
        CountingResource resource;
        for (int pass = 0; pass < 2; ++pass) {
            for (int failure = 0; failure <= c.allowed; ++failure) {
                retrier.downloadFinished(&resource, c.error);
            }
            EXPECT_EQ(drain(retrier), c.allowed);
            retrier.downloadFinished(&resource,
                                     IRemoteResource::NoError);  // starts the count again
        }
        EXPECT_EQ(resource.scheduled, 2 * c.allowed);
    }

    // Failures of every kind share one count: after a lost connection, a general error is past
    // its limit of one.
    DownloadRetrier retrier;
    CountingResource mixed;
    retrier.downloadFinished(&mixed, IRemoteResource::InternetConnectionLost);
    retrier.downloadFinished(&mixed, IRemoteResource::GeneralError);
    EXPECT_EQ(drain(retrier), 1);
}

}  // namespace
}  // namespace Tiskel::App
