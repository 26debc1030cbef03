// The scheduler driven through test doubles on a real temporary directory: pipelines wait in a
// queue until the test runs them, and the default download writes the file in place.

#include <atomic>
#include <fstream>
#include <future>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/DownloadRetrier.h"
#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/FNotify.h"
#include "Support/LocalFiles.h"
#include "Support/LogCapture.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

using namespace ::testing;
using Tiskel::Test::listen;
using Priority = Core::ITaskQueue::Priority;
using Task = IResourceDownloader::Task;

constexpr char kHalfDone[] = "Status: Downloading, err:NoError =50%";
constexpr char kAvailable[] = "Status: Available, err:NoError =100%";

std::string stateOf(IRemoteResource const* resource) {
    return resource->getCurrentState().toDebugString();
}

// The host's downloader and the queue its pipelines wait in.
class MockHost : public IResourceDownloader, public Core::ITaskQueue {
  public:
    MOCK_METHOD(void, RegisterEventHandler, (Core::ITaskQueueEventHandler*), (override));
    MOCK_METHOD(void, UnregisterEventHandler, (Core::ITaskQueueEventHandler*), (override));
    MOCK_METHOD(bool, execOne, (), (override));
    MOCK_METHOD(void, addTask, (std::function<void()>, Priority), (override));
    MOCK_METHOD(IResourceDownloader::Result, exec, (Task), (const, override));
    MOCK_METHOD(void, abort, (), (override));
    MOCK_METHOD(int64_t, requestLastModified, (ResourceDescriptor const*), (const, override));
};

// What a real transfer does: write the file unless cancelled first.
IResourceDownloader::Result fetch(Task const& task) {
    if (task.isCancelled()) {
        return IResourceDownloader::Cancelled;
    }
    std::ofstream(task.descriptor->downloadPath.string()) << "payload";
    return IResourceDownloader::Success;
}

class SchedulerTest : public Tiskel::Test::LocalFiles {
  protected:
    // Runs downloads with `fetch` and keeps queued pipelines in `tasks` until the test runs them,
    // their priorities in `queued`.
    SchedulerTest() {
        ON_CALL(host, exec(_)).WillByDefault(fetch);
        ON_CALL(host, addTask).WillByDefault([this](std::function<void()> task, Priority p) {
            queued.push_back(p);
            tasks.addTask(std::move(task), p);
        });
    }

    void runAll() {
        while (tasks.execOne()) {
        }
    }

    IRemoteResource* runOnce(std::set<ResourceDescriptor const*> members) {
        IRemoteResource* resource = scheduler->registerResource(group(std::move(members)));
        resource->scheduleDownload(ISchedulableResource::Normal);
        runAll();
        return resource;
    }

    NiceMock<MockHost> host;
    Core::TaskQueue tasks;
    std::vector<Priority> queued;
    // The services outlive the scheduler, which is declared after them.
    std::shared_ptr<MockHost> const notOwned{std::shared_ptr<MockHost>(), &host};
    std::unique_ptr<RemoteResourceScheduler> scheduler = std::make_unique<RemoteResourceScheduler>(
        notOwned, notOwned, std::make_shared<Core::TaskQueueImmediate>(),
        std::make_shared<PostProcessorStub>(), std::make_shared<ValidatorStub>(),
        std::make_shared<EventTracerStub>(), std::make_shared<DownloadRetrierStub>());
};

// An empty bundle leaves a run nothing to do. (So does a trusted local copy of an IfMissing
// file: the pipeline's later-runs test.)
TEST_F(SchedulerTest, SchedulingAnEmptyBundleQueuesNoRun) {
    EXPECT_CALL(host, addTask).Times(0);
    IRemoteResource* idle = scheduler->registerAutoSchedule(group({}), ISchedulableResource::High);
    idle->scheduleDownload(ISchedulableResource::High);
    EXPECT_EQ(stateOf(idle), "Status: Waiting, err:NoError =0%");
}

// A downloader result outside the known four counts as a success. (The errors the known ones
// come to: the sync's failure, mirror and offline tests.)
TEST_F(SchedulerTest, AnUnknownDownloaderResultCountsAsASuccess) {
    EXPECT_CALL(host, exec(_)).WillOnce(Return(IResourceDownloader::Result(7)));
    EXPECT_EQ(stateOf(runOnce({&describe("r7")})), kAvailable);
}

TEST_F(SchedulerTest, AutomaticSchedulingQueuesOnlyAboveThePriorityLastAsked) {
    ResourceDescriptor *a = &describe("a"), *b = &describe("b");
    ResourceDescriptorBundle* both = group({a, b});
    IRemoteResource* resource = scheduler->registerAutoSchedule(both, ISchedulableResource::Low);
    scheduler->registerAutoSchedule(group({b}), ISchedulableResource::Low);
    runAll();
    scheduler->registerAutoSchedule(group({b}), ISchedulableResource::High);
    // Only `a` is still below Normal.
    scheduler->registerAutoSchedule(both, ISchedulableResource::Normal);
    runAll();

    // An explicit request always queues, and lowers the remembered priority.
    resource->scheduleDownload(ISchedulableResource::Low);
    runAll();
    scheduler->registerAutoSchedule(both, ISchedulableResource::Normal);
    using P = Priority;
    EXPECT_EQ(queued, (std::vector{P::Low, P::Low, P::High, P::Normal, P::Low, P::Low, P::Normal,
                                   P::Normal}));
}

TEST_F(SchedulerTest, SharedItemRunsOnceForEveryBundleHoldingIt) {
    ResourceDescriptor* shared = &describe("shared");
    IRemoteResource* left = scheduler->registerResource(group({&describe("own"), shared}));
    EXPECT_CALL(host, exec(Field(&Task::descriptor, shared))).Times(1);
    EXPECT_EQ(stateOf(runOnce({shared})), kAvailable);
    EXPECT_EQ(stateOf(left), kHalfDone);

    // A bundle registered later counts the Available item at once, without queuing a run.
    EXPECT_CALL(host, addTask).Times(0);
    IRemoteResource* later = scheduler->registerResource(group({shared, &describe("new")}));
    EXPECT_EQ(stateOf(later), kHalfDone);
}

TEST_F(SchedulerTest, SubscriberHearsNoReRegistrationAndLeavesEveryBundleWhenDestroyed) {
    ResourceDescriptor* shared = &describe("shared");
    ResourceDescriptorBundle* bundle = group({shared});
    IRemoteResource* left = scheduler->registerResource(bundle);
    // The storage outlives the handler, so a late delivery is caught by ASan or the count.
    std::optional<RemoteResourceEventHandlerCallback> handler(std::in_place);
    int heard = 0;
    listen(*handler, {IRemoteResource::Waiting, IRemoteResource::Downloading},
           [&](IRemoteResource::State) { ++heard; });
    handler->registerWithin(left);
    handler->registerWithin(scheduler->registerResource(group({shared})));
    EXPECT_EQ(scheduler->registerResource(bundle), left);
    EXPECT_EQ(scheduler->registerAutoSchedule(bundle, ISchedulableResource::Low), left);
    EXPECT_EQ(heard, 2);
    runAll();
    EXPECT_EQ(heard, 4);

    handler.reset();
    left->scheduleDownload(ISchedulableResource::Normal);
    runAll();
    EXPECT_EQ(heard, 4);
}

// Subscribers that misbehave at their first notification, which arrives while the download
// queue is being run on this thread (or, for a trusted local copy, inside scheduleDownload).
// Each bundle is run twice; the callback must end in neither a hang nor the end of the process,
// and every notification due must still arrive.
TEST_F(SchedulerTest, MisbehavingSubscribersNeitherHangNorEndTheProcess) {
    using S = IRemoteResource;
    std::set<S::DownloadStatus> const statuses = {S::Downloading, S::Available, S::Error};
    RemoteResourceEventHandlerCallback second;
    int secondHeard = 0;
    listen(second, statuses, [&](S::State) { ++secondHeard; });
    S::State readInside;
    struct Case {
        std::string name;
        bool trustedCopy;  // IfMissing with a local copy reported Available when scheduled
        std::function<void(IRemoteResource* own, RemoteResourceEventHandlerCallback& self)> act;
        int heard;  // deliveries to the misbehaving subscriber
        std::string logged = "";
        std::string finalState = kAvailable;
        std::function<void()> alsoCheck = [] {};
    };
    std::vector<Case> const cases = {
        {"throws", false, [](auto, auto&) { throw std::runtime_error("host failure"); }, 4,
         "callback threw: host failure"},
        {"throwsInt", false, [](auto, auto&) { throw 42; }, 4, "not a std::exception"},
        {"readsOwnState", false, [&](auto own, auto&) { readInside = own->getCurrentState(); }, 4,
         "", kAvailable, [&] { EXPECT_EQ(readInside.status, S::Downloading); }},
        // The new subscriber's first notification comes once the running callback returned.
        {"subscribesAnother", false, [&](auto own, auto&) { second.registerWithin(own); }, 4, "",
         kAvailable, [&] { EXPECT_EQ(secondHeard, 4); }},
        {"unsubscribesItself", false,
         [](auto own, auto& self) { own->unregisterEventHandler(&self); }, 1},
        {"cancels", false, [](auto own, auto&) { own->cancelDownload(); }, 4, "",
         "Status: Error, err:Cancelled =0%"},
        // The shortcut changes the item, and so the bundle, inside the bundle's callback.
        {"reschedulesTrustedCopy", true,
         [](auto own, auto&) { own->scheduleDownload(ISchedulableResource::High); }, 1},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        Tiskel::Test::LogCapture log;
        ResourceDescriptor* file = &describe(c.name);
        if (c.trustedCopy) {
            dir.write("out/" + c.name, "local copy");
            file->updatePolicy = ResourceDescriptor::IfMissing;
            file->localCopyPolicy = 1;
        }
        IRemoteResource* own = scheduler->registerResource(group({file}));
        RemoteResourceEventHandlerCallback handler;
        int heardByHandler = 0;
        listen(handler, statuses, [&](S::State) {
            if (++heardByHandler == 1) {
                c.act(own, handler);
            }
        });
        secondHeard = 0;
        handler.registerWithin(own);
        for (int run = 0; run < 2; ++run) {
            own->scheduleDownload(ISchedulableResource::Normal);
            runAll();
        }
        EXPECT_EQ(heardByHandler, c.heard);
        EXPECT_EQ(stateOf(own), c.finalState);
        EXPECT_THAT(log.errors(),
                    AllOf(SizeIs(c.logged.empty() ? 0 : 1), Each(HasSubstr(c.logged))));
        c.alsoCheck();
    }
}

TEST_F(SchedulerTest, RunFindingItsItemBusyLeavesTheExtraPassToTheBusyRun) {
    std::promise<void> started, release;
    std::atomic<int> downloads{0};
    EXPECT_CALL(host, exec(_))
        .WillOnce([&](Task const& task) {
            started.set_value();
            release.get_future().wait_for(Tiskel::Test::kGenerousDeadline);
            return ++downloads, fetch(task);
        })
        .WillOnce([&](Task const& task) { return ++downloads, fetch(task); });
    IRemoteResource* resource = scheduler->registerResource(group({&describe("busy")}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    resource->scheduleDownload(ISchedulableResource::Normal);
    std::thread first([&] { tasks.execOne(); });
    EXPECT_EQ(started.get_future().wait_for(Tiskel::Test::kGenerousDeadline),
              std::future_status::ready);

    // The second run returns at once instead of waiting for the first download.
    EXPECT_TRUE(tasks.execOne());
    EXPECT_EQ(downloads, 0);
    release.set_value();
    first.join();
    EXPECT_EQ(downloads, 2);
    EXPECT_FALSE(tasks.execOne());
}

}  // namespace
}  // namespace Tiskel::App
