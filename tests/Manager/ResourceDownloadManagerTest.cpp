#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

#include "Support/HttpTestServer.h"
#include "Support/LogCapture.h"
#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

namespace Support = ::Tiskel::Test;

using State = IRemoteResource::State;

TEST(OptimalThreadCount, HalfTheHardwareThreadsBetweenTwoAndEight) {
    struct Case {
        unsigned hardware;
        std::size_t expected;
    };
    for (Case c : {Case{0, 2}, Case{3, 2}, Case{4, 2}, Case{7, 3}, Case{8, 4}, Case{9, 4},
                   Case{16, 8}, Case{17, 8}, Case{18, 8}, Case{64, 8}}) {
        EXPECT_EQ(detail::optimalThreadCountFor(c.hardware), c.expected) << c.hardware;
    }
    std::size_t const actual = ResourceDownloadManager::getOptimalThreadCount();
    EXPECT_EQ(actual, detail::optimalThreadCountFor(std::thread::hardware_concurrency()));
}

// Wraps a real downloader, counting calls and the downloads running at once, and optionally
// holding every download until `release` (or until `hold` downloads are inside at once).
class ObservingDownloader : public IResourceDownloader {
  public:
    explicit ObservingDownloader(std::shared_ptr<IResourceDownloader> inner)
        : inner(std::move(inner)) {}

    Result exec(Task task) const override {
        int const now = ++running;
        int seen = maxRunning.load();
        while (now > seen && !maxRunning.compare_exchange_weak(seen, now)) {
        }
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.notify_all();
            changed.wait_for(lock, Support::kGenerousDeadline,
                             [&] { return !held || maxRunning.load() >= holdUntilInside; });
        }
        Result const result = inner->exec(std::move(task));
        --running;
        ++calls;
        return result;
    }
    void abort() override { inner->abort(); }
    int64_t requestLastModified(ResourceDescriptor const* descriptor) const override {
        if (throwOnLastModified) {
            throw std::runtime_error("last-modified lookup failed");
        }
        return inner->requestLastModified(descriptor);
    }

    // Downloads wait inside `exec` until `count` of them have been inside at once.
    void holdUntil(int count) {
        std::lock_guard<std::mutex> lock(mutex);
        held = true;
        holdUntilInside = count;
    }

    std::shared_ptr<IResourceDownloader> inner;
    mutable std::atomic<int> running{0};
    mutable std::atomic<int> maxRunning{0};
    mutable std::atomic<int> calls{0};
    std::atomic<bool> throwOnLastModified{false};

  private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool held = false;
    int holdUntilInside = 0;
};

// A folder that stands for the server, an output folder, and descriptors between them.
class ManagerTest : public ::testing::Test {
  protected:
    ResourceDescriptor& describe(
        std::string const& remotePath,
        ResourceDescriptor::UpdatePolicy policy = ResourceDescriptor::Always) {
        auto& d = descriptors.emplace_back();
        d.localPath = dir.file("out/" + remotePath);
        d.downloadPath = d.localPath;
        d.tempPath = dir.file("out/" + remotePath + ".part");
        d.remotePath = remotePath;
        d.category = "test";
        d.name = remotePath;
        d.updatePolicy = policy;
        return d;
    }

    std::string serve(std::string const& remotePath, std::string const& content) {
        return dir.write("server/" + remotePath, content);
    }

    std::shared_ptr<ResourceDownloaderFileMock> fileDownloader(int rateKiBps = 1 << 20) {
        return std::make_shared<ResourceDownloaderFileMock>(ioPath(dir.file("server")), rateKiBps);
    }

    Support::TempDir dir;
    std::deque<ResourceDescriptor> descriptors;  // stable addresses
    std::deque<ResourceDescriptorBundle> bundles;

    ResourceDescriptorBundle& bundleOf(std::initializer_list<ResourceDescriptor const*> items) {
        auto& bundle = bundles.emplace_back();
        bundle.descriptors.insert(items.begin(), items.end());
        return bundle;
    }

    void SetUp() override { dir.write("out/.keep", ""); }
};

TEST_F(ManagerTest, SchedulersExistOnlyAfterInit) {
    ResourceDownloadManager manager;
    EXPECT_EQ(manager.getInitScheduler(), nullptr);
    EXPECT_EQ(manager.getMainScheduler(), nullptr);
    EXPECT_FALSE(manager.processCurrentQueueQuant());
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = fileDownloader();
    manager.init({}, deps);
    ASSERT_NE(manager.getInitScheduler(), nullptr);
    ASSERT_NE(manager.getMainScheduler(), nullptr);
    EXPECT_NE(manager.getInitScheduler(), manager.getMainScheduler());
}

TEST_F(ManagerTest, AbortAndDestructionWithoutInitAreHarmless) {
    ResourceDownloadManager manager;
    manager.abort();
    manager.abort();
    manager.joinEventLoopThread();
    EXPECT_THROW(manager.startEventLoopThread(), std::logic_error);
}

TEST_F(ManagerTest, HostDrivenPassesBringBundlesToAvailable) {
    serve("a.txt", "alpha");
    serve("b.txt", "bravo");
    auto& bundle = bundleOf({&describe("a.txt"), &describe("b.txt")});
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = fileDownloader();
    manager.init({}, deps);

    IRemoteResource* resource =
        manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    EXPECT_EQ(resource->getCurrentState().status, IRemoteResource::Waiting);
    manager.processCurrentQueue();

    State const state = resource->getCurrentState();
    EXPECT_EQ(state.status, IRemoteResource::Available);
    EXPECT_EQ(state.error, IRemoteResource::NoError);
    EXPECT_EQ(Support::TempDir::read(dir.file("out/a.txt")), "alpha");
    EXPECT_EQ(Support::TempDir::read(dir.file("out/b.txt")), "bravo");
    EXPECT_FALSE(manager.processCurrentQueueQuant()) << "nothing is left to do";
}

TEST_F(ManagerTest, TheInitWorkerIsServedBeforeTheMainWorker) {
    serve("init.txt", "first");
    serve("main.txt", "second");
    auto& initBundle = bundleOf({&describe("init.txt")});
    auto& mainBundle = bundleOf({&describe("main.txt")});
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = fileDownloader();
    manager.init({}, deps);

    // Registered main first: order of registration must not matter.
    IRemoteResource* mainResource =
        manager.getMainScheduler()->registerAutoSchedule(&mainBundle, ISchedulableResource::High);
    IRemoteResource* initResource =
        manager.getInitScheduler()->registerAutoSchedule(&initBundle, ISchedulableResource::Low);

    EXPECT_TRUE(manager.processCurrentQueueQuant());
    EXPECT_EQ(initResource->getCurrentState().status, IRemoteResource::Available);
    EXPECT_EQ(mainResource->getCurrentState().status, IRemoteResource::Waiting);
    EXPECT_TRUE(manager.processCurrentQueueQuant());
    EXPECT_EQ(mainResource->getCurrentState().status, IRemoteResource::Available);
}

TEST_F(ManagerTest, EventLoopThreadRunsNewWorkAndEndsOnAbort) {
    serve("a.txt", "alpha");
    serve("b.txt", "bravo");
    auto& first = bundleOf({&describe("a.txt")});
    auto& second = bundleOf({&describe("b.txt")});
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = fileDownloader();
    manager.init({}, deps);
    manager.startEventLoopThread();
    EXPECT_THROW(manager.startEventLoopThread(), std::logic_error);

    auto scheduler = manager.getMainScheduler();
    IRemoteResource* a = scheduler->registerAutoSchedule(&first, ISchedulableResource::Normal);
    ASSERT_TRUE(Support::waitUntil(
        [&] { return a->getCurrentState().status == IRemoteResource::Available; }));
    // The thread is idle now; new work wakes it.
    IRemoteResource* b = scheduler->registerAutoSchedule(&second, ISchedulableResource::Normal);
    ASSERT_TRUE(Support::waitUntil(
        [&] { return b->getCurrentState().status == IRemoteResource::Available; }));

    manager.abort();  // returns only once the idle thread has ended
    manager.abort();
}

TEST_F(ManagerTest, EventLoopLogsAFailedPassAndGoesOn) {
    serve("a.txt", "alpha");
    serve("b.txt", "bravo");
    auto& failing = bundleOf({&describe("a.txt", ResourceDescriptor::IfModified)});
    auto& fine = bundleOf({&describe("b.txt")});
    dir.write("out/a.txt", "old");  // IfModified asks the server only for an existing file
    auto downloader = std::make_shared<ObservingDownloader>(fileDownloader());
    downloader->throwOnLastModified = true;
    Support::LogCapture log;
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = downloader;
    manager.init({}, deps);
    manager.startEventLoopThread();

    auto scheduler = manager.getMainScheduler();
    scheduler->registerAutoSchedule(&failing, ISchedulableResource::Normal);
    ASSERT_TRUE(Support::waitUntil([&] {
        for (auto const& line : log.lines()) {
            if (line.severity == google::GLOG_ERROR &&
                line.text.find("last-modified lookup failed") != std::string::npos) {
                return true;
            }
        }
        return false;
    }));
    IRemoteResource* b = scheduler->registerAutoSchedule(&fine, ISchedulableResource::Normal);
    EXPECT_TRUE(Support::waitUntil(
        [&] { return b->getCurrentState().status == IRemoteResource::Available; }));
    manager.abort();
}

TEST_F(ManagerTest, HostDrivenPassLetsATaskExceptionReachTheHost) {
    serve("a.txt", "alpha");
    dir.write("out/a.txt", "old");
    auto& bundle = bundleOf({&describe("a.txt", ResourceDescriptor::IfModified)});
    auto downloader = std::make_shared<ObservingDownloader>(fileDownloader());
    downloader->throwOnLastModified = true;
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = downloader;
    manager.init({}, deps);
    manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    EXPECT_THROW(manager.processCurrentQueue(), std::runtime_error);
}

TEST_F(ManagerTest, AbortDuringATransferReturnsPromptlyAndKeepsTheOldFile) {
    serve("big.bin", std::string(4 << 20, 'n'));  // 4 MiB at 64 KiB/s would take a minute
    dir.write("out/big.bin", "previous version");
    auto& descriptor = describe("big.bin");
    auto& bundle = bundleOf({&descriptor});
    auto downloader = std::make_shared<ObservingDownloader>(fileDownloader(64));
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = downloader;
    manager.init({}, deps);
    manager.startEventLoopThread();
    IRemoteResource* resource =
        manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    ASSERT_TRUE(Support::waitUntil([&] { return downloader->running.load() == 1; }));
    ASSERT_TRUE(Support::waitUntil(
        [&] { return resource->getCurrentState().status == IRemoteResource::Downloading; }));

    auto const start = std::chrono::steady_clock::now();
    manager.abort();
    auto const took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(10)) << "abort waited for the whole transfer";
    EXPECT_EQ(downloader->running.load(), 0);
    EXPECT_FALSE(std::filesystem::exists(descriptor.tempPath.string()));
    EXPECT_EQ(Support::TempDir::read(dir.file("out/big.bin")), "previous version");
    manager.abort();  // the destructor repeats it once more
}

TEST_F(ManagerTest, ParallelExecutorRunsSeveralDownloadsAtOnce) {
    auto& bundle = bundleOf({});
    for (int i = 0; i < 6; ++i) {
        std::string const name = "file" + std::to_string(i) + ".txt";
        serve(name, name);
        bundle.descriptors.insert(&describe(name));
    }
    auto downloader = std::make_shared<ObservingDownloader>(fileDownloader());
    downloader->holdUntil(3);  // passes only when three downloads are inside at once
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = downloader;
    ResourceDownloadManager::Params params;
    params.useParallelExecutor = true;
    params.threadCount = 3;
    manager.init(params, deps);
    IRemoteResource* resource =
        manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    manager.processCurrentQueue();

    EXPECT_EQ(resource->getCurrentState().status, IRemoteResource::Available);
    EXPECT_EQ(downloader->maxRunning.load(), 3);
    EXPECT_EQ(downloader->calls.load(), 6);
}

TEST_F(ManagerTest, WithoutParallelExecutorTheThreadCountIsIgnored) {
    auto& bundle = bundleOf({});
    for (int i = 0; i < 3; ++i) {
        std::string const name = "file" + std::to_string(i) + ".txt";
        serve(name, name);
        bundle.descriptors.insert(&describe(name));
    }
    auto downloader = std::make_shared<ObservingDownloader>(fileDownloader());
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = downloader;
    ResourceDownloadManager::Params params;
    params.threadCount = 3;
    manager.init(params, deps);
    manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    manager.processCurrentQueue();
    EXPECT_EQ(downloader->calls.load(), 3);
    EXPECT_EQ(downloader->maxRunning.load(), 1);
}

TEST_F(ManagerTest, APendingRetryPauseIsCutShortByNewWork) {
    // A source that does not exist fails with GeneralError: the main worker retries it once.
    // Three failing files give three back-to-back retries, after which a pause is due.
    auto& failing = bundleOf({&describe("missing1"), &describe("missing2"), &describe("missing3"),
                              &describe("missing4")});
    serve("late.txt", "late");
    auto& late = bundleOf({&describe("late.txt")});
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = fileDownloader();
    manager.init({}, deps);
    auto scheduler = manager.getMainScheduler();
    IRemoteResource* failingResource =
        scheduler->registerAutoSchedule(&failing, ISchedulableResource::Normal);

    // Run passes until the next one is the paused one: four failures queued, three retried.
    EXPECT_TRUE(manager.processCurrentQueueQuant());  // runs the four first attempts
    for (int retry = 0; retry < 3; ++retry) {
        EXPECT_TRUE(manager.processCurrentQueueQuant());  // Retried
        EXPECT_TRUE(manager.processCurrentQueueQuant());  // runs the retry
    }
    EXPECT_EQ(failingResource->getCurrentState().status, IRemoteResource::Error);

    // The next pass pauses up to 5 s; new work arriving from another thread ends the pause.
    std::atomic<bool> passReturned{false};
    IRemoteResource* lateResource = nullptr;
    std::thread poster([&] {
        // Keep offering work until the pass has returned: the pass may start waiting only after
        // the first offer.
        lateResource = scheduler->registerResource(&late);
        while (!passReturned.load()) {
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
    manager.abort();
}

TEST_F(ManagerTest, QtNotificationQueueDeliversOnTheApplicationThread) {
    int argc = 1;
    char name[] = "rdm_manager_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

    serve("a.txt", "alpha");
    auto& bundle = bundleOf({&describe("a.txt")});
    ResourceDownloadManager manager;
    ResourceDownloadManager::Dependencies deps;
    deps.downloader = fileDownloader();
    ResourceDownloadManager::Params params;
    params.useQtNotificationQueue = true;
    manager.init(params, deps);

    std::vector<std::thread::id> threads;
    std::vector<IRemoteResource::DownloadStatus> statuses;
    {
        RemoteResourceEventHandlerCallback handler;
        handler.setCallback([&](State state) {
            threads.push_back(std::this_thread::get_id());
            statuses.push_back(state.status);
        });
        IRemoteResource::NotificationParams notificationParams;
        notificationParams.statuses = {IRemoteResource::Downloading, IRemoteResource::Available};
        handler.setNotificationParams(notificationParams);
        IRemoteResource* resource = manager.getMainScheduler()->registerResource(&bundle);
        handler.registerWithin(resource);
        manager.startEventLoopThread();
        resource->scheduleDownload(ISchedulableResource::Normal);

        ASSERT_TRUE(Support::waitUntil([&] {
            QCoreApplication::processEvents();
            return !statuses.empty() && statuses.back() == IRemoteResource::Available;
        }));
        manager.abort();
    }
    EXPECT_EQ(statuses.front(), IRemoteResource::Downloading);
    for (auto const& id : threads) {
        EXPECT_EQ(id, std::this_thread::get_id());
    }
}

// The default components against a loopback web server: HTTP downloader over the libcurl
// client, Qt's system proxy lookup (no proxy is configured in the test environment), stubs.
class ManagerHttpTest : public ManagerTest {
  protected:
    ResourceDescriptor& describeRemote(std::string const& remotePath) {
        auto& d = describe(remotePath);
        d.baseUrl = server.url("/files");
        return d;
    }

    Support::HttpTestServer server;
};

TEST_F(ManagerHttpTest, DefaultComponentsDownloadOverHttp) {
    server.addFile("/files/a.txt", "alpha", 1700000000);
    server.addFile("/files/b.txt", std::string(300000, 'b'));
    auto& bundle = bundleOf({&describeRemote("a.txt"), &describeRemote("b.txt")});
    ResourceDownloadManager manager;
    manager.init({}, {});
    IRemoteResource* resource =
        manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    manager.processCurrentQueue();

    EXPECT_EQ(resource->getCurrentState().status, IRemoteResource::Available);
    EXPECT_EQ(Support::TempDir::read(dir.file("out/a.txt")), "alpha");
    EXPECT_EQ(Support::TempDir::read(dir.file("out/b.txt")), std::string(300000, 'b'));
}

TEST_F(ManagerHttpTest, OnlyTheMainSchedulerRetriesAFailedDownload) {
    // Each path answers 500 once, then serves its file.
    server.addFlakyFile("/files/init.txt", "init", 1);
    server.addFlakyFile("/files/main.txt", "main", 1);
    auto& initBundle = bundleOf({&describeRemote("init.txt")});
    auto& mainBundle = bundleOf({&describeRemote("main.txt")});
    ResourceDownloadManager manager;
    manager.init({}, {});
    IRemoteResource* initResource =
        manager.getInitScheduler()->registerAutoSchedule(&initBundle, ISchedulableResource::Normal);
    IRemoteResource* mainResource =
        manager.getMainScheduler()->registerAutoSchedule(&mainBundle, ISchedulableResource::Normal);
    manager.processCurrentQueue();

    State const initState = initResource->getCurrentState();
    EXPECT_EQ(initState.status, IRemoteResource::Error);
    EXPECT_EQ(initState.error, IRemoteResource::GeneralError);
    EXPECT_EQ(server.requestCount("/files/init.txt"), 1u);
    EXPECT_EQ(mainResource->getCurrentState().status, IRemoteResource::Available);
    EXPECT_EQ(server.requestCount("/files/main.txt"), 2u);
    EXPECT_EQ(Support::TempDir::read(dir.file("out/main.txt")), "main");
}

TEST_F(ManagerHttpTest, AbortDuringAStalledTransferReturnsPromptlyAndKeepsTheOldFile) {
    server.addFault("/files/big.bin", std::string(1 << 20, 'x'),
                    Support::HttpTestServer::Fault::Stall, 64 * 1024);
    dir.write("out/big.bin", "previous version");
    auto& descriptor = describeRemote("big.bin");
    auto& bundle = bundleOf({&descriptor});
    ResourceDownloadManager manager;
    manager.init({}, {});
    manager.startEventLoopThread();
    manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    ASSERT_TRUE(Support::waitUntil([&] { return server.stalledNow() == 1; }));

    auto const start = std::chrono::steady_clock::now();
    manager.abort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(std::filesystem::exists(descriptor.tempPath.string()));
    EXPECT_EQ(Support::TempDir::read(dir.file("out/big.bin")), "previous version");
}

}  // namespace
}  // namespace Tiskel::App
