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
using Status = IRemoteResource::DownloadStatus;

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
        {
            std::unique_lock<std::mutex> lock(mutex);
            maxRunning = std::max(maxRunning, ++running);
            changed.notify_all();
            changed.wait_for(lock, Support::kGenerousDeadline,
                             [&] { return maxRunning >= holdUntil; });
        }
        Result const result = inner->exec(std::move(task));
        std::lock_guard<std::mutex> lock(mutex);
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
    mutable int maxRunning = 0;
    bool throwOnLastModified = false;

  private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    mutable int running = 0;
};

// A folder that stands for the server ("server/"), an output folder ("out/") and descriptors
// between them.
class ManagerTest : public ::testing::Test {
  protected:
    ResourceDescriptorBundle& bundleOf(
        std::vector<std::string> const& remotePaths, std::string const& baseUrl = "",
        ResourceDescriptor::UpdatePolicy policy = ResourceDescriptor::Always) {
        auto& bundle = bundles.emplace_back();
        for (auto const& remotePath : remotePaths) {
            auto& d = descriptors.emplace_back();
            d.localPath = d.downloadPath = dir.file("out/" + remotePath);
            d.tempPath = dir.file("out/" + remotePath + ".part");
            d.remotePath = remotePath;
            d.baseUrl = baseUrl;
            d.updatePolicy = policy;
            bundle.descriptors.insert(&d);
        }
        return bundle;
    }

    void init(ResourceDownloadManager& manager, std::shared_ptr<IResourceDownloader> downloader,
              ResourceDownloadManager::Params params = {}) {
        ResourceDownloadManager::Dependencies deps;
        deps.downloader = std::move(downloader);
        manager.init(params, deps);
    }

    std::shared_ptr<ResourceDownloaderFileMock> fileDownloader() {
        return std::make_shared<ResourceDownloaderFileMock>(ioPath(dir.file("server")), 1 << 20);
    }

    void SetUp() override { dir.write("out/.keep", ""); }  // the host creates its folders

    static bool reaches(IRemoteResource* resource, Status status) {
        return Support::waitUntil([&] { return resource->getCurrentState().status == status; });
    }

    Support::TempDir dir;
    std::deque<ResourceDescriptor> descriptors;  // stable addresses
    std::deque<ResourceDescriptorBundle> bundles;
};

TEST_F(ManagerTest, WithoutInitThereIsNothingToRunAbortOrStart) {
    ResourceDownloadManager manager;
    EXPECT_EQ(manager.getMainScheduler(), nullptr);
    EXPECT_FALSE(manager.processCurrentQueueQuant());
    manager.abort();
    manager.abort();
    EXPECT_THROW(manager.startEventLoopThread(), std::logic_error);
}

TEST_F(ManagerTest, HostDrivenPassesServeTheInitWorkerFirst) {
    dir.write("server/init.txt", "first");
    dir.write("server/main.txt", "second");
    auto& mainBundle = bundleOf({"main.txt"});
    auto& initBundle = bundleOf({"init.txt"});
    ResourceDownloadManager manager;
    init(manager, fileDownloader());

    // Main registered first and with a higher priority: neither may put it ahead.
    auto* mainResource =
        manager.getMainScheduler()->registerAutoSchedule(&mainBundle, ISchedulableResource::High);
    auto* initResource =
        manager.getInitScheduler()->registerAutoSchedule(&initBundle, ISchedulableResource::Low);
    EXPECT_TRUE(manager.processCurrentQueueQuant());
    EXPECT_EQ(initResource->getCurrentState().status, IRemoteResource::Available);
    EXPECT_EQ(mainResource->getCurrentState().status, IRemoteResource::Waiting);

    manager.processCurrentQueue();
    EXPECT_EQ(mainResource->getCurrentState().status, IRemoteResource::Available);
    EXPECT_EQ(Support::TempDir::read(dir.file("out/main.txt")), "second");
    EXPECT_FALSE(manager.processCurrentQueueQuant()) << "nothing is left to do";
}

TEST_F(ManagerTest, EventLoopThreadPicksUpNewWorkAndSurvivesAFailingPass) {
    dir.write("server/a.txt", "alpha");
    dir.write("server/b.txt", "bravo");
    dir.write("out/a.txt", "old");  // IfModified asks the server only about an existing file
    auto& failing = bundleOf({"a.txt"}, "", ResourceDescriptor::IfModified);
    auto& fine = bundleOf({"b.txt"});
    auto downloader = std::make_shared<ObservingDownloader>(fileDownloader());
    downloader->throwOnLastModified = true;
    Support::LogCapture log;
    ResourceDownloadManager manager;
    init(manager, downloader);
    manager.startEventLoopThread();
    EXPECT_THROW(manager.startEventLoopThread(), std::logic_error);

    auto scheduler = manager.getMainScheduler();
    scheduler->registerAutoSchedule(&failing, ISchedulableResource::Normal);
    ASSERT_TRUE(Support::waitUntil([&] {
        return testing::Value(log.errors(),
                              testing::Contains(testing::HasSubstr("last-modified lookup failed")));
    }));
    // The thread went idle after the failed pass; new work wakes it.
    EXPECT_TRUE(reaches(scheduler->registerAutoSchedule(&fine, ISchedulableResource::Normal),
                        IRemoteResource::Available));
    manager.abort();  // returns only once the idle thread has ended
    manager.abort();
}

TEST_F(ManagerTest, HostDrivenPassLetsATaskExceptionReachTheHost) {
    dir.write("out/a.txt", "old");
    auto& bundle = bundleOf({"a.txt"}, "", ResourceDescriptor::IfModified);
    auto downloader = std::make_shared<ObservingDownloader>(fileDownloader());
    downloader->throwOnLastModified = true;
    ResourceDownloadManager manager;
    init(manager, downloader);
    manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    EXPECT_THROW(manager.processCurrentQueue(), std::runtime_error);
}

TEST_F(ManagerTest, ParallelExecutorRunsSeveralDownloadsAtOnce) {
    std::vector<std::string> names;
    for (int i = 0; i < 6; ++i) {
        names.push_back("file" + std::to_string(i));
        dir.write("server/" + names.back(), names.back());
    }
    auto& bundle = bundleOf(names);
    auto downloader = std::make_shared<ObservingDownloader>(fileDownloader());
    downloader->holdUntil = 3;  // downloads wait until three have been inside at once
    ResourceDownloadManager manager;
    ResourceDownloadManager::Params params;
    params.useParallelExecutor = true;
    params.threadCount = 3;
    init(manager, downloader, params);
    auto* resource =
        manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
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
    init(manager, fileDownloader());
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

// The default components against a loopback web server: the HTTP downloader over the libcurl
// client, Qt's system proxy lookup (no proxy is set in the test environment) and the stubs.
class ManagerHttpTest : public ManagerTest {
  protected:
    Support::HttpTestServer server;
};

TEST_F(ManagerHttpTest, DefaultComponentsDownloadAndOnlyTheMainSchedulerRetries) {
    // Each flaky path answers 500 once, then serves its file.
    server.addFlakyFile("/files/init.txt", "init", 1);
    server.addFlakyFile("/files/main.txt", "main", 1);
    server.addFile("/files/big.bin", std::string(300000, 'b'));
    auto& initBundle = bundleOf({"init.txt"}, server.url("/files"));
    auto& mainBundle = bundleOf({"main.txt", "big.bin"}, server.url("/files"));
    ResourceDownloadManager manager;
    manager.init({}, {});
    auto* initResource =
        manager.getInitScheduler()->registerAutoSchedule(&initBundle, ISchedulableResource::Normal);
    auto* mainResource =
        manager.getMainScheduler()->registerAutoSchedule(&mainBundle, ISchedulableResource::Normal);
    manager.processCurrentQueue();

    EXPECT_EQ(initResource->getCurrentState().status, IRemoteResource::Error);
    EXPECT_EQ(initResource->getCurrentState().error, IRemoteResource::GeneralError);
    EXPECT_EQ(server.requestCount("/files/init.txt"), 1u);
    EXPECT_EQ(mainResource->getCurrentState().status, IRemoteResource::Available);
    EXPECT_EQ(server.requestCount("/files/main.txt"), 2u);
    EXPECT_EQ(Support::TempDir::read(dir.file("out/main.txt")), "main");
    EXPECT_EQ(Support::TempDir::read(dir.file("out/big.bin")), std::string(300000, 'b'));
}

TEST_F(ManagerHttpTest, AbortDuringAStalledTransferReturnsPromptlyAndKeepsTheOldFile) {
    server.addFault("/files/big.bin", std::string(1 << 20, 'x'),
                    Support::HttpTestServer::Fault::Stall, 64 * 1024);
    dir.write("out/big.bin", "previous version");
    auto& bundle = bundleOf({"big.bin"}, server.url("/files"));
    ResourceDownloadManager manager;
    manager.init({}, {});
    manager.startEventLoopThread();
    manager.getMainScheduler()->registerAutoSchedule(&bundle, ISchedulableResource::Normal);
    ASSERT_TRUE(Support::waitUntil([&] { return server.stalledNow() == 1; }));

    auto const start = std::chrono::steady_clock::now();
    manager.abort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/big.bin.part")));
    EXPECT_EQ(Support::TempDir::read(dir.file("out/big.bin")), "previous version");
    manager.abort();  // and the destructor repeats it once more
}

}  // namespace
}  // namespace Tiskel::App
