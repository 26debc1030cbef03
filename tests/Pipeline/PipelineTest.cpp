// The scheduler assembled from the library's real parts, as a host would run it without the
// download manager: a task queue drained by a blocking executor, the file-backed downloader
// serving a temporary "server" directory, the real retrier and a tracer that logs everything.
// Only the validator and the post-processor are the test's own, because those belong to the host.

#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/DownloadRetrier.h"
#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/LogCapture.h"
#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

using Test::LogCapture;
using Test::TempDir;
using Test::waitUntil;
using testing::ElementsAre;
using testing::UnorderedElementsAre;
using Status = IRemoteResource::DownloadStatus;
using Error = IRemoteResource::DownloadError;

constexpr char kTracerUnit[] = "App/ResourceDownloadManager/EventTracer";
// Fast enough that the copies never pause.
constexpr int kUnpaced = 1000000;
// Files the validator accepts start with this.
constexpr char kMagic[] = "RES1";

// Content of `size` bytes that starts with the validator's magic and differs per `seed`.
std::string resourceContent(size_t size, char seed) {
    std::string content(std::max<size_t>(size, sizeof(kMagic)), '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(seed + i * 7 + i / 251);
    }
    std::copy(kMagic, kMagic + sizeof(kMagic) - 1, content.begin());
    return content;
}

ino_t inodeOf(ioPath const& path) {
    struct stat info {};
    if (::stat(path.string().c_str(), &info) != 0) {
        ADD_FAILURE() << "no file at " << path;
        return 0;
    }
    return info.st_ino;
}

void setModifiedTime(std::string const& path, time_t seconds) {
    struct timeval const times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

// A host validator: a file is valid when it starts with the magic. Reads the local file anew on
// every call, so it sees what the pipeline just wrote.
class MagicValidator : public IValidator {
  public:
    Result validate(ResourceDescriptor const* descriptor) const override {
        std::ifstream in(descriptor->localPath.string(), std::ios::binary);
        std::string head(sizeof(kMagic) - 1, '\0');
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        return in && head == kMagic ? Valid : Invalid;
    }
};

// A host post-processor that needs the network (say, to fetch a signature): it fails while the
// network-state checker reports Offline, and records every state it saw.
class NetworkBoundPostProcessor : public IPostProcessor {
  public:
    explicit NetworkBoundPostProcessor(std::shared_ptr<INetworkStateChecker> network)
        : network(std::move(network)) {}

    Result process(ResourceDescriptor const* /*descriptor*/) const override {
        INetworkStateChecker::State const state = network->getState();
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(state);
        return state == INetworkStateChecker::Online ? Processed : static_cast<Result>(1);
    }

    std::vector<INetworkStateChecker::State> states() const {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

  private:
    std::shared_ptr<INetworkStateChecker> const network;
    mutable std::mutex mutex;
    mutable std::vector<INetworkStateChecker::State> seen;
};

// What one subscriber to a bundle has heard, safe to read while deliveries arrive.
class Listener {
  public:
    Listener(IRemoteResource* resource, std::set<Status> statuses, bool notifyProgress = false,
             double granularity = 0.0) {
        handler.setCallback([this](IRemoteResource::State state) {
            std::lock_guard<std::mutex> lock(mutex);
            heard.push_back(state);
        });
        IRemoteResource::NotificationParams params;
        params.statuses = std::move(statuses);
        params.notifyProgress = notifyProgress;
        params.progressGranularity = granularity;
        handler.setNotificationParams(std::move(params));
        handler.registerWithin(resource);
    }

    std::vector<IRemoteResource::State> states() const {
        std::lock_guard<std::mutex> lock(mutex);
        return heard;
    }
    std::vector<Status> statuses() const {
        std::vector<Status> result;
        for (auto const& state : states()) {
            result.push_back(state.status);
        }
        return result;
    }

  private:
    mutable std::mutex mutex;
    std::vector<IRemoteResource::State> heard;
    // Last, so that it unregisters before the record of deliveries goes.
    RemoteResourceEventHandlerCallback handler;
};

// One start of the application: fresh services and a fresh scheduler over the same directories.
// Downloads wait in `downloads` until the test drains it with `executor`; notifications are
// delivered at once on the thread that changed the state.
struct Session {
    Session(ioPath const& serverRoot, std::shared_ptr<IValidator> const& validator,
            std::shared_ptr<IPostProcessor> const& postProcessor)
        : downloads(std::make_shared<Core::TaskQueue>()),
          notifications(std::make_shared<Core::TaskQueueImmediate>()),
          downloader(std::make_shared<ResourceDownloaderFileMock>(serverRoot, kUnpaced)),
          retrier(std::make_shared<DownloadRetrier>()),
          tracer(std::make_shared<EventTracer>(true)),
          scheduler(downloader, downloads, notifications, postProcessor, validator, tracer,
                    retrier) {}

    // Runs every queued pipeline on this thread; true when any ran.
    bool drain() { return executor.execQueue(*downloads) == 1; }

    std::shared_ptr<Core::TaskQueue> downloads;
    std::shared_ptr<Core::TaskQueueImmediate> notifications;
    std::shared_ptr<ResourceDownloaderFileMock> downloader;
    std::shared_ptr<DownloadRetrier> retrier;
    std::shared_ptr<EventTracer> tracer;
    Core::BlockingExecutor executor;
    RemoteResourceScheduler scheduler;
    // After the scheduler: listeners unregister before the resources go.
    std::deque<Listener> listeners;
};

class PipelineTest : public testing::Test {
  protected:
    PipelineTest() {
        std::filesystem::create_directories(dir.file("server/files"));
        std::filesystem::create_directories(dir.file("app"));
        start();
    }

    // Replaces the running session by a new one, as a restart of the application would.
    void start() {
        session.reset();
        session = std::make_unique<Session>(dir.ioFile("server"), validator, postProcessor);
    }

    // Puts `content` on the server as files/<name>, an hour old, and describes it with the given
    // policy; the download lands on the local path.
    ResourceDescriptor const* publish(std::string const& name, std::string const& content,
                                      ResourceDescriptor::UpdatePolicy policy) {
        std::string const source = dir.write("server/files/" + name, content);
        setModifiedTime(source, time(nullptr) - 3600);
        ResourceDescriptor& descriptor = descriptors.emplace_back();
        descriptor.id = name;
        descriptor.localPath = dir.file("app/" + name);
        descriptor.tempPath = dir.file("app/" + name + ".part");
        descriptor.downloadPath = descriptor.localPath;
        descriptor.category = "res";
        descriptor.name = name;
        descriptor.remotePath = "files/" + name;
        descriptor.baseUrl = "http://resources.invalid";
        descriptor.updatePolicy = policy;
        return &descriptor;
    }

    ResourceDescriptorBundle const* group(std::set<ResourceDescriptor const*> members) {
        ResourceDescriptorBundle& bundle = bundles.emplace_back();
        bundle.descriptors = std::move(members);
        return &bundle;
    }

    // Whether the local file holds `expected`; the contents are binary, so a mismatch reports
    // sizes rather than bytes.
    static testing::AssertionResult holds(ResourceDescriptor const* descriptor,
                                          std::string const& expected) {
        std::string actual;
        try {
            actual = TempDir::read(descriptor->localPath.string());
        } catch (std::exception const& error) {
            return testing::AssertionFailure() << error.what();
        }
        if (actual == expected) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << descriptor->localPath << " holds " << actual.size()
                                           << " other bytes instead of " << expected.size();
    }

    // Whether the local file is a copy of the file the server now has.
    testing::AssertionResult mirrors(ResourceDescriptor const* descriptor) const {
        return holds(descriptor, TempDir::read(dir.file("server/" + descriptor->remotePath)));
    }

    // Remote paths whose download was traced since the last call, in order.
    std::vector<std::string> takeDownloads() {
        std::vector<std::string> paths;
        for (auto const& line : log.textsFrom(kTracerUnit)) {
            if (line.rfind("Download ", 0) == 0) {
                paths.push_back(line.substr(std::string("Download ").size()));
            }
        }
        log.clear();
        return paths;
    }

    TempDir dir;
    LogCapture log;
    std::shared_ptr<MagicValidator> validator = std::make_shared<MagicValidator>();
    std::shared_ptr<IPostProcessor> postProcessor = std::make_shared<PostProcessorStub>();
    // Host records outlive every session.
    std::deque<ResourceDescriptor> descriptors;
    std::deque<ResourceDescriptorBundle> bundles;
    std::unique_ptr<Session> session;
};

// One file per update policy, one of them large enough to take several pieces. Each bundle is
// registered for automatic scheduling and followed from Waiting to Available.
class PolicyTest : public PipelineTest {
  protected:
    PolicyTest() {
        always =
            publish("always.bin", resourceContent(300 * 1024, 'a'), ResourceDescriptor::Always);
        validated =
            publish("validated.bin", resourceContent(2000, 'v'), ResourceDescriptor::Validate);
        ifMissing =
            publish("ifmissing.bin", resourceContent(10, 'm'), ResourceDescriptor::IfMissing);
        ifModified =
            publish("ifmodified.bin", resourceContent(5000, 'd'), ResourceDescriptor::IfModified);
        all = {always, validated, ifMissing, ifModified};
        for (auto const* descriptor : all) {
            bundleOf[descriptor] = group({descriptor});
        }
    }

    // Registers every bundle with automatic scheduling in the current session, with a listener.
    std::vector<IRemoteResource*> registerAll() {
        std::vector<IRemoteResource*> resources;
        for (auto const* descriptor : all) {
            IRemoteResource* resource = session->scheduler.registerAutoSchedule(
                bundleOf[descriptor], ISchedulableResource::Normal);
            session->listeners.emplace_back(resource,
                                            std::set<Status>{Status::Available, Status::Error});
            resources.push_back(resource);
        }
        return resources;
    }

    std::string sourceOf(ResourceDescriptor const* descriptor) const {
        return dir.file("server/" + descriptor->remotePath);
    }

    ResourceDescriptor const* always;
    ResourceDescriptor const* validated;
    ResourceDescriptor const* ifMissing;
    ResourceDescriptor const* ifModified;
    std::vector<ResourceDescriptor const*> all;
    std::map<ResourceDescriptor const*, ResourceDescriptorBundle const*> bundleOf;
};

TEST_F(PolicyTest, EveryPolicyFetchesAMissingFileAndLaterSchedulingsFetchOnlyUnderAlways) {
    std::vector<IRemoteResource*> const resources = registerAll();
    // Registration queues the runs but runs nothing.
    for (auto* resource : resources) {
        EXPECT_EQ(resource->getCurrentState().status, Status::Waiting);
    }
    EXPECT_FALSE(descriptors.front().localPath.exists());

    ASSERT_TRUE(session->drain());
    EXPECT_THAT(takeDownloads(),
                UnorderedElementsAre("files/always.bin", "files/validated.bin",
                                     "files/ifmissing.bin", "files/ifmodified.bin"));
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(all[i]->name);
        IRemoteResource::State const state = resources[i]->getCurrentState();
        EXPECT_EQ(state.status, Status::Available);
        EXPECT_EQ(state.error, Error::NoError);
        EXPECT_EQ(state.progress, 1.0);
        EXPECT_TRUE(mirrors(all[i]));
        EXPECT_FALSE(all[i]->tempPath.exists());
        EXPECT_THAT(session->listeners[i].statuses(), ElementsAre(Status::Available));
    }
    EXPECT_FALSE(session->drain());

    std::map<ResourceDescriptor const*, ino_t> inodes;
    for (auto const* descriptor : all) {
        inodes[descriptor] = inodeOf(descriptor->localPath);
    }
    for (auto* resource : resources) {
        resource->scheduleDownload(ISchedulableResource::Normal);
    }
    ASSERT_TRUE(session->drain());
    EXPECT_THAT(takeDownloads(), ElementsAre("files/always.bin"));
    EXPECT_NE(inodeOf(always->localPath), inodes[always]);
    for (auto const* descriptor : {validated, ifMissing, ifModified}) {
        EXPECT_EQ(inodeOf(descriptor->localPath), inodes[descriptor]) << descriptor->name;
    }
    for (auto* resource : resources) {
        EXPECT_EQ(resource->getCurrentState().status, Status::Available);
    }
}

TEST_F(PolicyTest, AfterARestartOnlyStaleFilesAreFetchedAgain) {
    registerAll();
    ASSERT_TRUE(session->drain());
    ASSERT_EQ(takeDownloads().size(), all.size());
    std::map<ResourceDescriptor const*, ino_t> inodes;
    for (auto const* descriptor : all) {
        inodes[descriptor] = inodeOf(descriptor->localPath);
    }

    // Nothing changed: the new session looks at each file and keeps all but the Always one.
    start();
    std::vector<IRemoteResource*> resources = registerAll();
    ASSERT_TRUE(session->drain());
    EXPECT_THAT(takeDownloads(), ElementsAre("files/always.bin"));
    for (auto const* descriptor : {validated, ifMissing, ifModified}) {
        EXPECT_EQ(inodeOf(descriptor->localPath), inodes[descriptor]) << descriptor->name;
    }
    for (auto* resource : resources) {
        EXPECT_EQ(resource->getCurrentState().status, Status::Available);
    }

    // Now each file is stale in the way its policy notices: the validated copy is damaged, the
    // IfMissing copy is gone and the server has a newer IfModified file.
    dir.write("app/validated.bin", "garbage");
    std::filesystem::remove(ifMissing->localPath.string());
    std::string const newer = resourceContent(7000, 'n');
    dir.write("server/files/ifmodified.bin", newer);
    setModifiedTime(sourceOf(ifModified), time(nullptr) + 3600);

    start();
    resources = registerAll();
    ASSERT_TRUE(session->drain());
    EXPECT_THAT(takeDownloads(),
                UnorderedElementsAre("files/always.bin", "files/validated.bin",
                                     "files/ifmissing.bin", "files/ifmodified.bin"));
    EXPECT_TRUE(mirrors(validated));
    EXPECT_TRUE(mirrors(ifMissing));
    EXPECT_TRUE(holds(ifModified, newer));
    for (auto* resource : resources) {
        EXPECT_EQ(resource->getCurrentState().status, Status::Available);
    }
}

TEST_F(PipelineTest, MissingSourceFailsOnceMoreOnItsRetryAndTheBundleEndsInError) {
    auto const* present =
        publish("present.bin", resourceContent(100, 'p'), ResourceDescriptor::Always);
    ResourceDescriptor const* absent = publish("absent.bin", "x", ResourceDescriptor::IfMissing);
    std::filesystem::remove(dir.file("server/files/absent.bin"));
    IRemoteResource* resource = session->scheduler.registerResource(group({present, absent}));
    Listener& listener = session->listeners.emplace_back(
        resource, std::set<Status>{Status::Available, Status::Error});

    resource->scheduleDownload(ISchedulableResource::Normal);
    ASSERT_TRUE(session->drain());
    EXPECT_THAT(takeDownloads(), UnorderedElementsAre("files/present.bin", "files/absent.bin"));
    IRemoteResource::State state = resource->getCurrentState();
    EXPECT_EQ(state.status, Status::Error);
    EXPECT_EQ(state.error, Error::GeneralError);

    // The retry runs the failed file alone, and fails the same way.
    EXPECT_EQ(session->retrier->check(), IDownloadRetrier::Retried);
    ASSERT_TRUE(session->drain());
    std::vector<std::string> const traced = log.textsFrom(kTracerUnit);
    EXPECT_THAT(takeDownloads(), ElementsAre("files/absent.bin"));
    EXPECT_EQ(
        std::count(traced.begin(), traced.end(), "/Download files/absent.bin, err:GeneralError"),
        1);

    // One retry is all a general error gets.
    EXPECT_EQ(session->retrier->check(), IDownloadRetrier::NothingToRetry);
    EXPECT_FALSE(session->drain());
    state = resource->getCurrentState();
    EXPECT_EQ(state.status, Status::Error);
    EXPECT_EQ(state.error, Error::GeneralError);
    EXPECT_EQ(state.progress, 0.5);
    EXPECT_THAT(listener.statuses(), ElementsAre(Status::Error));
    EXPECT_TRUE(mirrors(present));
    EXPECT_FALSE(absent->localPath.exists());
    EXPECT_FALSE(absent->tempPath.exists());
}

TEST_F(PipelineTest, OneDownloadingRunTracesItsStagesAndNotificationsInOrder) {
    // Three pieces: progress reports at 0 %, 42 % and 85 %; with a granularity of one half only
    // the last is worth a progress notification.
    auto const* descriptor =
        publish("logo.png", resourceContent(300 * 1024, 'l'), ResourceDescriptor::IfModified);
    IRemoteResource* resource = session->scheduler.registerResource(group({descriptor}));
    session->listeners.emplace_back(
        resource, std::set<Status>{Status::Downloading, Status::Available}, true, 0.5);
    log.clear();

    resource->scheduleDownload(ISchedulableResource::Normal);
    ASSERT_TRUE(session->drain());

    std::string const item = "[res/logo.png] ";
    std::string const group = "[G: res/logo.png, ..(0 more)] ";
    EXPECT_THAT(
        log.textsFrom(kTracerUnit),
        ElementsAre(item + "(Status: Waiting, err:NoError =0%) ExecScheduled ",
                    item + "(Status: Waiting, err:NoError =0%) Exec ", "Download files/logo.png",
                    group + "(Status: Downloading, err:NoError =0%) StatusNotification ",
                    group + "(Status: Downloading, err:NoError =0%) /StatusNotification ",
                    group + "(Status: Downloading, err:NoError =85%) ProgressNotification ",
                    group + "(Status: Downloading, err:NoError =85%) /ProgressNotification ",
                    group + "(Status: Available, err:NoError =100%) StatusNotification ",
                    group + "(Status: Available, err:NoError =100%) /StatusNotification ",
                    "/Download files/logo.png, err:NoError",
                    item + "(Status: Available, err:NoError =100%) /Exec "));
}

TEST_F(PipelineTest, OfflineMarkerFailsANetworkBoundPostProcessorUntilItIsRemoved) {
    std::string const marker = dir.file("offline");
    auto network = std::make_shared<NetworkStateEmulator>(ioPath(marker));
    auto processor = std::make_shared<NetworkBoundPostProcessor>(network);
    postProcessor = processor;
    start();
    ResourceDescriptor const* descriptor =
        publish("signed.bin", resourceContent(500, 's'), ResourceDescriptor::Always);
    descriptors.back().postProcessing = 1;

    dir.write("offline", "");
    IRemoteResource* resource =
        session->scheduler.registerAutoSchedule(group({descriptor}), ISchedulableResource::Normal);
    ASSERT_TRUE(session->drain());
    EXPECT_EQ(resource->getCurrentState().status, Status::Error);
    EXPECT_EQ(resource->getCurrentState().error, Error::Corrupted);

    // Back online: the retry downloads again and the post-processor now succeeds.
    std::filesystem::remove(marker);
    EXPECT_EQ(session->retrier->check(), IDownloadRetrier::Retried);
    ASSERT_TRUE(session->drain());
    EXPECT_EQ(resource->getCurrentState().status, Status::Available);
    EXPECT_THAT(processor->states(),
                ElementsAre(INetworkStateChecker::Offline, INetworkStateChecker::Online));
    EXPECT_THAT(takeDownloads(), ElementsAre("files/signed.bin", "files/signed.bin"));
}

TEST_F(PipelineTest, DriverThreadDownloadsWhileTheHostRegistersAndObserves) {
    std::vector<ResourceDescriptor const*> files;
    for (char name = 'a'; name <= 'e'; ++name) {
        files.push_back(publish(std::string(1, name) + ".bin", resourceContent(200 * 1024, name),
                                ResourceDescriptor::IfMissing));
    }
    // Two bundles sharing the middle file, registered while the driver is already waiting.
    ResourceDescriptorBundle const* first = group({files[0], files[1], files[2]});
    ResourceDescriptorBundle const* second = group({files[2], files[3], files[4]});

    Core::TaskQueueWatcher watcher(session->downloads.get());
    std::thread driver([this, &watcher] {
        while (watcher.isActive()) {
            if (!session->drain()) {
                watcher.waitForState(Core::ITaskQueueEventHandler::HasTasks,
                                     std::chrono::seconds(0));
            }
        }
    });

    IRemoteResource* one = session->scheduler.registerResource(first);
    Listener& heardOne = session->listeners.emplace_back(
        one, std::set<Status>{Status::Downloading, Status::Available, Status::Error}, true, 0.0);
    one->scheduleDownload(ISchedulableResource::High);
    IRemoteResource* two =
        session->scheduler.registerAutoSchedule(second, ISchedulableResource::Low);
    Listener& heardTwo =
        session->listeners.emplace_back(two, std::set<Status>{Status::Available, Status::Error});

    EXPECT_TRUE(waitUntil([&] {
        return one->getCurrentState().status == Status::Available &&
               two->getCurrentState().status == Status::Available;
    }));
    watcher.stop();
    driver.join();

    for (auto const* descriptor : files) {
        EXPECT_TRUE(mirrors(descriptor)) << descriptor->name;
    }
    std::vector<Status> const statusesOne = heardOne.statuses();
    ASSERT_FALSE(statusesOne.empty());
    EXPECT_EQ(statusesOne.front(), Status::Downloading);
    EXPECT_EQ(statusesOne.back(), Status::Available);
    // Deliveries come in the order the changes happened: the bundle's mean never falls.
    std::vector<IRemoteResource::State> const progress = heardOne.states();
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end(), [](auto const& a, auto const& b) {
        return a.progress < b.progress;
    }));
    EXPECT_THAT(heardTwo.statuses(), ElementsAre(Status::Available));
}

}  // namespace
}  // namespace Tiskel::App
