// Registration of bundles, items shared between bundles, automatic scheduling by priority, and
// the scheduler's lifetime.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"

#include "Scheduler/Fixture.h"

namespace Tiskel::Test {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using Priority = Core::ITaskQueue::Priority;

constexpr auto kAvailable = IRemoteResource::Available;
constexpr auto kDownloading = IRemoteResource::Downloading;
constexpr auto kWaiting = IRemoteResource::Waiting;

using RegistrationTest = SchedulerTest;

TEST_F(RegistrationTest, RegisteringABundleAgainChangesNothing) {
    ResourceDescriptor* first = describe("first", ResourceDescriptor::Always);
    ResourceDescriptor* second = describe("second", ResourceDescriptor::Always);
    ResourceDescriptorBundle* bundle = group({first, second});
    IRemoteResource* resource = scheduler->registerResource(bundle);
    ASSERT_NE(resource, nullptr);
    EXPECT_EQ(resource->getDescriptor(), bundle);
    RecordingHandler handler;
    resource->registerEventHandler(&handler, paramsFor({kWaiting, kDownloading}, 0.0));
    ASSERT_EQ(handler.count(), 1u);

    EXPECT_EQ(scheduler->registerResource(bundle), resource);
    EXPECT_EQ(scheduler->registerAutoSchedule(bundle, ISchedulableResource::Low), resource);
    EXPECT_EQ(handler.count(), 1u);

    // Links made twice would report each change of an item twice.
    downloads->runAll();
    std::vector<double> progress;
    for (auto const& state : handler.states()) {
        progress.push_back(state.progress);
    }
    // Waiting; first item downloading; first Available; second downloading; second Available
    // (not selected).
    EXPECT_THAT(progress, ElementsAre(0.0, 0.0, 0.5, 0.5));
    resource->unregisterEventHandler(&handler);
}

TEST_F(RegistrationTest, SharedDescriptorIsOneItemFeedingEveryBundle) {
    ResourceDescriptor* own = describe("own", ResourceDescriptor::IfMissing);
    ResourceDescriptor* shared = describe("shared", ResourceDescriptor::IfMissing);
    ResourceDescriptor* other = describe("other", ResourceDescriptor::IfMissing);
    ResourceDescriptorBundle* left = group({own, shared});
    ResourceDescriptorBundle* right = group({shared, other});
    IRemoteResource* leftResource = scheduler->registerResource(left);
    IRemoteResource* rightResource = scheduler->registerResource(right);
    ASSERT_NE(leftResource, rightResource);
    RecordingHandler leftHandler;
    RecordingHandler rightHandler;
    leftResource->registerEventHandler(&leftHandler, paramsFor({kDownloading, kAvailable}));
    rightResource->registerEventHandler(&rightHandler, paramsFor({kDownloading, kAvailable}));

    rightResource->scheduleDownload(ISchedulableResource::Normal);
    EXPECT_EQ(downloads->runAll(), 2);

    EXPECT_EQ(downloader->execCount(shared), 1);
    EXPECT_EQ(rightResource->getCurrentState(), stateOf(kAvailable, IRemoteResource::NoError, 1.0));
    // The one run of the shared item moved the other bundle as well.
    EXPECT_EQ(leftResource->getCurrentState(),
              stateOf(kDownloading, IRemoteResource::NoError, 0.5));
    EXPECT_GE(leftHandler.count(), 1u);
    EXPECT_THAT(leftHandler.bundles(), Each(left));
    EXPECT_THAT(rightHandler.bundles(), Each(right));

    // Scheduling the other bundle runs the shared item again, which now trusts its state.
    leftResource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    EXPECT_EQ(downloader->execCount(shared), 1);
    EXPECT_EQ(downloader->execCount(own), 1);
    EXPECT_EQ(leftResource->getCurrentState(), stateOf(kAvailable, IRemoteResource::NoError, 1.0));

    leftResource->unregisterEventHandler(&leftHandler);
    rightResource->unregisterEventHandler(&rightHandler);
}

TEST_F(RegistrationTest, LaterBundleCountsAnAlreadyAvailableItemAtOnce) {
    ResourceDescriptor* ready = describe("ready", ResourceDescriptor::Always);
    runOnce(ready);
    ResourceDescriptor* fresh = describe("fresh", ResourceDescriptor::Always);

    IRemoteResource* later = scheduler->registerResource(group({ready, fresh}));

    EXPECT_EQ(later->getCurrentState(), stateOf(kDownloading, IRemoteResource::NoError, 0.5));
    EXPECT_EQ(downloads->size(), 0u);
    RecordingHandler handler;
    later->registerEventHandler(&handler, paramsFor({kDownloading}));
    EXPECT_EQ(handler.states(), std::vector{stateOf(kDownloading, IRemoteResource::NoError, 0.5)});
    later->unregisterEventHandler(&handler);
}

TEST_F(RegistrationTest, BundleWithoutDescriptorsIsAnIdleResource) {
    ResourceDescriptorBundle* empty = group({});
    IRemoteResource* resource = scheduler->registerAutoSchedule(empty, ISchedulableResource::High);
    ASSERT_NE(resource, nullptr);
    EXPECT_EQ(scheduler->registerResource(empty), resource);

    resource->scheduleDownload(ISchedulableResource::Normal);
    resource->cancelDownload();

    EXPECT_EQ(downloads->size(), 0u);
    EXPECT_EQ(resource->getCurrentState(), stateOf(kWaiting, IRemoteResource::NoError, 0.0));
    RecordingHandler handler;
    resource->registerEventHandler(&handler, paramsFor({kWaiting}));
    EXPECT_THAT(handler.bundles(), ElementsAre(empty));
    resource->unregisterEventHandler(&handler);
}

TEST_F(RegistrationTest, NullBundleAndNullEntriesAreIgnored) {
    EXPECT_EQ(scheduler->registerResource(nullptr), nullptr);
    EXPECT_EQ(scheduler->registerAutoSchedule(nullptr, ISchedulableResource::High), nullptr);

    ResourceDescriptor* real = describe("real", ResourceDescriptor::Always);
    IRemoteResource* resource =
        scheduler->registerAutoSchedule(group({nullptr, real}), ISchedulableResource::Normal);
    ASSERT_NE(resource, nullptr);
    EXPECT_EQ(downloads->runAll(), 1);
    EXPECT_EQ(resource->getCurrentState(), stateOf(kAvailable, IRemoteResource::NoError, 1.0));
}

TEST_F(RegistrationTest, DestroyingTheSchedulerReleasesEveryService) {
    ResourceDescriptor* file = describe("file", ResourceDescriptor::Always);
    scheduler->registerAutoSchedule(group({file}), ISchedulableResource::Normal);
    scheduler->registerResource(group({file, describe("other", ResourceDescriptor::Always)}));
    downloads->runAll();

    scheduler.reset();

    EXPECT_EQ(downloader.use_count(), 1);
    EXPECT_EQ(downloads.use_count(), 1);
    EXPECT_EQ(notifications.use_count(), 1);
    EXPECT_EQ(postProcessor.use_count(), 1);
    EXPECT_EQ(validator.use_count(), 1);
    EXPECT_EQ(tracer.use_count(), 1);
    EXPECT_EQ(retrier.use_count(), 1);
}

TEST_F(RegistrationTest, CallbackSubscriberHearsEachBundleAndLeavesAllOfThemWhenDestroyed) {
    ResourceDescriptor* own = describe("own", ResourceDescriptor::Always);
    ResourceDescriptor* shared = describe("shared", ResourceDescriptor::Always);
    ResourceDescriptorBundle* left = group({own, shared});
    ResourceDescriptorBundle* right = group({shared});
    IRemoteResource* leftResource = scheduler->registerResource(left);
    IRemoteResource* rightResource = scheduler->registerResource(right);
    std::vector<std::pair<IRemoteResource::DownloadStatus, ResourceDescriptorBundle const*>> heard;
    // The storage outlives the handler, so a delivery after its destruction fails loudly
    // instead of touching freed memory.
    std::optional<App::RemoteResourceEventHandlerCallback> handler(std::in_place);
    handler->setCallback([&](IRemoteResource::State state, ResourceDescriptorBundle const* bundle) {
        heard.emplace_back(state.status, bundle);
    });
    handler->setNotificationParams(paramsFor({kDownloading, kAvailable}));
    handler->registerWithin(leftResource);
    handler->registerWithin(rightResource);

    rightResource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    EXPECT_THAT(heard, ElementsAre(std::pair{kDownloading, left}, std::pair{kDownloading, right},
                                   std::pair{kAvailable, right}));

    handler.reset();
    leftResource->scheduleDownload(ISchedulableResource::High);
    downloads->runAll();
    EXPECT_EQ(leftResource->getCurrentState().status, kAvailable);
    EXPECT_EQ(heard.size(), 3u);
}

using AutoScheduleTest = SchedulerTest;

TEST_F(AutoScheduleTest, SchedulePrioritiesBecomeQueuePriorities) {
    for (int priority : {0, 1, 2, 7, -1}) {
        ResourceDescriptor* file =
            describe("p" + std::to_string(priority + 1), ResourceDescriptor::Always);
        scheduler->registerResource(group({file}))
            ->scheduleDownload(static_cast<ISchedulableResource::SchedulePriority>(priority));
    }
    EXPECT_EQ(downloads->priorities(), (std::vector{Priority::Low, Priority::Normal, Priority::High,
                                                    Priority::High, Priority::High}));
}

TEST_F(AutoScheduleTest, OnlyAStrictlyHigherPriorityReschedules) {
    ResourceDescriptor* a = describe("a", ResourceDescriptor::Always);
    ResourceDescriptor* b = describe("b", ResourceDescriptor::Always);
    ResourceDescriptorBundle* bundle = group({a, b});
    ResourceDescriptorBundle* overlapping = group({b});

    scheduler->registerAutoSchedule(bundle, ISchedulableResource::Normal);
    EXPECT_EQ(downloads->priorities(), (std::vector{Priority::Normal, Priority::Normal}));
    downloads->runAll();

    // The same or a lower priority reaches nothing, through any bundle holding the items.
    scheduler->registerAutoSchedule(bundle, ISchedulableResource::Normal);
    scheduler->registerAutoSchedule(overlapping, ISchedulableResource::Low);
    EXPECT_EQ(downloads->size(), 0u);

    scheduler->registerAutoSchedule(overlapping, ISchedulableResource::High);
    EXPECT_EQ(downloads->priorities(), std::vector{Priority::High});
    scheduler->registerAutoSchedule(bundle, ISchedulableResource::High);
    // Only `a` was still below High.
    EXPECT_EQ(downloads->priorities(), (std::vector{Priority::High, Priority::High}));
    downloads->runAll();
    EXPECT_EQ(downloader->execCount(a), 2);
    EXPECT_EQ(downloader->execCount(b), 2);

    scheduler->registerAutoSchedule(bundle, ISchedulableResource::Normal);
    EXPECT_EQ(downloads->size(), 0u);
}

TEST_F(AutoScheduleTest, ExplicitSchedulingCountsAsTheLastPriority) {
    ResourceDescriptor* a = describe("a", ResourceDescriptor::Always);
    ResourceDescriptorBundle* bundle = group({a});
    IRemoteResource* resource = scheduler->registerResource(bundle);

    resource->scheduleDownload(ISchedulableResource::Normal);
    downloads->runAll();
    scheduler->registerAutoSchedule(bundle, ISchedulableResource::Low);
    EXPECT_EQ(downloads->size(), 0u);

    // An explicit request always queues, and lowers the remembered priority.
    resource->scheduleDownload(ISchedulableResource::Low);
    resource->scheduleDownload(ISchedulableResource::Low);
    EXPECT_EQ(downloads->size(), 2u);
    downloads->runAll();
    scheduler->registerAutoSchedule(bundle, ISchedulableResource::Normal);
    EXPECT_EQ(downloads->priorities(), std::vector{Priority::Normal});
}

TEST_F(AutoScheduleTest, PrioritiesCompareAsSignedValues) {
    ResourceDescriptor* never = describe("never", ResourceDescriptor::Always);
    ResourceDescriptor* low = describe("low", ResourceDescriptor::Always);
    auto const belowLow = static_cast<ISchedulableResource::SchedulePriority>(-1);
    scheduler->registerResource(group({low}))->scheduleDownload(ISchedulableResource::Low);
    downloads->runAll();

    // Below Low still reaches an item that was never scheduled...
    scheduler->registerAutoSchedule(group({never}), belowLow);
    EXPECT_EQ(downloads->size(), 1u);
    downloads->runAll();
    // ...but not one scheduled with Low.
    scheduler->registerAutoSchedule(group({low}), belowLow);
    EXPECT_EQ(downloads->size(), 0u);
}

}  // namespace
}  // namespace Tiskel::Test
