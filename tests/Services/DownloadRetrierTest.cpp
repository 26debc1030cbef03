#include <chrono>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/DownloadRetrier.h"
#include "App/ResourceDownloadManager/ISchedulableResource.h"

namespace Tiskel::App {
namespace {

using R = IRemoteResource;

struct CountingResource : ISchedulableResource {
    void scheduleDownload(SchedulePriority) noexcept override { ++scheduled; }
    void cancelDownload() noexcept override {}
    int scheduled = 0;
};

TEST(DownloadRetrier, BacksOffWithRetriesAndResetsOnAnySuccess) {
    DownloadRetrier retrier;
    CountingResource resource, other;

    // Each check as its result (R retried, D delayed) and the level after it (N no delay,
    // S short, L long); the check that finds nothing ends each failure's group.
    std::string walk;
    for (int failure = 1; failure <= 12; ++failure) {
        retrier.downloadFinished(&resource, R::InternetConnectionLost);
        walk += ' ';
        IDownloadRetrier::CheckResult result;
        for (int checks = 0; checks < 3 && (result = retrier.check()) != 0; ++checks) {
            walk += {"-RD"[result], "NSL"[retrier.getState()]};
        }
    }
    EXPECT_EQ(walk, " RN RN RS DSRS DSRS DSRS DSRS DSRS DSRS DSRS DSRL DLRL");

    // A success of any resource starts the back-off again: the next retries run at once.
    retrier.downloadFinished(&other, R::NoError);
    retrier.downloadFinished(&resource, R::InternetConnectionLost);
    EXPECT_EQ(retrier.check(), IDownloadRetrier::Retried);
    EXPECT_EQ(retrier.getState(), IDownloadRetrier::NoDelay);
}

// Failures of one resource since its last success share one count whatever their kind; each
// kind allows retries up to its own limit.
TEST(DownloadRetrier, LimitsRetriesPerResourceUntilItSucceeds) {
    struct Case {
        std::vector<R::DownloadError> failures;
        int retried;
    } const cases[] = {{{R::GeneralError, R::GeneralError}, 1},
                       {{R::Corrupted, R::Corrupted}, 1},
                       {std::vector<R::DownloadError>(21, R::InternetConnectionLost), 20},
                       {{R::Cancelled}, 0},
                       {{R::InternetConnectionLost, R::GeneralError}, 1}};
    for (auto const& c : cases) {
        DownloadRetrier retrier;
        CountingResource resource;
        for (int pass = 1; pass <= 2; ++pass) {
            for (auto const error : c.failures) {
                retrier.downloadFinished(&resource, error);
            }
            // Checks until nothing is left, passing over requested pauses.
            for (int checks = 0; checks < 100 && retrier.check() != 0; ++checks) {
            }
            EXPECT_EQ(resource.scheduled, pass * c.retried) << "case " << &c - cases;
            retrier.downloadFinished(&resource, R::NoError);  // starts the count again
        }
    }
}

// A server's Retry-After holds every retry for its clamped length, and only when asked to; the
// back-off's own pauses vary within a fifth either way when jitter is on.
TEST(DownloadRetrier, HoldsRetriesForTheServersPauseAndJittersItsOwn) {
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    struct Case {
        bool honour;
        int64_t asked;
        seconds expected;  // the pause the caller is told about
    } const cases[] = {{true, 30, seconds(30)},
                       {true, 0, seconds(1)},
                       {true, 999999, seconds(3600)},
                       {false, 30, seconds(0)}};
    for (auto const& c : cases) {
        DownloadRetrier::Options options;
        options.honourRetryAfter = c.honour;
        DownloadRetrier retrier(options);
        CountingResource resource;
        retrier.downloadFinished(&resource, R::InternetConnectionLost);
        retrier.serverAskedToWait(c.asked);
        milliseconds const pause = retrier.pauseBeforeRetry();
        EXPECT_LE(pause, c.expected) << c.asked;
        EXPECT_GT(pause, c.expected - seconds(1)) << c.asked;
        // Held: every check answers Delayed and retries nothing.
        EXPECT_EQ(retrier.check(),
                  c.honour ? IDownloadRetrier::Delayed : IDownloadRetrier::Retried);
        EXPECT_EQ(resource.scheduled, c.honour ? 0 : 1);
    }

    for (bool const jitter : {false, true}) {
        DownloadRetrier::Options options;
        options.jitter = jitter;
        DownloadRetrier retrier(options);
        CountingResource resource;
        for (int failure = 0; failure < 3; ++failure) {  // up to the short pauses
            retrier.downloadFinished(&resource, R::InternetConnectionLost);
            retrier.check();
        }
        std::set<int64_t> pauses;
        for (int draw = 0; draw < 20; ++draw) {
            milliseconds const pause = retrier.pauseBeforeRetry();
            EXPECT_GE(pause, milliseconds(4000));
            EXPECT_LE(pause, milliseconds(6000));
            pauses.insert(pause.count());
        }
        EXPECT_EQ(pauses.size() > 1, jitter);
    }
}

}  // namespace
}  // namespace Tiskel::App
