// The download pipeline of one resource item: when it downloads, how it turns results into
// states, what it tells the retrier and the tracer, and how it behaves on cancellation and on
// exceptions from its services.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Scheduler/Fixture.h"

namespace Tiskel::Test {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Mock;
using ::testing::Return;
using ::testing::Throw;

constexpr auto kAvailable = IRemoteResource::Available;
constexpr auto kDownloading = IRemoteResource::Downloading;
constexpr auto kWaiting = IRemoteResource::Waiting;

IRemoteResource::State available() {
    return stateOf(kAvailable, IRemoteResource::NoError, 1.0);
}

IRemoteResource::State failedWith(IRemoteResource::DownloadError error) {
    return stateOf(IRemoteResource::Error, error, 0.0);
}

DownloadStep resulting(int result) {
    DownloadStep step;
    step.result = static_cast<IResourceDownloader::Result>(result);
    return step;
}

using UpdatePolicyTest = SchedulerTest;

TEST_F(UpdatePolicyTest, MissingLocalFileIsDownloadedWithoutAskingUnderEveryPolicy) {
    for (auto policy :
         {ResourceDescriptor::Always, ResourceDescriptor::Validate, ResourceDescriptor::IfMissing,
          ResourceDescriptor::IfModified, static_cast<ResourceDescriptor::UpdatePolicy>(9)}) {
        SCOPED_TRACE(policy);
        ResourceDescriptor* file = describe("missing" + std::to_string(policy), policy);
        // Only Validate checks the fresh file; nothing asks about the missing one beforehand.
        EXPECT_CALL(*validator, validate(file)).Times(policy == ResourceDescriptor::Validate);

        EXPECT_EQ(runOnce(file)->getCurrentState(), available());
        EXPECT_EQ(downloader->execCount(file), 1);
        EXPECT_EQ(downloader->lastModifiedRequests(file), 0);
        EXPECT_TRUE(localFileExists(file));
    }
}

TEST_F(UpdatePolicyTest, AlwaysDownloadsOnEveryRunAndIfMissingNeverWhileTheFileExists) {
    ResourceDescriptor* always = describe("always", ResourceDescriptor::Always, true);
    ResourceDescriptor* kept = describe("kept", ResourceDescriptor::IfMissing, true);
    EXPECT_CALL(*validator, validate(_)).Times(0);
    IRemoteResource* resource = scheduler->registerResource(group({always, kept}));

    for (int run = 0; run < 2; ++run) {
        resource->scheduleDownload(ISchedulableResource::Normal);
        downloads->runAll();
        EXPECT_EQ(resource->getCurrentState(), available());
    }

    EXPECT_EQ(downloader->execCount(always), 2);
    EXPECT_EQ(TempDir::read(always->localPath.string()), "payload of files/always");
    EXPECT_EQ(downloader->execCount(kept), 0);
    EXPECT_EQ(TempDir::read(kept->localPath.string()), "local copy of kept");
}

TEST_F(UpdatePolicyTest, IfModifiedDownloadsOnlyWhenTheRemoteTimeIsLater) {
    ResourceDescriptor* same = describe("same", ResourceDescriptor::IfModified, true);
    ResourceDescriptor* later = describe("later", ResourceDescriptor::IfModified, true);
    ResourceDescriptor* earlier = describe("earlier", ResourceDescriptor::IfModified, true);
    downloader->setRemoteTime(same, same->localPath.last_write_time());
    downloader->setRemoteTime(later, later->localPath.last_write_time() + 1);
    downloader->setRemoteTime(earlier, earlier->localPath.last_write_time() - 3600);
    EXPECT_CALL(*validator, validate(_)).Times(0);

    IRemoteResource* resource = scheduler->registerResource(group({same, later, earlier}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();

    EXPECT_EQ(downloader->execCount(same), 0);
    EXPECT_EQ(downloader->execCount(later), 1);
    EXPECT_EQ(downloader->execCount(earlier), 0);
    for (auto* file : {same, later, earlier}) {
        EXPECT_EQ(downloader->lastModifiedRequests(file), 1) << file->name;
    }
    EXPECT_EQ(resource->getCurrentState(), available());
}

TEST_F(UpdatePolicyTest, ValidateAsksBeforeAndChecksTheDownloadAfterwards) {
    auto const unknownAnswer = static_cast<IValidator::Result>(2);
    struct Case {
        std::string name;
        std::vector<IValidator::Result> answers;
        int downloads;
        IRemoteResource::State outcome;
    };
    std::vector<Case> const cases = {
        {"valid", {IValidator::Valid}, 0, available()},
        {"unknownAnswer", {unknownAnswer}, 0, available()},
        {"invalidTwice",
         {IValidator::Invalid, IValidator::Invalid},
         1,
         failedWith(IRemoteResource::Corrupted)},
        {"invalidThenValid", {IValidator::Invalid, IValidator::Valid}, 1, available()},
        {"invalidThenUnknown", {IValidator::Invalid, unknownAnswer}, 1, available()},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        ResourceDescriptor* file = describe(c.name, ResourceDescriptor::Validate, true);
        auto& validation = EXPECT_CALL(*validator, validate(file));
        for (auto answer : c.answers) {
            validation.WillOnce(Return(answer));
        }

        EXPECT_EQ(runOnce(file)->getCurrentState(), c.outcome);
        EXPECT_EQ(downloader->execCount(file), c.downloads);
    }
}

TEST_F(UpdatePolicyTest, UnknownPolicyValidatesBeforeTheDownloadButNotAfter) {
    auto const unknown = static_cast<ResourceDescriptor::UpdatePolicy>(7);
    ResourceDescriptor* rejected = describe("rejected", unknown, true);
    ResourceDescriptor* accepted = describe("accepted", unknown, true);
    EXPECT_CALL(*validator, validate(rejected)).WillOnce(Return(IValidator::Invalid));
    EXPECT_CALL(*validator, validate(accepted)).WillOnce(Return(IValidator::Valid));

    EXPECT_EQ(runOnce(rejected)->getCurrentState(), available());
    EXPECT_EQ(runOnce(accepted)->getCurrentState(), available());
    EXPECT_EQ(downloader->execCount(rejected), 1);
    EXPECT_EQ(downloader->execCount(accepted), 0);
}

using OutcomeTest = SchedulerTest;

TEST_F(OutcomeTest, DownloaderResultsBecomeStatesRetrierCallsAndTraceMessages) {
    struct Case {
        int result;
        IRemoteResource::DownloadError error;
        std::string errorName;
    };
    std::vector<Case> const cases = {
        {0, IRemoteResource::NoError, "NoError"},
        {1, IRemoteResource::GeneralError, "GeneralError"},
        {2, IRemoteResource::InternetConnectionLost, "InternetConnectionLost"},
        {3, IRemoteResource::Cancelled, "Cancelled"},
        // A result no downloader should give counts as a success.
        {7, IRemoteResource::NoError, "NoError"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.result);
        ResourceDescriptor* file =
            describe("result" + std::to_string(c.result), ResourceDescriptor::Always);
        downloader->script(file, {resulting(c.result)});
        EXPECT_CALL(*retrier, downloadFinished(_, c.error));

        IRemoteResource* resource = runOnce(file);

        Mock::VerifyAndClearExpectations(retrier.get());
        EXPECT_EQ(resource->getCurrentState(),
                  c.error == IRemoteResource::NoError ? available() : failedWith(c.error));
        auto const traced = tracer->ofItem(file);
        ASSERT_EQ(traced.size(), 5u);
        EXPECT_EQ(traced[3].event, IEventTracer::DownloadEnd);
        EXPECT_EQ(traced[3].message, file->remotePath + ", err:" + c.errorName);
    }
}

TEST_F(OutcomeTest, RetrierGetsTheItemItCanScheduleAgain) {
    ResourceDescriptor* first = describe("first", ResourceDescriptor::Always);
    ResourceDescriptor* second = describe("second", ResourceDescriptor::Always);
    std::vector<ISchedulableResource*> finished;
    ON_CALL(*retrier, downloadFinished(_, _))
        .WillByDefault([&](ISchedulableResource* item, IRemoteResource::DownloadError) {
            finished.push_back(item);
        });
    IRemoteResource* resource = scheduler->registerResource(group({first, second}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    ASSERT_EQ(finished.size(), 2u);
    EXPECT_NE(finished[0], finished[1]);

    // Scheduling through that pointer reaches that one item only.
    finished[0]->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    EXPECT_EQ(downloader->totalExecs(), 3);
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_EQ(finished[2], finished[0]);
}

TEST_F(OutcomeTest, PostProcessingRunsAfterSuccessAndItsFailureSkipsValidation) {
    ResourceDescriptor* broken = describe("broken", ResourceDescriptor::Validate, true);
    broken->postProcessing = 1;
    ResourceDescriptor* packed = describe("packed", ResourceDescriptor::Validate);
    packed->postProcessing = -3;
    ResourceDescriptor* plain = describe("plain", ResourceDescriptor::Always);
    ResourceDescriptor* failed = describe("failed", ResourceDescriptor::Always);
    failed->postProcessing = 1;
    downloader->script(failed, {resulting(IResourceDownloader::Failed)});

    EXPECT_CALL(*postProcessor, process(broken))
        .WillOnce(Return(static_cast<App::IPostProcessor::Result>(5)));
    // Asked before the download only: the failed post-processing settles the outcome.
    EXPECT_CALL(*validator, validate(broken)).WillOnce(Return(IValidator::Invalid));
    EXPECT_CALL(*postProcessor, process(packed)).WillOnce(Return(App::IPostProcessor::Processed));
    EXPECT_CALL(*validator, validate(packed)).WillOnce(Return(IValidator::Valid));
    EXPECT_CALL(*postProcessor, process(plain)).Times(0);
    EXPECT_CALL(*postProcessor, process(failed)).Times(0);

    EXPECT_EQ(runOnce(broken)->getCurrentState(), failedWith(IRemoteResource::Corrupted));
    EXPECT_EQ(runOnce(packed)->getCurrentState(), available());
    EXPECT_EQ(runOnce(plain)->getCurrentState(), available());
    EXPECT_EQ(runOnce(failed)->getCurrentState(), failedWith(IRemoteResource::GeneralError));
}

using TraceTest = SchedulerTest;

TEST_F(TraceTest, RunsAreBracketedInOrderWithStateSnapshots) {
    ResourceDescriptor* file = describe("traced.bin", ResourceDescriptor::Always);
    ResourceDescriptor* current = describe("current", ResourceDescriptor::IfMissing, true);
    IRemoteResource* resource = scheduler->registerResource(group({file, current}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();

    EXPECT_THAT(
        tracer->eventsOfItem(current),
        ElementsAre(IEventTracer::ExecScheduled, IEventTracer::Exec, IEventTracer::ExecEnd));
    auto const traced = tracer->ofItem(file);
    ASSERT_EQ(traced.size(), 5u);
    EXPECT_THAT(tracer->eventsOfItem(file),
                ElementsAre(IEventTracer::ExecScheduled, IEventTracer::Exec, IEventTracer::Download,
                            IEventTracer::DownloadEnd, IEventTracer::ExecEnd));
    for (std::size_t i : {0u, 1u, 4u}) {
        EXPECT_EQ(traced[i].bundle, nullptr);
        EXPECT_TRUE(traced[i].message.empty());
    }
    // Each node event shows the item's state at the time of the event.
    EXPECT_EQ(traced[0].state, stateOf(kWaiting, IRemoteResource::NoError, 0.0));
    EXPECT_EQ(traced[1].state, stateOf(kWaiting, IRemoteResource::NoError, 0.0));
    EXPECT_EQ(traced[4].state, available());
    for (std::size_t i : {2u, 3u}) {
        EXPECT_EQ(traced[i].descriptor, nullptr);
        EXPECT_EQ(traced[i].bundle, nullptr);
        EXPECT_FALSE(traced[i].state.has_value());
    }
    EXPECT_EQ(traced[2].message, "files/traced.bin");
    EXPECT_EQ(traced[3].message, "files/traced.bin, err:NoError");
}

using ShortcutTest = SchedulerTest;

TEST_F(ShortcutTest, TrustedLocalCopyOfAnIfMissingFileQueuesNoRun) {
    ResourceDescriptor* file = describe("trusted", ResourceDescriptor::IfMissing, true);
    file->localCopyPolicy = 1;
    IRemoteResource* resource = scheduler->registerResource(group({file}));

    resource->scheduleDownload(ISchedulableResource::High);

    EXPECT_EQ(resource->getCurrentState(), available());
    EXPECT_EQ(downloads->size(), 0u);
    EXPECT_EQ(tracer->count(IEventTracer::ExecScheduled), 0);

    // The shortcut left the scheduling memory alone: once the file is gone, even the lowest
    // automatic request still finds the item never scheduled.
    std::filesystem::remove(file->localPath.string());
    scheduler->registerAutoSchedule(group({file}), ISchedulableResource::Low);
    EXPECT_EQ(downloads->size(), 1u);
}

TEST_F(ShortcutTest, OtherPoliciesAreAvailableAtOnceAndStillCheckedByTheFirstRun) {
    ResourceDescriptor* checked = describe("checked", ResourceDescriptor::Validate, true);
    checked->localCopyPolicy = 1;
    ResourceDescriptor* absent = describe("absent", ResourceDescriptor::IfMissing);
    absent->localCopyPolicy = 1;
    ResourceDescriptor* untrusted = describe("untrusted", ResourceDescriptor::IfMissing, true);
    untrusted->localCopyPolicy = 2;
    EXPECT_CALL(*validator, validate(checked))
        .WillOnce(Return(IValidator::Invalid))
        .WillOnce(Return(IValidator::Valid));
    IRemoteResource* checkedResource = scheduler->registerResource(group({checked}));
    IRemoteResource* othersResource = scheduler->registerResource(group({absent, untrusted}));

    checkedResource->scheduleDownload(ISchedulableResource::Normal);
    othersResource->scheduleDownload(ISchedulableResource::Normal);

    EXPECT_EQ(checkedResource->getCurrentState(), available());
    EXPECT_EQ(othersResource->getCurrentState().status, kWaiting);
    EXPECT_EQ(downloads->size(), 3u);
    // The first run looks at the file although the item is already Available.
    downloads->runAll();
    EXPECT_EQ(downloader->execCount(checked), 1);
}

using RepeatedRunTest = SchedulerTest;

TEST_F(RepeatedRunTest, LaterRunsTrustAvailableWithoutTouchingTheFile) {
    ResourceDescriptor* validated = describe("validated", ResourceDescriptor::Validate, true);
    ResourceDescriptor* modified = describe("modified", ResourceDescriptor::IfModified, true);
    EXPECT_CALL(*validator, validate(validated)).Times(1);
    IRemoteResource* resource = scheduler->registerResource(group({validated, modified}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    ASSERT_EQ(resource->getCurrentState(), available());

    // Gone files would be downloaded if the second run looked at them.
    std::filesystem::remove(validated->localPath.string());
    std::filesystem::remove(modified->localPath.string());
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();

    EXPECT_EQ(resource->getCurrentState(), available());
    EXPECT_EQ(downloader->totalExecs(), 0);
    EXPECT_EQ(downloader->lastModifiedRequests(modified), 1);
    EXPECT_EQ(tracer->count(IEventTracer::ExecEnd), 4);
}

TEST_F(RepeatedRunTest, LaterRunsLookAgainAfterAFailure) {
    ResourceDescriptor* file = describe("retry", ResourceDescriptor::IfMissing);
    downloader->script(file, {resulting(IResourceDownloader::Failed)});
    IRemoteResource* resource = runOnce(file);
    ASSERT_EQ(resource->getCurrentState(), failedWith(IRemoteResource::GeneralError));

    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    EXPECT_EQ(downloader->execCount(file), 2);
    EXPECT_EQ(resource->getCurrentState(), available());
}

using CancelTest = SchedulerTest;

TEST_F(CancelTest, CancellationStaysInForceForEveryLaterDownload) {
    ResourceDescriptor* file = describe("cancelled", ResourceDescriptor::Always);
    ResourceDescriptor* current = describe("current", ResourceDescriptor::IfMissing, true);
    IRemoteResource* resource = scheduler->registerResource(group({file, current}));
    EXPECT_CALL(*retrier, downloadFinished(_, IRemoteResource::Cancelled)).Times(2);
    EXPECT_CALL(*retrier, downloadFinished(_, IRemoteResource::NoError)).Times(0);

    resource->cancelDownload();
    // Cancelling by itself changes nothing visible.
    EXPECT_EQ(resource->getCurrentState().status, kWaiting);
    EXPECT_TRUE(tracer->all().empty());

    for (int round = 0; round < 2; ++round) {
        resource->scheduleDownload(ISchedulableResource::Normal);
        downloads->runAll();
    }

    EXPECT_EQ(downloader->execCount(file), 2);
    EXPECT_FALSE(localFileExists(file));
    // The item that needs no download still ends Available.
    EXPECT_EQ(scheduler->registerResource(group({current}))->getCurrentState(), available());
    EXPECT_EQ(resource->getCurrentState(),
              stateOf(IRemoteResource::Error, IRemoteResource::Cancelled, 0.5));
}

TEST_F(CancelTest, CancellingStopsADownloadInProgress) {
    ResourceDescriptor* file = describe("long", ResourceDescriptor::Always);
    IRemoteResource* resource = scheduler->registerResource(group({file}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloader->hold();
    EXPECT_CALL(*retrier, downloadFinished(_, IRemoteResource::Cancelled));

    std::thread worker([&] { downloads->runAll(); });
    ASSERT_TRUE(downloader->waitForHeld(1));
    EXPECT_EQ(resource->getCurrentState().status, kDownloading);
    resource->cancelDownload();
    worker.join();

    EXPECT_EQ(resource->getCurrentState(), failedWith(IRemoteResource::Cancelled));
    EXPECT_FALSE(localFileExists(file));
}

TEST_F(SchedulerTest, DownloaderProgressReachesSubscribers) {
    ResourceDescriptor* file = describe("progress", ResourceDescriptor::Always);
    DownloadStep step;
    step.progress = {{25, 100}, {50, 100}};
    downloader->script(file, {step});
    IRemoteResource* resource = scheduler->registerResource(group({file}));
    RecordingHandler handler;
    resource->registerEventHandler(&handler, paramsFor({kDownloading}, 0.1));

    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();

    std::vector<double> progress;
    for (auto const& state : handler.states()) {
        EXPECT_EQ(state.status, kDownloading);
        progress.push_back(state.progress);
    }
    EXPECT_THAT(progress, ElementsAre(0.0, 0.25, 0.5));
    resource->unregisterEventHandler(&handler);
}

using ServiceExceptionTest = SchedulerTest;

TEST_F(ServiceExceptionTest, DownloaderExceptionLeavesTheItemDownloadingAndReachesTheQueue) {
    ResourceDescriptor* file = describe("throws", ResourceDescriptor::Always);
    DownloadStep boom;
    boom.throws = true;
    downloader->script(file, {boom});
    IRemoteResource* resource = scheduler->registerResource(group({file}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    EXPECT_CALL(*retrier, downloadFinished(_, _)).Times(0);

    EXPECT_THROW(downloads->execOne(), std::runtime_error);

    EXPECT_EQ(resource->getCurrentState(), stateOf(kDownloading, IRemoteResource::NoError, 0.0));
    EXPECT_THAT(
        tracer->eventsOfItem(file),
        ElementsAre(IEventTracer::ExecScheduled, IEventTracer::Exec, IEventTracer::Download));

    // The item is not left blocked: the next run goes through.
    Mock::VerifyAndClearExpectations(retrier.get());
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    EXPECT_EQ(resource->getCurrentState(), available());
}

TEST_F(ServiceExceptionTest, ValidatorExceptionLeavesTheStateUntouched) {
    ResourceDescriptor* file = describe("validated", ResourceDescriptor::Validate, true);
    EXPECT_CALL(*validator, validate(file)).WillOnce(Throw(std::runtime_error("validator")));
    IRemoteResource* resource = scheduler->registerResource(group({file}));
    resource->scheduleDownload(ISchedulableResource::Normal);

    EXPECT_THROW(downloads->execOne(), std::runtime_error);
    EXPECT_EQ(resource->getCurrentState().status, kWaiting);
    EXPECT_THAT(tracer->eventsOfItem(file),
                ElementsAre(IEventTracer::ExecScheduled, IEventTracer::Exec));
    EXPECT_EQ(downloader->execCount(file), 0);
}

}  // namespace
}  // namespace Tiskel::Test
