// Host threads register, schedule, cancel, subscribe and unsubscribe on shared bundles while
// downloads with injected faults run on the manager's thread pool; then the manager is aborted
// and what is left is checked. RDM_STRESS_SCALE (a positive integer, default 1) multiplies the
// host threads' work, and so the run time.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <tuple>

#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"

#include "Support/FNotify.h"
#include "Support/LocalFiles.h"
#include "Support/StateRule.h"

namespace Tiskel::App {
namespace {

using State = IRemoteResource::State;

// Reports each file in a few pieces, with faults: a failure or a lost connection midway, and
// slow pieces; then writes it whole. Stops at the next piece when cancelled or aborted.
class FaultyDownloader final : public IResourceDownloader {
  public:
    explicit FaultyDownloader(unsigned seed) : seed(seed) {}

    Result exec(Task task) const override {
        thread_local std::mt19937 random(seed +
                                         std::hash<std::thread::id>()(std::this_thread::get_id()));
        ResourceDescriptor const& descriptor = *task.descriptor;
        // Two runs of one item must never download it at once.
        if (inFlight.at(&descriptor).fetch_add(1) > 0) {
            overlapped = true;
        }
        struct Leave {
            std::atomic<int>& count;
            ~Leave() { --count; }
        } const leave{inFlight.at(&descriptor)};
        unsigned const pieces = 1 + random() % 4;
        unsigned const fault = random() % 10;
        for (unsigned i = 0; i < pieces; ++i) {
            if (aborted || task.isCancelled()) {
                return Cancelled;
            }
            if (i == pieces / 2 && fault < 2) {
                return fault == 0 ? Failed : ConnectionLost;
            }
            task.onProgress(i + 1, pieces);
            if (random() % 4 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            }
        }
        std::ofstream(descriptor.downloadPath.string()) << std::string(4096, 'x');
        ++completed;
        return Success;
    }
    void abort() override { aborted = true; }
    int64_t requestLastModified(ResourceDescriptor const* /*descriptor*/) const override {
        return 0;
    }

    mutable std::atomic<int> completed{0};
    mutable std::atomic<bool> overlapped{false};
    // Downloads running per item; filled before the first download.
    mutable std::map<ResourceDescriptor const*, std::atomic<int>> inFlight;

  private:
    unsigned const seed;
    std::atomic<bool> aborted{false};
};

// Now and then slow, which holds up the deliveries that the same change decided for other
// bundles.
class Subscriber final : public IRemoteResourceEventHandler {
  public:
    void onStateChanged(State, ResourceDescriptorBundle const*) override {
        if (unsigned const call = ++calls; call % 4 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(call % 500));
        }
    }
    std::atomic<unsigned> calls{0};
};

using ManagerStressTest = Tiskel::Test::LocalFiles;

TEST_F(ManagerStressTest, HostThreadsAndFaultyDownloadsLeaveConsistentStates) {
    constexpr int kFiles = 24, kBundles = 8, kHosts = 3;
    char const* const scale = std::getenv("RDM_STRESS_SCALE");
    int const steps = 6000 * std::max(1, scale != nullptr ? std::atoi(scale) : 1);
    unsigned const seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    auto downloader = std::make_shared<FaultyDownloader>(seed);
    std::vector<ResourceDescriptor const*> descriptors;
    for (int i = 0; i < kFiles; ++i) {
        ResourceDescriptor& d =
            describe("f" + std::to_string(i), "", ResourceDescriptor::UpdatePolicy(i % 4));
        d.localCopyPolicy = i % 6 == 5 ? 1 : 0;
        descriptors.push_back(&d);
        downloader->inFlight[&d] = 0;
    }
    std::vector<ResourceDescriptorBundle> bundles(kBundles);
    for (int b = 0; b < kBundles; ++b) {
        for (int i : {3 * b, 3 * b + 1, 3 * b + 2, 3 * b + 5, 7 * b + 1}) {
            bundles[b].descriptors.insert(descriptors[i % kFiles]);
        }
    }
    Subscriber subscribers[kBundles];  // outlive the manager
    auto const params =
        Tiskel::Test::notifyOn({IRemoteResource::Waiting, IRemoteResource::Downloading,
                                IRemoteResource::Available, IRemoteResource::Error},
                               true, 0.1);
    ResourceDownloadManager manager;
    init(manager, {/*useParallelExecutor=*/true, /*threadCount=*/4}, downloader);
    auto scheduler = manager.getMainScheduler();
    manager.startEventLoopThread();

    std::atomic<int> stepsDone{0};
    std::vector<std::thread> hosts;
    for (int h = 0; h < kHosts; ++h) {
        hosts.emplace_back([&, h] {
            std::mt19937 random(seed + 1000 + h);
            for (int step = 0; step < steps; ++step, ++stepsDone) {
                int const b = random() % kBundles;
                auto const priority = ISchedulableResource::SchedulePriority(random() % 3);
                IRemoteResource* resource = scheduler->registerResource(&bundles[b]);
                // Out of twelve: 2 auto-schedules, 3 schedules, 1 cancellation, 3
                // subscriptions, 2 unsubscriptions, 1 look at the state.
                int const operation = random() % 12;
                if (operation < 2) {
                    scheduler->registerAutoSchedule(&bundles[b], priority);
                } else if (operation < 5) {
                    resource->scheduleDownload(priority);
                } else if (operation == 5 && b >= kBundles - 2) {
                    // A cancellation lasts for the item's life: only the last two bundles are
                    // cancelled, so that the other items keep downloading.
                    resource->cancelDownload();
                } else if (operation >= 6 && operation < 9) {
                    resource->registerEventHandler(&subscribers[b], params);
                } else if (operation >= 9 && operation < 11) {
                    resource->unregisterEventHandler(&subscribers[b]);
                } else if (operation == 11) {
                    resource->getCurrentState();
                }
                // Spreads the operations out, so that downloads run between them all along.
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
            }
        });
    }
    // The manager is aborted in the thick of it; the hosts go on with the rest of their steps,
    // whose runs are never started, until everything is quiet.
    ASSERT_TRUE(Tiskel::Test::waitUntil([&] { return stepsDone >= kHosts * steps * 3 / 4; },
                                        std::chrono::minutes(10)));
    manager.abort();
    for (auto& host : hosts) {
        host.join();
    }
    EXPECT_GT(downloader->completed, 0);
    EXPECT_FALSE(downloader->overlapped);

    for (int b = 0; b < kBundles; ++b) {
        SCOPED_TRACE("bundle " + std::to_string(b));
        // A bundle of one descriptor mirrors its item exactly.
        std::vector<State> children;
        for (auto const* d : bundles[b].descriptors) {
            children.push_back(scheduler->registerResource(group({d}))->getCurrentState());
        }
        State const expected = Tiskel::Test::expectedAggregate(children);
        State const actual = scheduler->registerResource(&bundles[b])->getCurrentState();
        EXPECT_EQ(std::tie(actual.status, actual.error), std::tie(expected.status, expected.error));
        EXPECT_NEAR(actual.progress, expected.progress, 1e-12);
    }
}

}  // namespace
}  // namespace Tiskel::App
