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

using ::testing::ElementsAre;
using Event = IEventTracer::Event;

constexpr auto kAvailable = IRemoteResource::Available;
constexpr auto kError = IRemoteResource::Error;
constexpr auto kDownloading = IRemoteResource::Downloading;
constexpr auto kWaiting = IRemoteResource::Waiting;

IRemoteResource::State available() {
    return stateOf(kAvailable, IRemoteResource::NoError, 1.0);
}

IRemoteResource::State failedWith(IRemoteResource::DownloadError error) {
    return stateOf(kError, error, 0.0);
}

using UpdatePolicyTest = SchedulerTest;

TEST_F(UpdatePolicyTest, MissingLocalFileIsDownloadedWithoutAskingUnderEveryPolicy) {
    for (auto policy :
         {ResourceDescriptor::Always, ResourceDescriptor::Validate, ResourceDescriptor::IfMissing,
          ResourceDescriptor::IfModified, static_cast<ResourceDescriptor::UpdatePolicy>(9)}) {
        SCOPED_TRACE(policy);
        ResourceDescriptor* file = describe("missing" + std::to_string(policy), policy);
        IRemoteResource* resource = runOnce(file);

        EXPECT_EQ(downloader->execCount(file), 1);
        EXPECT_EQ(downloader->lastModifiedRequests(file), 0);
        EXPECT_TRUE(localFileExists(file));
        EXPECT_EQ(resource->getCurrentState(), available());
        // Only Validate checks the fresh file; nothing asks about the missing one beforehand.
        EXPECT_EQ(validator->calls(file), policy == ResourceDescriptor::Validate ? 1 : 0);
    }
}

TEST_F(UpdatePolicyTest, AlwaysDownloadsOnEveryRunEvenWhenAvailable) {
    ResourceDescriptor* file = describe("always", ResourceDescriptor::Always, true);
    IRemoteResource* resource = scheduler->registerResource(group({file}));

    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    ASSERT_EQ(resource->getCurrentState(), available());
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();

    EXPECT_EQ(downloader->execCount(file), 2);
    EXPECT_EQ(validator->calls(file), 0);
    EXPECT_EQ(TempDir::read(file->localPath.string()), "payload of files/always");
}

TEST_F(UpdatePolicyTest, IfMissingKeepsAnExistingFile) {
    ResourceDescriptor* file = describe("kept", ResourceDescriptor::IfMissing, true);
    IRemoteResource* resource = runOnce(file);

    EXPECT_EQ(downloader->execCount(file), 0);
    EXPECT_EQ(validator->calls(file), 0);
    EXPECT_EQ(resource->getCurrentState(), available());
    EXPECT_EQ(TempDir::read(file->localPath.string()), "local copy of kept");
}

TEST_F(UpdatePolicyTest, IfModifiedDownloadsOnlyWhenTheRemoteTimeIsLater) {
    ResourceDescriptor* same = describe("same", ResourceDescriptor::IfModified, true);
    ResourceDescriptor* later = describe("later", ResourceDescriptor::IfModified, true);
    ResourceDescriptor* earlier = describe("earlier", ResourceDescriptor::IfModified, true);
    downloader->setRemoteTime(same, same->localPath.last_write_time());
    downloader->setRemoteTime(later, later->localPath.last_write_time() + 1);
    downloader->setRemoteTime(earlier, earlier->localPath.last_write_time() - 3600);

    IRemoteResource* sameResource = runOnce(same);
    IRemoteResource* laterResource = runOnce(later);
    IRemoteResource* earlierResource = runOnce(earlier);

    EXPECT_EQ(downloader->execCount(same), 0);
    EXPECT_EQ(downloader->execCount(later), 1);
    EXPECT_EQ(downloader->execCount(earlier), 0);
    for (auto* file : {same, later, earlier}) {
        EXPECT_EQ(downloader->lastModifiedRequests(file), 1) << file->name;
        EXPECT_EQ(validator->calls(file), 0) << file->name;
    }
    for (auto* resource : {sameResource, laterResource, earlierResource}) {
        EXPECT_EQ(resource->getCurrentState(), available());
    }
}

TEST_F(UpdatePolicyTest, ValidateAsksBeforeAndChecksTheDownloadAfterwards) {
    struct Case {
        std::string name;
        std::vector<IValidator::Result> answers;
        int downloads;
        IRemoteResource::State outcome;
    };
    std::vector<Case> const cases = {
        {"valid", {IValidator::Valid}, 0, available()},
        {"unknownAnswerIsValid", {static_cast<IValidator::Result>(2)}, 0, available()},
        {"invalidTwice",
         {IValidator::Invalid, IValidator::Invalid},
         1,
         failedWith(IRemoteResource::Corrupted)},
        {"invalidThenValid", {IValidator::Invalid, IValidator::Valid}, 1, available()},
        {"invalidThenUnknown",
         {IValidator::Invalid, static_cast<IValidator::Result>(2)},
         1,
         available()},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        ResourceDescriptor* file = describe(c.name, ResourceDescriptor::Validate, true);
        validator->script(file, c.answers);
        IRemoteResource* resource = runOnce(file);

        EXPECT_EQ(downloader->execCount(file), c.downloads);
        EXPECT_EQ(validator->calls(file), static_cast<int>(c.answers.size()));
        EXPECT_EQ(resource->getCurrentState(), c.outcome);
    }
}

TEST_F(UpdatePolicyTest, UnknownPolicyValidatesBeforeTheDownloadButNotAfter) {
    auto const unknown = static_cast<ResourceDescriptor::UpdatePolicy>(7);
    ResourceDescriptor* rejected = describe("rejected", unknown, true);
    ResourceDescriptor* accepted = describe("accepted", unknown, true);
    validator->script(rejected, {IValidator::Invalid, IValidator::Invalid});

    IRemoteResource* rejectedResource = runOnce(rejected);
    IRemoteResource* acceptedResource = runOnce(accepted);

    EXPECT_EQ(downloader->execCount(rejected), 1);
    EXPECT_EQ(validator->calls(rejected), 1);
    EXPECT_EQ(rejectedResource->getCurrentState(), available());
    EXPECT_EQ(downloader->execCount(accepted), 0);
    EXPECT_EQ(acceptedResource->getCurrentState(), available());
}

using OutcomeTest = SchedulerTest;

TEST_F(OutcomeTest, DownloaderResultsBecomeStatesRetrierCallsAndTraceMessages) {
    struct Case {
        int result;
        IRemoteResource::State state;
        IRemoteResource::DownloadError error;
        std::string errorName;
    };
    std::vector<Case> const cases = {
        {0, available(), IRemoteResource::NoError, "NoError"},
        {1, failedWith(IRemoteResource::GeneralError), IRemoteResource::GeneralError,
         "GeneralError"},
        {2, failedWith(IRemoteResource::InternetConnectionLost),
         IRemoteResource::InternetConnectionLost, "InternetConnectionLost"},
        {3, failedWith(IRemoteResource::Cancelled), IRemoteResource::Cancelled, "Cancelled"},
        // A result no downloader should give counts as a success.
        {7, available(), IRemoteResource::NoError, "NoError"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.result);
        ResourceDescriptor* file =
            describe("result" + std::to_string(c.result), ResourceDescriptor::Always);
        DownloadStep step;
        step.result = static_cast<IResourceDownloader::Result>(c.result);
        downloader->script(file, {step});
        std::size_t const callsBefore = retrier->calls().size();

        IRemoteResource* resource = runOnce(file);

        EXPECT_EQ(resource->getCurrentState(), c.state);
        auto const calls = retrier->calls();
        ASSERT_EQ(calls.size(), callsBefore + 1);
        EXPECT_EQ(calls.back().second, c.error);
        auto const traced = tracer->ofItem(file);
        ASSERT_FALSE(traced.empty());
        EXPECT_EQ(traced[traced.size() - 2].event, IEventTracer::DownloadEnd);
        EXPECT_EQ(traced[traced.size() - 2].message, file->remotePath + ", err:" + c.errorName);
    }
}

TEST_F(OutcomeTest, RetrierIsToldWhichItemFinished) {
    ResourceDescriptor* first = describe("first", ResourceDescriptor::Always);
    ResourceDescriptor* second = describe("second", ResourceDescriptor::Always);
    IRemoteResource* resource = scheduler->registerResource(group({first, second}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();

    auto const calls = retrier->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(calls[0].first, calls[1].first);
    // The retrier re-schedules through the pointer it was given: that must reach the item alone.
    calls[0].first->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    EXPECT_EQ(downloader->totalExecs(), 3);
    EXPECT_NE(resource, calls[0].first);
}

TEST_F(OutcomeTest, FailedPostProcessingIsCorruptedAndSkipsValidation) {
    ResourceDescriptor* file = describe("packed", ResourceDescriptor::Validate, true);
    file->postProcessing = 1;
    validator->script(file, {IValidator::Invalid, IValidator::Valid});
    postProcessor->setResult(static_cast<App::IPostProcessor::Result>(5));

    IRemoteResource* resource = runOnce(file);

    EXPECT_EQ(resource->getCurrentState(), failedWith(IRemoteResource::Corrupted));
    EXPECT_EQ(postProcessor->calls(file), 1);
    EXPECT_EQ(validator->calls(file), 1);
    EXPECT_EQ(retrier->errors(), std::vector{IRemoteResource::Corrupted});
}

TEST_F(OutcomeTest, PostProcessorRunsOnlyForFlaggedDescriptorsAfterASuccess) {
    ResourceDescriptor* plain = describe("plain", ResourceDescriptor::Always);
    ResourceDescriptor* flagged = describe("flagged", ResourceDescriptor::Validate);
    flagged->postProcessing = -3;
    ResourceDescriptor* failed = describe("failed", ResourceDescriptor::Always);
    failed->postProcessing = 1;
    DownloadStep failure;
    failure.result = IResourceDownloader::Failed;
    downloader->script(failed, {failure});

    EXPECT_EQ(runOnce(plain)->getCurrentState(), available());
    EXPECT_EQ(runOnce(flagged)->getCurrentState(), available());
    runOnce(failed);

    EXPECT_EQ(postProcessor->calls(plain), 0);
    EXPECT_EQ(postProcessor->calls(flagged), 1);
    EXPECT_EQ(validator->calls(flagged), 1);  // after the processor accepted the file
    EXPECT_EQ(postProcessor->calls(failed), 0);
}

using TraceTest = SchedulerTest;

TEST_F(TraceTest, DownloadingRunIsBracketedInOrderWithStateSnapshots) {
    ResourceDescriptor* file = describe("traced.bin", ResourceDescriptor::Always);
    IRemoteResource* resource = scheduler->registerResource(group({file}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();

    auto const traced = tracer->ofItem(file);
    ASSERT_EQ(traced.size(), 5u);
    EXPECT_THAT(tracer->eventsOfItem(file),
                ElementsAre(IEventTracer::ExecScheduled, IEventTracer::Exec, IEventTracer::Download,
                            IEventTracer::DownloadEnd, IEventTracer::ExecEnd));
    for (std::size_t i : {0u, 1u, 4u}) {
        EXPECT_EQ(traced[i].descriptor, file);
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

TEST_F(TraceTest, RunThatFindsTheFileCurrentTracesOnlyExec) {
    ResourceDescriptor* file = describe("current", ResourceDescriptor::IfMissing, true);
    runOnce(file);
    EXPECT_THAT(tracer->eventsOfItem(file), ElementsAre(IEventTracer::ExecScheduled,
                                                        IEventTracer::Exec, IEventTracer::ExecEnd));
}

TEST_F(TraceTest, ConnectionLossEndsTheDownloadMessageWithItsName) {
    ResourceDescriptor* file = describe("offline", ResourceDescriptor::Always);
    DownloadStep lost;
    lost.result = IResourceDownloader::ConnectionLost;
    downloader->script(file, {lost});
    runOnce(file);
    auto const traced = tracer->ofItem(file);
    ASSERT_EQ(traced.size(), 5u);
    EXPECT_EQ(traced[3].message, "files/offline, err:InternetConnectionLost");
    EXPECT_EQ(traced[4].state, failedWith(IRemoteResource::InternetConnectionLost));
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

TEST_F(ShortcutTest, TrustedLocalCopyWithOtherPoliciesIsAvailableAndStillChecked) {
    ResourceDescriptor* file = describe("checked", ResourceDescriptor::Validate, true);
    file->localCopyPolicy = 1;
    validator->script(file, {IValidator::Invalid, IValidator::Valid});
    IRemoteResource* resource = scheduler->registerResource(group({file}));

    resource->scheduleDownload(ISchedulableResource::Normal);
    EXPECT_EQ(resource->getCurrentState(), available());
    EXPECT_EQ(downloads->size(), 1u);

    // The first run looks at the file although the item is already Available.
    downloads->runAll();
    EXPECT_EQ(validator->calls(file), 2);
    EXPECT_EQ(downloader->execCount(file), 1);
}

TEST_F(ShortcutTest, NoShortcutWithoutTheFileOrWithAnotherPolicyValue) {
    ResourceDescriptor* absent = describe("absent", ResourceDescriptor::IfMissing);
    absent->localCopyPolicy = 1;
    ResourceDescriptor* untrusted = describe("untrusted", ResourceDescriptor::IfMissing, true);
    untrusted->localCopyPolicy = 2;
    IRemoteResource* absentResource = scheduler->registerResource(group({absent}));
    IRemoteResource* untrustedResource = scheduler->registerResource(group({untrusted}));

    absentResource->scheduleDownload(ISchedulableResource::Normal);
    untrustedResource->scheduleDownload(ISchedulableResource::Normal);

    EXPECT_EQ(absentResource->getCurrentState().status, kWaiting);
    EXPECT_EQ(untrustedResource->getCurrentState().status, kWaiting);
    EXPECT_EQ(downloads->size(), 2u);
}

using RepeatedRunTest = SchedulerTest;

TEST_F(RepeatedRunTest, LaterRunsTrustAvailableWithoutTouchingTheFile) {
    ResourceDescriptor* validated = describe("validated", ResourceDescriptor::Validate, true);
    ResourceDescriptor* modified = describe("modified", ResourceDescriptor::IfModified, true);
    downloader->setRemoteTime(modified, 0);
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
    EXPECT_EQ(validator->calls(validated), 1);
    EXPECT_EQ(downloader->lastModifiedRequests(modified), 1);
    EXPECT_EQ(tracer->count(IEventTracer::ExecEnd), 4);
}

TEST_F(RepeatedRunTest, LaterRunsLookAgainAfterAFailure) {
    ResourceDescriptor* file = describe("retry", ResourceDescriptor::IfMissing);
    DownloadStep failure;
    failure.result = IResourceDownloader::Failed;
    downloader->script(file, {failure});
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

    resource->cancelDownload();
    // Cancelling by itself changes nothing visible.
    EXPECT_EQ(resource->getCurrentState().status, kWaiting);
    EXPECT_TRUE(tracer->all().empty());

    for (int round = 0; round < 2; ++round) {
        resource->scheduleDownload(ISchedulableResource::Normal);
        downloads->runAll();
    }

    EXPECT_EQ(downloader->execCount(file), 2);
    EXPECT_EQ(retrier->errors(),
              (std::vector{IRemoteResource::Cancelled, IRemoteResource::Cancelled}));
    EXPECT_FALSE(localFileExists(file));
    // A run that needs no download still ends Available.
    auto* currentOnly = scheduler->registerResource(group({current}));
    EXPECT_EQ(currentOnly->getCurrentState(), available());
    EXPECT_EQ(resource->getCurrentState(), stateOf(kError, IRemoteResource::Cancelled, 0.5));
}

TEST_F(CancelTest, CancellingStopsADownloadInProgress) {
    ResourceDescriptor* file = describe("long", ResourceDescriptor::Always);
    IRemoteResource* resource = scheduler->registerResource(group({file}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloader->hold();

    std::thread worker([&] { downloads->runAll(); });
    ASSERT_TRUE(downloader->waitForHeld(1));
    EXPECT_EQ(resource->getCurrentState().status, kDownloading);
    resource->cancelDownload();
    worker.join();

    EXPECT_EQ(resource->getCurrentState(), failedWith(IRemoteResource::Cancelled));
    EXPECT_EQ(retrier->errors(), std::vector{IRemoteResource::Cancelled});
    EXPECT_FALSE(localFileExists(file));
}

using ProgressTest = SchedulerTest;

TEST_F(ProgressTest, DownloaderProgressReachesSubscribers) {
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

    EXPECT_THROW(downloads->execOne(), std::runtime_error);

    EXPECT_EQ(resource->getCurrentState(), stateOf(kDownloading, IRemoteResource::NoError, 0.0));
    EXPECT_TRUE(retrier->calls().empty());
    EXPECT_THAT(
        tracer->eventsOfItem(file),
        ElementsAre(IEventTracer::ExecScheduled, IEventTracer::Exec, IEventTracer::Download));

    // The item is not left blocked: the next run goes through.
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    EXPECT_EQ(resource->getCurrentState(), available());
}

TEST_F(ServiceExceptionTest, CheckStageExceptionsLeaveTheStateUntouched) {
    ResourceDescriptor* validated = describe("validated", ResourceDescriptor::Validate, true);
    validator->throwFor(validated);
    IRemoteResource* validatedResource = scheduler->registerResource(group({validated}));
    validatedResource->scheduleDownload(ISchedulableResource::Normal);

    EXPECT_THROW(downloads->execOne(), std::runtime_error);
    EXPECT_EQ(validatedResource->getCurrentState().status, kWaiting);
    EXPECT_THAT(tracer->eventsOfItem(validated),
                ElementsAre(IEventTracer::ExecScheduled, IEventTracer::Exec));
    EXPECT_EQ(downloader->execCount(validated), 0);
}

}  // namespace
}  // namespace Tiskel::Test
