// Runs of one item on several download threads, and the scheduler under concurrent use from
// several host threads while two threads run pipelines.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Core/TaskQueue.h"

#include "Scheduler/Fixture.h"
#include "Support/Wait.h"

namespace Tiskel::Test {
namespace {

using State = IRemoteResource::State;

using RunSerialisationTest = SchedulerTest;

TEST_F(RunSerialisationTest, SecondRunOfABusyItemIsDeferredWithoutHoldingItsThread) {
    ResourceDescriptor* file = describe("busy", ResourceDescriptor::Always);
    IRemoteResource* resource = scheduler->registerResource(group({file}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloader->hold();

    std::thread first([&] { downloads->execOne(); });
    ASSERT_TRUE(downloader->waitForHeld(1));
    std::atomic<bool> secondReturned{false};
    std::thread second([&] {
        downloads->execOne();
        secondReturned = true;
    });
    // The second thread gets its run while the first download is still going on; it must come
    // back at once instead of waiting for that download.
    bool const returnedWhileBusy = waitUntil([&] { return secondReturned.load(); });
    int const execsWhileBusy = downloader->execCount(file);
    downloader->release();
    first.join();
    second.join();

    EXPECT_TRUE(returnedWhileBusy);
    EXPECT_EQ(execsWhileBusy, 1);
    // The busy run made the deferred pass itself before it let go.
    EXPECT_EQ(downloader->execCount(file), 2);
    EXPECT_FALSE(downloader->overlapSeen());
    EXPECT_EQ(tracer->count(IEventTracer::Exec), 2);
    EXPECT_EQ(tracer->count(IEventTracer::ExecEnd), 2);
    EXPECT_EQ(downloads->size(), 0u);
}

TEST_F(RunSerialisationTest, DeferredRunGoesBackToTheQueueWhenTheBusyRunThrows) {
    ResourceDescriptor* file = describe("fragile", ResourceDescriptor::Always);
    DownloadStep boom;
    boom.throws = true;
    downloader->script(file, {boom});
    IRemoteResource* resource = scheduler->registerResource(group({file}));
    resource->scheduleDownload(ISchedulableResource::Normal);
    resource->scheduleDownload(ISchedulableResource::Normal);
    downloader->hold();

    std::atomic<bool> firstThrew{false};
    std::thread first([&] {
        try {
            downloads->execOne();
        } catch (std::runtime_error const&) {
            firstThrew = true;
        }
    });
    ASSERT_TRUE(downloader->waitForHeld(1));
    std::atomic<bool> secondReturned{false};
    std::thread second([&] {
        downloads->execOne();
        secondReturned = true;
    });
    bool const returnedWhileBusy = waitUntil([&] { return secondReturned.load(); });
    downloader->release();
    first.join();
    second.join();

    EXPECT_TRUE(returnedWhileBusy);
    EXPECT_TRUE(firstThrew);
    EXPECT_EQ(downloader->execCount(file), 1);
    ASSERT_EQ(downloads->size(), 1u);
    downloads->runAll();
    EXPECT_EQ(downloader->execCount(file), 2);
    EXPECT_EQ(resource->getCurrentState().status, IRemoteResource::Available);
}

// Drains a queue on a fixed number of threads, waking them through the queue's state
// notifications.
class QueueDrainers final : public Core::ITaskQueueEventHandler {
  public:
    QueueDrainers(Core::ITaskQueue& queue, int threadCount) : queue(queue) {
        queue.RegisterEventHandler(this);
        for (int i = 0; i < threadCount; ++i) {
            threads.emplace_back([this] { drain(); });
        }
    }

    ~QueueDrainers() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            wake.notify_all();
        }
        for (auto& thread : threads) {
            thread.join();
        }
        queue.UnregisterEventHandler(this);
    }

    void handleChangedState(State /*state*/) override {
        std::lock_guard<std::mutex> lock(mutex);
        ++epoch;
        wake.notify_all();
    }

    // True when no thread is running a task. Check the queue's size first: a task leaves the
    // queue only while its thread counts as busy.
    bool idle() const {
        std::lock_guard<std::mutex> lock(mutex);
        return busy == 0;
    }

  private:
    void drain() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            std::uint64_t const seen = epoch;
            ++busy;
            lock.unlock();
            while (queue.execOne()) {
            }
            lock.lock();
            --busy;
            wake.wait(lock, [&] { return stopping || epoch != seen; });
        }
    }

    Core::ITaskQueue& queue;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::uint64_t epoch = 0;
    int busy = 0;
    bool stopping = false;
    std::vector<std::thread> threads;
};

// The aggregate a bundle must show for its items' states.
State aggregateOf(std::vector<State> const& children) {
    if (children.empty()) {
        return State{};
    }
    if (children.size() == 1) {
        return children.front();
    }
    std::set<IRemoteResource::DownloadStatus> statuses;
    std::set<IRemoteResource::DownloadError> errors;
    double sum = 0.0;
    for (auto const& child : children) {
        statuses.insert(child.status);
        errors.insert(child.error);
        sum += child.progress;
    }
    State result;
    result.progress = sum / static_cast<double>(children.size());
    if (statuses == std::set{IRemoteResource::Available}) {
        result.status = IRemoteResource::Available;
    } else if (statuses.count(IRemoteResource::Error) != 0) {
        result.status = IRemoteResource::Error;
    } else if (statuses.count(IRemoteResource::Downloading) != 0 ||
               statuses.count(IRemoteResource::Available) != 0) {
        result.status = IRemoteResource::Downloading;
    } else {
        result.status = IRemoteResource::Waiting;
    }
    errors.erase(IRemoteResource::NoError);
    for (auto error : {IRemoteResource::Cancelled, IRemoteResource::InternetConnectionLost,
                       IRemoteResource::Corrupted, IRemoteResource::GeneralError}) {
        if (errors.count(error) != 0) {
            result.error = error;
            break;
        }
    }
    return result;
}

TEST(SchedulerConcurrencyTest, HostThreadsAndTwoPipelineThreadsLeaveConsistentStates) {
    constexpr unsigned kSeed = 20240611;
    constexpr int kDescriptors = 24;
    constexpr int kBundles = 16;
    constexpr int kHostThreads = 4;
    constexpr int kRounds = 120;
    SCOPED_TRACE("seed " + std::to_string(kSeed));
    std::mt19937 setup(kSeed);

    TempDir dir;
    std::deque<ResourceDescriptor> descriptors;
    for (int i = 0; i < kDescriptors; ++i) {
        ResourceDescriptor& descriptor = descriptors.emplace_back();
        std::string const name = "item" + std::to_string(i);
        descriptor.localPath = dir.file(name);
        descriptor.tempPath = dir.file(name + ".part");
        descriptor.downloadPath = descriptor.localPath;
        descriptor.category = "load";
        descriptor.name = name;
        descriptor.remotePath = "load/" + name;
        descriptor.updatePolicy = static_cast<ResourceDescriptor::UpdatePolicy>(i % 4);
        descriptor.localCopyPolicy = i % 5 == 0 ? 1 : 0;
    }
    std::vector<ResourceDescriptorBundle> bundles(kBundles);
    for (auto& bundle : bundles) {
        int const size = 2 + static_cast<int>(setup() % 5);
        while (static_cast<int>(bundle.descriptors.size()) < size) {
            bundle.descriptors.insert(&descriptors[setup() % kDescriptors]);
        }
    }

    auto downloader = std::make_shared<ScriptedDownloader>();
    DownloadStep step;
    for (uint64_t done = 0; done <= 16; ++done) {
        step.progress.emplace_back(done, 16);
    }
    downloader->setDefaultStep(step);
    auto downloads = std::make_shared<Core::TaskQueue>();
    auto tracer = std::make_shared<RecordingTracer>();
    App::RemoteResourceScheduler scheduler(
        downloader, downloads, std::make_shared<Core::TaskQueueImmediate>(),
        std::make_shared<ScriptedPostProcessor>(), std::make_shared<ScriptedValidator>(), tracer,
        std::make_shared<RecordingRetrier>());

    std::vector<std::atomic<IRemoteResource*>> resources(kBundles);
    std::atomic<bool> samePointerEveryTime{true};
    // Per host thread: the bundles its handler was ever subscribed to, and those it heard from.
    std::vector<std::set<ResourceDescriptorBundle const*>> subscribedTo(kHostThreads);
    std::vector<std::set<ResourceDescriptorBundle const*>> deliveredTo(kHostThreads);
    {
        QueueDrainers drainers(*downloads, 2);
        std::vector<std::thread> hosts;
        for (int t = 0; t < kHostThreads; ++t) {
            hosts.emplace_back([&, t] {
                std::mt19937 random(kSeed + 1 + static_cast<unsigned>(t));
                RecordingHandler handler;
                std::set<IRemoteResource*> subscribed;
                auto const priority = [&] {
                    return static_cast<ISchedulableResource::SchedulePriority>(random() % 3);
                };
                for (int round = 0; round < kRounds; ++round) {
                    int const index = static_cast<int>(random() % kBundles);
                    IRemoteResource* resource = nullptr;
                    if (random() % 2 == 0) {
                        resource = scheduler.registerResource(&bundles[index]);
                    } else {
                        resource = scheduler.registerAutoSchedule(&bundles[index], priority());
                    }
                    IRemoteResource* expected = nullptr;
                    if (!resources[index].compare_exchange_strong(expected, resource) &&
                        expected != resource) {
                        samePointerEveryTime = false;
                    }
                    switch (random() % 8) {
                        case 0:
                        case 1:
                            resource->scheduleDownload(priority());
                            break;
                        case 2:
                            if (index % 4 == 0) {
                                resource->cancelDownload();
                            }
                            break;
                        case 3:
                        case 4:
                            resource->registerEventHandler(
                                &handler,
                                paramsFor({IRemoteResource::Downloading, IRemoteResource::Available,
                                           IRemoteResource::Error},
                                          0.25));
                            subscribed.insert(resource);
                            subscribedTo[t].insert(&bundles[index]);
                            break;
                        case 5:
                            resource->unregisterEventHandler(&handler);
                            subscribed.erase(resource);
                            break;
                        default:
                            resource->getCurrentState();
                            break;
                    }
                }
                for (IRemoteResource* resource : subscribed) {
                    resource->unregisterEventHandler(&handler);
                }
                auto const delivered = handler.bundles();
                deliveredTo[t] =
                    std::set<ResourceDescriptorBundle const*>(delivered.begin(), delivered.end());
            });
        }
        for (auto& host : hosts) {
            host.join();
        }
        ASSERT_TRUE(waitUntil([&] { return downloads->size() == 0 && drainers.idle(); }));
    }

    EXPECT_TRUE(samePointerEveryTime);
    EXPECT_FALSE(downloader->overlapSeen());
    // Every queued run ran exactly once, and every download was traced.
    EXPECT_GT(tracer->count(IEventTracer::ExecScheduled), 0);
    EXPECT_EQ(tracer->count(IEventTracer::Exec), tracer->count(IEventTracer::ExecScheduled));
    EXPECT_EQ(tracer->count(IEventTracer::ExecEnd), tracer->count(IEventTracer::Exec));
    EXPECT_EQ(tracer->count(IEventTracer::Download), downloader->totalExecs());
    EXPECT_EQ(tracer->count(IEventTracer::DownloadEnd), downloader->totalExecs());
    for (int t = 0; t < kHostThreads; ++t) {
        for (auto const* bundle : deliveredTo[t]) {
            EXPECT_EQ(subscribedTo[t].count(bundle), 1u) << "host thread " << t;
        }
    }

    // A bundle of one descriptor mirrors its item's state.
    std::map<ResourceDescriptor const*, State> itemStates;
    std::deque<ResourceDescriptorBundle> singles;
    for (auto const& descriptor : descriptors) {
        singles.emplace_back().descriptors = {&descriptor};
        itemStates[&descriptor] = scheduler.registerResource(&singles.back())->getCurrentState();
        EXPECT_NE(itemStates[&descriptor].status, IRemoteResource::Downloading);
    }
    for (int index = 0; index < kBundles; ++index) {
        if (resources[index] == nullptr) {
            continue;
        }
        std::vector<State> children;
        for (auto const* descriptor : bundles[index].descriptors) {
            children.push_back(itemStates[descriptor]);
        }
        EXPECT_EQ(resources[index].load()->getCurrentState(), aggregateOf(children))
            << "bundle " << index;
    }
}

}  // namespace
}  // namespace Tiskel::Test
