// The manager's own behaviour (its workers, threads and passes, the default components over
// HTTP), and what a host may do to it from inside a notification callback.

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include <QCoreApplication>
#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/ResourceWaiter.h"

#include "Support/FNotify.h"
#include "Support/HttpTestServer.h"
#include "Support/LocalFiles.h"
#include "Support/LogCapture.h"
#include "Support/QtApplication.h"

namespace Tiskel::App {
namespace {

namespace Support = ::Tiskel::Test;

TEST(OptimalThreadCount, HalfTheHardwareThreadsBetweenTwoAndEight) {
    std::pair<unsigned, std::size_t> const cases[] = {{0, 2}, {3, 2},  {4, 2},  {7, 3},
                                                      {9, 4}, {17, 8}, {18, 8}, {64, 8}};
    for (auto [hardware, expected] : cases) {
        EXPECT_EQ(detail::optimalThreadCountFor(hardware), expected) << hardware;
    }
}

// Wraps a real downloader: counts downloads running at once, holds them until `holdUntil` have
// been inside together, and can make the last-modified lookup throw.
class ObservingDownloader : public IResourceDownloader {
  public:
    explicit ObservingDownloader(std::shared_ptr<IResourceDownloader> inner)
        : inner(std::move(inner)) {}

    Result exec(Task task) const override {
        for (int now = ++running, seen = maxRunning;
             seen < now && !maxRunning.compare_exchange_weak(seen, now);) {
        }
        Support::waitUntil([&] { return maxRunning >= holdUntil; });
        Result const result = inner->exec(std::move(task));
        --running;
        return result;
    }
    void abort() override { inner->abort(); }
    int64_t requestLastModified(ResourceDescriptor const* descriptor) const override {
        if (throwOnLastModified) {
            throw std::runtime_error("last-modified lookup failed");
        }
        return inner->requestLastModified(descriptor);
    }

    std::shared_ptr<IResourceDownloader> inner;
    int holdUntil = 0;
    mutable std::atomic<int> running{0}, maxRunning{0};
    bool throwOnLastModified = false;
};

using ManagerTest = Support::LocalFiles;

TEST_F(ManagerTest, WithoutInitThereIsNothingToRunAbortOrStart) {
    ResourceDownloadManager manager;
    EXPECT_EQ(manager.getMainScheduler(), nullptr);
    EXPECT_FALSE(manager.processCurrentQueueQuant());
    manager.abort();
    manager.abort();
    EXPECT_THROW(manager.startEventLoopThread(), std::logic_error);
}

// A task's exception reaches a host that drives the passes itself; on the event-loop thread it
// is logged, and the thread, idle after the failed pass, still picks up new work.
TEST_F(ManagerTest, ATaskExceptionReachesAHostPassAndTheEventLoopThreadSurvivesIt) {
    dir.write("server/b.txt", "bravo");
    // IfModified asks the server only about an existing file.
    dir.write("out/a.txt", "old");
    dir.write("out/c.txt", "old");
    auto downloader = std::make_shared<ObservingDownloader>(fileDownloader());
    downloader->throwOnLastModified = true;
    Support::LogCapture log;
    ResourceDownloadManager manager;
    init(manager, {}, downloader);
    auto scheduler = manager.getMainScheduler();
    scheduler->registerAutoSchedule(&bundleOf({"a.txt"}, "", ResourceDescriptor::IfModified),
                                    ISchedulableResource::Normal);
    EXPECT_THROW(manager.processCurrentQueue(), std::runtime_error);

    manager.startEventLoopThread();
    EXPECT_THROW(manager.startEventLoopThread(), std::logic_error);
    scheduler->registerAutoSchedule(&bundleOf({"c.txt"}, "", ResourceDescriptor::IfModified),
                                    ISchedulableResource::Normal);
    ASSERT_TRUE(Support::waitUntil([&] {
        return testing::Value(log.errors(),
                              testing::Contains(testing::HasSubstr(
                                  "Download pass failed: last-modified lookup failed")));
    }));
    auto* resource =
        scheduler->registerAutoSchedule(&bundleOf({"b.txt"}), ISchedulableResource::Normal);
    EXPECT_TRUE(Support::waitUntil(
        [&] { return resource->getCurrentState().status == IRemoteResource::Available; }));
    manager.abort();  // returns only once the idle thread has ended
    manager.abort();
}

TEST_F(ManagerTest, ParallelExecutorRunsSeveralDownloadsAtOnce) {
    auto& bundle = bundleOf({"file0", "file1", "file2", "file3", "file4", "file5"});
    for (ResourceDescriptor const* file : bundle.descriptors) {
        dir.write("server/" + file->remotePath, file->remotePath);
    }
    auto downloader = std::make_shared<ObservingDownloader>(fileDownloader());
    downloader->holdUntil = 3;  // downloads wait until three have been inside at once
    ResourceDownloadManager manager;
    init(manager, {/*useParallelExecutor=*/true, /*threadCount=*/3}, downloader);
    auto* resource =
        manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    auto const progress = [&] { return resource->getCurrentState().progress; };
    Support::Watchdog watchdog("processCurrentQueue", Support::whileMoving(progress),
                               [&] { manager.abort(); });
    manager.processCurrentQueue();
    EXPECT_EQ(resource->getCurrentState().status, IRemoteResource::Available);
    EXPECT_EQ(downloader->maxRunning, 3);
}

TEST_F(ManagerTest, APendingRetryPauseIsCutShortByNewWork) {
    // Missing sources fail with GeneralError, retried once each by the main worker: after three
    // retries back to back, the fourth waits for a pause of up to 5 s.
    auto& failing = bundleOf({"missing1", "missing2", "missing3", "missing4"});
    dir.write("server/late.txt", "late");
    auto& late = bundleOf({"late.txt"});
    ResourceDownloadManager manager;
    init(manager);
    auto scheduler = manager.getMainScheduler();
    scheduler->registerAutoSchedule(&failing, ISchedulableResource::Normal);
    EXPECT_TRUE(manager.processCurrentQueueQuant());  // the four first attempts
    for (int retry = 0; retry < 3; ++retry) {
        EXPECT_TRUE(manager.processCurrentQueueQuant());  // Retried
        EXPECT_TRUE(manager.processCurrentQueueQuant());  // runs the retry
    }

    std::atomic<bool> passReturned{false};
    IRemoteResource* lateResource = scheduler->registerResource(&late);
    std::thread poster([&] {
        // The pass may start waiting only after the first offer, so keep offering until it ends.
        while (!passReturned) {
            lateResource->scheduleDownload(ISchedulableResource::Normal);
            Support::waitUntil([&] { return passReturned.load(); }, std::chrono::milliseconds(20));
        }
    });
    auto const start = std::chrono::steady_clock::now();
    EXPECT_TRUE(manager.processCurrentQueueQuant());
    auto const took = std::chrono::steady_clock::now() - start;
    passReturned = true;
    poster.join();
    EXPECT_LT(took, std::chrono::seconds(4)) << "the pause ran its full length";
    manager.processCurrentQueue();
    EXPECT_EQ(lateResource->getCurrentState().status, IRemoteResource::Available);
}

// What a host may do to the manager from inside a notification callback, on each thread a
// callback can run on: abort it, join its thread, wait on a resource, destroy it, register more.
enum class Where { EventLoopThread, PoolThread, QtApplicationThread, HostPass };
enum class Action { Abort, Join, Wait, Destroy, Register };

// A manager destroyed inside a callback keeps its internals, which refer to the registered
// descriptors and bundles until the process ends (its event-loop thread may still be finishing a
// task when the test moves on): so they are never freed.
class CallbackEdgesTest : public Support::LocalFiles {
  protected:
    CallbackEdgesTest() : LocalFiles(/*keepForever=*/true) {}
    ResourceDescriptorBundle& published(std::string const& name) {
        dir.write("server/" + name, name);
        return bundleOf({name});
    }
};

TEST_F(CallbackEdgesTest, EachCallFromACallbackEndsWithoutAHangOrACrash) {
    char const* const whereName[] = {"event-loop thread", "pool thread", "Qt thread", "host pass"};
    char const* const actionName[] = {"abort", "join", "wait", "destroy", "register"};
    for (int n = 0; n < 20; ++n) {  // every pair of Where and Action
        Where const where = Where(n / 5);
        Action const action = Action(n % 5);
        SCOPED_TRACE(std::string(actionName[int(action)]) + " on the " + whereName[int(where)]);
        Support::QtApplication qt;
        Support::LogCapture log;
        auto& first = published("first-" + std::to_string(n));
        auto& second = published("second-" + std::to_string(n));
        auto manager = std::make_unique<ResourceDownloadManager>();
        init(*manager, {where == Where::PoolThread, 2, where == Where::QtApplicationThread});
        std::shared_ptr<RemoteResourceScheduler> scheduler = manager->getMainScheduler();

        std::atomic<bool> returned{false}, threw{false};
        std::atomic<IRemoteResource*> registered{nullptr};
        std::thread::id callbackThread;
        // Indexed by Action.
        std::function<void()> const calls[] = {
            [&] { manager->abort(); },
            [&] { manager->joinEventLoopThread(); },
            [&] {
                waitUntilSettled(scheduler->registerResource(&second), Support::kGenerousDeadline);
            },
            [&] { manager.reset(); },
            [&] {
                registered = scheduler->registerAutoSchedule(&second, ISchedulableResource::Normal);
            },
        };
        RemoteResourceEventHandlerCallback handler;
        Support::listen(handler, {IRemoteResource::Available}, [&](IRemoteResource::State) {
            callbackThread = std::this_thread::get_id();
            try {
                calls[int(action)]();
            } catch (std::logic_error const&) {
                threw = true;
            }
            returned = true;
        });
        IRemoteResource* resource = scheduler->registerResource(&first);
        handler.registerWithin(resource);
        if (where == Where::HostPass) {
            // The callback runs on this thread, inside the pass; a manager destroyed there
            // leaves the pass to end on its kept internals.
            resource->scheduleDownload(ISchedulableResource::Normal);
            manager->processCurrentQueue();
        } else {
            manager->startEventLoopThread();
            resource->scheduleDownload(ISchedulableResource::Normal);
        }

        ASSERT_TRUE(Support::pumpUntil([&] { return returned.load(); },
                                       [&] { return resource->getCurrentState().toDebugString(); }))
            << "the callback did not return";
        EXPECT_EQ(callbackThread == std::this_thread::get_id(),
                  where == Where::QtApplicationThread || where == Where::HostPass);
        EXPECT_EQ(threw.load(), action == Action::Join || action == Action::Wait);
        if (action == Action::Register) {
            ASSERT_NE(registered.load(), nullptr);
            EXPECT_TRUE(Support::waitUntil([&] {
                QCoreApplication::processEvents();
                return registered.load()->getCurrentState().status == IRemoteResource::Available;
            }));
        }
        EXPECT_THAT(log.errors(),
                    testing::Contains(testing::HasSubstr("ResourceDownloadManager destroyed"))
                        .Times(action == Action::Destroy ? 1 : 0));
        if (manager) {
            // A host thread outside callbacks: joins whatever the callback could not.
            manager->abort();
        } else {
            // The internals were kept: the resource still answers, aborted.
            EXPECT_EQ(resource->getCurrentState().status, IRemoteResource::Available);
        }
    }
}

// The default components against a loopback web server (the HTTP downloader over the libcurl
// client, Qt's system proxy lookup, no proxy being set in the test environment, and the stubs):
// a host-driven pass serves the init worker first, even when the main worker's work came first
// and with a higher priority; only the main worker retries.
TEST_F(ManagerTest, DefaultComponentsServeTheInitWorkerFirstAndOnlyTheMainWorkerRetries) {
    Support::HttpTestServer server;
    // Each flaky path answers 500 once, then serves its file.
    server.addFlakyFile("/files/init.txt", "init", 1);
    server.addFlakyFile("/files/main.txt", "main", 1);
    auto& initBundle = bundleOf({"init.txt"}, server.url("/files"));
    auto& mainBundle = bundleOf({"main.txt"}, server.url("/files"));
    ResourceDownloadManager manager;
    manager.init({}, {});
    auto* mainResource =
        manager.getMainScheduler()->registerAutoSchedule(&mainBundle, ISchedulableResource::High);
    auto* initResource =
        manager.getInitScheduler()->registerAutoSchedule(&initBundle, ISchedulableResource::Low);
    EXPECT_TRUE(manager.processCurrentQueueQuant());
    EXPECT_EQ(initResource->getCurrentState().status, IRemoteResource::Error);
    EXPECT_EQ(mainResource->getCurrentState().status, IRemoteResource::Waiting);
    manager.processCurrentQueue();

    EXPECT_EQ(initResource->getCurrentState().error, IRemoteResource::GeneralError);
    EXPECT_EQ(server.requestCount("/files/init.txt"), 1u);
    EXPECT_EQ(mainResource->getCurrentState().status, IRemoteResource::Available);
    EXPECT_EQ(server.requestCount("/files/main.txt"), 2u);
    EXPECT_EQ(Support::TempDir::read(dir.file("out/main.txt")), "main");
    EXPECT_FALSE(manager.processCurrentQueueQuant()) << "nothing is left to do";
}

}  // namespace
}  // namespace Tiskel::App
