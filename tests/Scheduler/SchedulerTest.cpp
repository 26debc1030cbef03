// The scheduler driven through test doubles on a real temporary directory: pipelines wait in a
// queue until the test runs them, and the default download really stages and renames a file.

#include <atomic>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/ParallelExecutor.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

using ::testing::_;
using ::testing::Field;
using ::testing::InSequence;
using ::testing::NiceMock;
using ::testing::Return;
using Priority = Core::ITaskQueue::Priority;
using Task = IResourceDownloader::Task;

constexpr char kHalfDone[] = "Status: Downloading, err:NoError =50%";
constexpr char kAvailable[] = "Status: Available, err:NoError =100%";

std::string stateOf(IRemoteResource const* resource) {
    return resource->getCurrentState().toDebugString();
}

// Runs posted tasks on a real queue and remembers their priorities.
class RecordingQueue final : public Core::ITaskQueue {
  public:
    void RegisterEventHandler(Core::ITaskQueueEventHandler* /*handler*/) override {}
    void UnregisterEventHandler(Core::ITaskQueueEventHandler* /*handler*/) override {}
    bool execOne() override { return tasks.execOne(); }
    void addTask(std::function<void()> task, Priority priority) override {
        added.push_back(priority);
        tasks.addTask(std::move(task), priority);
    }
    std::vector<Priority> taken() { return std::exchange(added, {}); }

  private:
    std::vector<Priority> added;
    Core::TaskQueue tasks;
};

class MockDownloader : public IResourceDownloader {
  public:
    MOCK_METHOD(Result, exec, (Task), (const, override));
    MOCK_METHOD(void, abort, (), (override));
    MOCK_METHOD(int64_t, requestLastModified, (ResourceDescriptor const*), (const, override));
};
class MockValidator : public IValidator {
  public:
    MOCK_METHOD(Result, validate, (ResourceDescriptor const*), (const, override));
};
class MockPostProcessor : public IPostProcessor {
  public:
    MOCK_METHOD(Result, process, (ResourceDescriptor const*), (const, override));
};
class MockRetrier : public IDownloadRetrier {
  public:
    MOCK_METHOD(void, downloadFinished, (ISchedulableResource*, IRemoteResource::DownloadError),
                (noexcept, override));
    MOCK_METHOD(CheckResult, check, (), (noexcept, override));
    MOCK_METHOD(State, getState, (), (const, noexcept, override));
};
class MockTracer : public IEventTracer {
  public:
    MOCK_METHOD(void, trace, (Event, TraceRecord const&), (const, noexcept, override));
};

// What a real transfer does: stage the file, stop when cancelled, rename it into place.
IResourceDownloader::Result fetch(Task const& task) {
    std::ofstream(task.descriptor->tempPath.string()) << "payload";
    if (task.isCancelled()) {
        std::filesystem::remove(task.descriptor->tempPath.string());
        return IResourceDownloader::Cancelled;
    }
    std::filesystem::rename(task.descriptor->tempPath.string(),
                            task.descriptor->downloadPath.string());
    return IResourceDownloader::Success;
}

IRemoteResource::NotificationParams params(bool progress,
                                           std::set<IRemoteResource::DownloadStatus> statuses) {
    IRemoteResource::NotificationParams result;
    result.notifyProgress = progress;
    result.statuses = std::move(statuses);
    return result;
}

// A shared pointer to a test's own object, for services the scheduler keeps.
template <class T>
std::shared_ptr<T> borrow(T& object) {
    return std::shared_ptr<T>(std::shared_ptr<T>(), &object);
}

auto taskFor(ResourceDescriptor const* descriptor) {
    return Field(&Task::descriptor, descriptor);
}

// A trace record with `message` whose state, when it has one, has `status`.
MATCHER_P2(Traced, message, status, "") {
    return arg.message == message && (!arg.state || arg.state->status == status);
}

class SchedulerTest : public ::testing::Test {
  protected:
    SchedulerTest() { ON_CALL(downloader, exec(_)).WillByDefault(fetch); }

    std::unique_ptr<RemoteResourceScheduler> makeScheduler(
        std::shared_ptr<Core::ITaskQueue> const& tasks) {
        return std::make_unique<RemoteResourceScheduler>(
            borrow(downloader), tasks, std::make_shared<Core::TaskQueueImmediate>(),
            borrow(postProcessor), borrow(validator), borrow(tracer), borrow(retrier));
    }

    ResourceDescriptor* describe(std::string const& name, ResourceDescriptor::UpdatePolicy policy,
                                 bool withLocalFile = false) {
        ResourceDescriptor& descriptor = descriptors.emplace_back();
        descriptor.localPath = descriptor.downloadPath = dir.file(name);
        descriptor.tempPath = dir.file(name + ".part");
        descriptor.name = name;
        descriptor.remotePath = "files/" + name;
        descriptor.updatePolicy = policy;
        if (withLocalFile) {
            dir.write(name, "local copy");
        }
        return &descriptor;
    }

    ResourceDescriptorBundle* group(std::set<ResourceDescriptor const*> members) {
        return &bundles.emplace_back(ResourceDescriptorBundle{std::move(members)});
    }

    void runAll() {
        while (queue->execOne()) {
        }
    }

    IRemoteResource* runOnce(std::set<ResourceDescriptor const*> members) {
        IRemoteResource* resource = scheduler->registerResource(group(std::move(members)));
        resource->scheduleDownload(ISchedulableResource::Normal);
        runAll();
        return resource;
    }

    Tiskel::Test::TempDir dir;
    NiceMock<MockDownloader> downloader;
    NiceMock<MockPostProcessor> postProcessor;
    NiceMock<MockValidator> validator;
    NiceMock<MockTracer> tracer;
    NiceMock<MockRetrier> retrier;
    std::shared_ptr<RecordingQueue> queue = std::make_shared<RecordingQueue>();
    // Host records and services outlive the scheduler, which is declared after them.
    std::deque<ResourceDescriptor> descriptors;
    std::deque<ResourceDescriptorBundle> bundles;
    std::unique_ptr<RemoteResourceScheduler> scheduler = makeScheduler(queue);
};

TEST_F(SchedulerTest, EachUpdatePolicyDecidesWhetherToDownload) {
    using D = ResourceDescriptor;
    struct Case {
        std::string name;
        D::UpdatePolicy policy;
        bool localFile;
        std::optional<int64_t> remoteTimeAhead;   // IfModified: the server's time minus the file's
        std::vector<IValidator::Result> answers;  // before the download, then after it
        int downloads;
        std::string outcome = kAvailable;
    };
    std::vector<Case> const cases = {
        {"alwaysMissing", D::Always, false, {}, {}, 1},
        {"validateMissing", D::Validate, false, {}, {IValidator::Valid}, 1},
        {"ifMissingMissing", D::IfMissing, false, {}, {}, 1},
        {"ifModifiedMissing", D::IfModified, false, {}, {}, 1},
        {"always", D::Always, true, {}, {}, 1},
        {"ifMissing", D::IfMissing, true, {}, {}, 0},
        {"sameTime", D::IfModified, true, 0, {}, 0},
        {"laterTime", D::IfModified, true, 1, {}, 1},
        {"valid", D::Validate, true, {}, {IValidator::Valid}, 0},
        {"repaired", D::Validate, true, {}, {IValidator::Invalid, IValidator::Valid}, 1},
        {"corrupt",
         D::Validate,
         true,
         {},
         {IValidator::Invalid, IValidator::Invalid},
         1,
         "Status: Error, err:Corrupted =0%"},
    };
    EXPECT_CALL(postProcessor, process(_)).Times(0);
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        ResourceDescriptor* file = describe(c.name, c.policy, c.localFile);
        int64_t const localTime = c.localFile ? file->localPath.last_write_time() : 0;
        ON_CALL(downloader, requestLastModified(file))
            .WillByDefault(Return(localTime + c.remoteTimeAhead.value_or(0)));
        EXPECT_CALL(downloader, requestLastModified(file)).Times(c.remoteTimeAhead ? 1 : 0);
        auto& validation =
            EXPECT_CALL(validator, validate(file)).Times(static_cast<int>(c.answers.size()));
        for (auto answer : c.answers) {
            validation.WillOnce(Return(answer));
        }
        EXPECT_CALL(downloader, exec(taskFor(file))).Times(c.downloads);
        EXPECT_EQ(stateOf(runOnce({file})), c.outcome);
    }
}

TEST_F(SchedulerTest, TrustedLocalCopyOfAnIfMissingFileQueuesNoRun) {
    ResourceDescriptor* file = describe("trusted", ResourceDescriptor::IfMissing, true);
    file->localCopyPolicy = 1;
    IRemoteResource* resource = scheduler->registerResource(group({file}));
    resource->scheduleDownload(ISchedulableResource::High);
    EXPECT_EQ(stateOf(resource), kAvailable);
    EXPECT_TRUE(queue->taken().empty());
}

TEST_F(SchedulerTest, LaterRunsTrustAvailableWithoutTouchingTheFileUnlessAlways) {
    ResourceDescriptor* validated = describe("validated", ResourceDescriptor::Validate, true);
    ResourceDescriptor* modified = describe("modified", ResourceDescriptor::IfModified, true);
    ResourceDescriptor* always = describe("always", ResourceDescriptor::Always, true);
    EXPECT_CALL(validator, validate(validated)).WillOnce(Return(IValidator::Valid));
    EXPECT_CALL(downloader, requestLastModified(modified)).WillOnce(Return(0));
    EXPECT_CALL(downloader, exec(taskFor(always))).Times(2);
    IRemoteResource* resource = runOnce({validated, modified, always});

    // The gone files would be downloaded if the second run looked at them.
    std::filesystem::remove(validated->localPath.string());
    std::filesystem::remove(modified->localPath.string());
    resource->scheduleDownload(ISchedulableResource::Normal);
    runAll();
    EXPECT_EQ(stateOf(resource), kAvailable);
}

TEST_F(SchedulerTest, CancellationStaysInForceForLaterRuns) {
    IRemoteResource* resource =
        scheduler->registerResource(group({describe("x", ResourceDescriptor::Always)}));
    EXPECT_CALL(retrier, downloadFinished(_, IRemoteResource::Cancelled)).Times(2);
    resource->cancelDownload();
    for (int round = 0; round < 2; ++round) {
        resource->scheduleDownload(ISchedulableResource::Normal);
        runAll();
        EXPECT_EQ(stateOf(resource), "Status: Error, err:Cancelled =0%");
    }
}

TEST_F(SchedulerTest, DownloaderResultsBecomeStatesRetrierReportsAndTraceRecords) {
    using E = IEventTracer;
    using R = IRemoteResource;
    // A result outside the known four counts as a success.
    std::vector<std::tuple<int, R::DownloadError, R::DownloadStatus>> const cases = {
        {0, R::NoError, R::Available},
        {1, R::GeneralError, R::Error},
        {2, R::InternetConnectionLost, R::Error},
        {3, R::Cancelled, R::Error},
        {7, R::NoError, R::Available}};
    for (auto const& [result, error, status] : cases) {
        SCOPED_TRACE(result);
        ResourceDescriptor* file =
            describe("r" + std::to_string(result), ResourceDescriptor::Always);
        EXPECT_CALL(downloader, exec(taskFor(file))).WillOnce([result = result](Task const& t) {
            fetch(t);
            return static_cast<IResourceDownloader::Result>(result);
        });
        EXPECT_CALL(retrier, downloadFinished(_, error));
        InSequence order;
        EXPECT_CALL(tracer, trace(E::ExecScheduled, Traced("", R::Waiting)));
        EXPECT_CALL(tracer, trace(E::Exec, Traced("", R::Waiting)));
        EXPECT_CALL(tracer, trace(E::Download, Traced(file->remotePath, R::Waiting)));
        std::string const end = file->remotePath + ", err:" + R::errorToString(error);
        EXPECT_CALL(tracer, trace(E::DownloadEnd, Traced(end, R::Waiting)));
        EXPECT_CALL(tracer, trace(E::ExecEnd, Traced("", status)));
        EXPECT_EQ(runOnce({file})->getCurrentState().error, error);
    }
}

TEST_F(SchedulerTest, FailedPostProcessingWinsOverValidation) {
    ResourceDescriptor* file = describe("packed", ResourceDescriptor::Validate, true);
    file->postProcessing = 1;
    // Asked before the download only: the failed post-processing settles the outcome.
    EXPECT_CALL(validator, validate(file)).WillOnce(Return(IValidator::Invalid));
    EXPECT_CALL(postProcessor, process(file))
        .WillOnce(Return(static_cast<IPostProcessor::Result>(5)));
    EXPECT_EQ(stateOf(runOnce({file})), "Status: Error, err:Corrupted =0%");
}

TEST_F(SchedulerTest, AutomaticSchedulingQueuesOnlyAboveThePriorityLastAsked) {
    ResourceDescriptor* a = describe("a", ResourceDescriptor::Always);
    ResourceDescriptor* b = describe("b", ResourceDescriptor::Always);
    ResourceDescriptorBundle* both = group({a, b});
    IRemoteResource* resource = scheduler->registerAutoSchedule(both, ISchedulableResource::Low);
    scheduler->registerAutoSchedule(group({b}), ISchedulableResource::Low);
    EXPECT_EQ(queue->taken(), (std::vector{Priority::Low, Priority::Low}));
    runAll();
    scheduler->registerAutoSchedule(group({b}), ISchedulableResource::High);
    // Only `a` is still below Normal.
    scheduler->registerAutoSchedule(both, ISchedulableResource::Normal);
    EXPECT_EQ(queue->taken(), (std::vector{Priority::High, Priority::Normal}));
    runAll();

    // An explicit request always queues, and lowers the remembered priority.
    resource->scheduleDownload(ISchedulableResource::Low);
    runAll();
    scheduler->registerAutoSchedule(both, ISchedulableResource::Normal);
    EXPECT_EQ(queue->taken(),
              (std::vector{Priority::Low, Priority::Low, Priority::Normal, Priority::Normal}));
}

TEST_F(SchedulerTest, SharedItemRunsOnceForEveryBundleHoldingIt) {
    ResourceDescriptor* shared = describe("shared", ResourceDescriptor::Always);
    IRemoteResource* left =
        scheduler->registerResource(group({describe("own", ResourceDescriptor::Always), shared}));
    EXPECT_CALL(downloader, exec(taskFor(shared))).Times(1);
    EXPECT_EQ(stateOf(runOnce({shared})), kAvailable);
    EXPECT_EQ(stateOf(left), kHalfDone);

    // A bundle registered later counts the Available item at once, without queuing a run.
    queue->taken();
    IRemoteResource* later =
        scheduler->registerResource(group({shared, describe("new", ResourceDescriptor::Always)}));
    EXPECT_EQ(stateOf(later), kHalfDone);
    EXPECT_TRUE(queue->taken().empty());
}

TEST_F(SchedulerTest, RegisteringAgainGivesTheSameResourceWithoutANewNotification) {
    ResourceDescriptorBundle* bundle = group({describe("x", ResourceDescriptor::Always)});
    IRemoteResource* resource = scheduler->registerResource(bundle);
    int heard = 0;
    RemoteResourceEventHandlerCallback handler;
    handler.setCallback([&](IRemoteResource::State /*state*/) { ++heard; });
    handler.setNotificationParams(params(false, {IRemoteResource::Waiting}));
    handler.registerWithin(resource);
    EXPECT_EQ(scheduler->registerResource(bundle), resource);
    EXPECT_EQ(scheduler->registerAutoSchedule(bundle, ISchedulableResource::Low), resource);
    EXPECT_EQ(heard, 1);
}

TEST_F(SchedulerTest, BundleWithoutDescriptorsIsAnIdleResource) {
    IRemoteResource* idle = scheduler->registerAutoSchedule(group({}), ISchedulableResource::High);
    ASSERT_NE(idle, nullptr);
    idle->scheduleDownload(ISchedulableResource::High);
    EXPECT_TRUE(queue->taken().empty());
    EXPECT_EQ(stateOf(idle), "Status: Waiting, err:NoError =0%");
}

TEST_F(SchedulerTest, CallbackSubscriberLeavesEveryBundleWhenDestroyed) {
    ResourceDescriptor* shared = describe("shared", ResourceDescriptor::Always);
    IRemoteResource* left = scheduler->registerResource(group({shared}));
    int heard = 0;
    // The storage outlives the handler, so a late delivery is caught by ASan or the count.
    std::optional<RemoteResourceEventHandlerCallback> handler(std::in_place);
    handler->setCallback([&](IRemoteResource::State /*state*/) { ++heard; });
    handler->setNotificationParams(params(false, {IRemoteResource::Downloading}));
    handler->registerWithin(left);
    handler->registerWithin(scheduler->registerResource(group({shared})));
    left->scheduleDownload(ISchedulableResource::Normal);
    runAll();
    EXPECT_EQ(heard, 2);

    handler.reset();
    left->scheduleDownload(ISchedulableResource::Normal);
    runAll();
    EXPECT_EQ(heard, 2);
}

TEST_F(SchedulerTest, RunFindingItsItemBusyLeavesTheExtraPassToTheBusyRun) {
    std::promise<void> started;
    std::promise<void> release;
    std::atomic<int> downloads{0};
    EXPECT_CALL(downloader, exec(_))
        .WillOnce([&](Task const& task) {
            started.set_value();
            release.get_future().wait_for(Tiskel::Test::kGenerousDeadline);
            return ++downloads, fetch(task);
        })
        .WillOnce([&](Task const& task) { return ++downloads, fetch(task); });
    IRemoteResource* resource =
        scheduler->registerResource(group({describe("busy", ResourceDescriptor::Always)}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    resource->scheduleDownload(ISchedulableResource::Normal);
    std::thread first([&] { queue->execOne(); });
    EXPECT_EQ(started.get_future().wait_for(Tiskel::Test::kGenerousDeadline),
              std::future_status::ready);

    // The second run returns at once instead of waiting for the first download.
    EXPECT_TRUE(queue->execOne());
    EXPECT_EQ(downloads, 0);
    release.set_value();
    first.join();
    EXPECT_EQ(downloads, 2);
    EXPECT_FALSE(queue->execOne());
}

TEST_F(SchedulerTest, HostThreadsAndTwoPipelineThreadsLeaveConsistentStates) {
    constexpr int kBundles = 12;
    std::mt19937 random(20240611);
    for (int i = 0; i < 16; ++i) {
        describe("item" + std::to_string(i), static_cast<ResourceDescriptor::UpdatePolicy>(i % 4))
            ->localCopyPolicy = i % 5 == 0 ? 1 : 0;
    }
    for (int i = 0; i < kBundles; ++i) {
        group({&descriptors[random() % 16], &descriptors[random() % 16],
               &descriptors[random() % 16]});
    }
    // Notices two downloads of one item at once, and reads every traced state as a real tracer
    // would (ThreadSanitizer reports a state handed out while others write it).
    std::mutex mutex;
    std::set<ResourceDescriptor const*> inFlight;
    bool overlap = false;
    ON_CALL(downloader, exec(_)).WillByDefault([&](Task const& task) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            overlap = !inFlight.insert(task.descriptor).second || overlap;
        }
        task.onProgress(1, 2);
        auto const result = fetch(task);
        std::lock_guard<std::mutex> lock(mutex);
        inFlight.erase(task.descriptor);
        return result;
    });
    ON_CALL(tracer, trace).WillByDefault([](auto, IEventTracer::TraceRecord const& record) {
        return record.state ? void(record.state->toDebugString()) : void();
    });
    auto pool = std::make_shared<Core::TaskQueue>();
    scheduler = makeScheduler(pool);
    Core::ParallelExecutor executor(2);
    Core::TaskQueueWatcher watcher(pool.get());
    std::thread driver([&] {
        while (watcher.isActive()) {
            watcher.waitForState(Core::ITaskQueueEventHandler::HasTasks, std::chrono::seconds(1));
            executor.execQueue(*pool);
        }
    });
    std::vector<std::thread> hosts;
    for (unsigned seed = 0; seed < 3; ++seed) {
        hosts.emplace_back([&, seed] {
            std::mt19937 own(seed);
            // Unregisters from every bundle when the thread ends, while pipelines still run.
            RemoteResourceEventHandlerCallback handler;
            handler.setCallback([](IRemoteResource::State /*state*/) {});
            handler.setNotificationParams(params(true, {IRemoteResource::Available}));
            for (int round = 0; round < 200; ++round) {
                auto const priority =
                    static_cast<ISchedulableResource::SchedulePriority>(own() % 3);
                IRemoteResource* resource =
                    scheduler->registerAutoSchedule(&bundles[own() % kBundles], priority);
                int const action = static_cast<int>(own() % 4);
                if (action == 0) {
                    resource->scheduleDownload(priority);
                } else if (action == 1) {
                    resource->cancelDownload();
                } else if (action == 2) {
                    handler.registerWithin(resource);
                } else {
                    resource->getCurrentState();
                }
            }
        });
    }
    for (auto& host : hosts) {
        host.join();
    }
    watcher.stop();
    driver.join();
    executor.execQueue(*pool);

    EXPECT_FALSE(overlap);
    // A bundle registered now computes its state from its items' final states in one quiet pass;
    // a bundle that missed or misordered a concurrent change differs from it.
    for (int i = 0; i < kBundles; ++i) {
        IRemoteResource* copy = scheduler->registerResource(group(bundles[i].descriptors));
        EXPECT_EQ(stateOf(scheduler->registerResource(&bundles[i])), stateOf(copy)) << i;
    }
}

}  // namespace
}  // namespace Tiskel::App
