// Per-file observation: one subscriber on a bundle hears what happened to each of its files,
// with the decision of every run and the reason of every failure, from the code that knows it.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/DownloadRetrier.h"
#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/FileEvents.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/TempDir.h"

namespace Tiskel::App {
namespace {

using Status = IRemoteResource::DownloadStatus;

// Every event, copied out of the call.
struct Heard {
    ResourceDescriptor const* descriptor;
    ResourceDescriptorBundle const* bundle;
    Status status;
    uint64_t received;
    uint64_t total;
    bool hasOutcome;
    FileOutcome outcome;
};

class Recorder : public IFileEventHandler {
  public:
    void onFileEvent(FileEvent const& event) override {
        std::lock_guard<std::mutex> lock(mutex);
        heard.push_back({event.descriptor, event.bundle, event.state.status, event.bytesReceived,
                         event.bytesTotal, event.outcome != nullptr,
                         event.outcome != nullptr ? *event.outcome : FileOutcome{}});
    }
    std::vector<Heard> of(ResourceDescriptor const* file) const {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Heard> result;
        for (Heard const& event : heard) {
            if (event.descriptor == file) {
                result.push_back(event);
            }
        }
        return result;
    }

  private:
    mutable std::mutex mutex;
    std::vector<Heard> heard;
};

// Rejects every download while `reject` is set.
struct SwitchablePostProcessor : IPostProcessor {
    Result process(ResourceDescriptor const*) const override {
        return reject ? static_cast<Result>(1) : Processed;
    }
    std::atomic<bool> reject{false};
};

// The file-backed downloader, except that a Last-Modified query answers -1 through the old
// query alone, as a downloader that knows nothing of failed queries does.
struct NoServerTime : ResourceDownloaderFileMock {
    using ResourceDownloaderFileMock::ResourceDownloaderFileMock;
    int64_t requestLastModified(ResourceDescriptor const*) const override { return -1; }
    LastModified checkLastModified(ResourceDescriptor const* descriptor) const override {
        return IResourceDownloader::checkLastModified(descriptor);
    }
};

class FileEventsTest : public testing::Test {
  protected:
    // A file of 100 bytes on the server as files/<name>, described with `policy`.
    ResourceDescriptor& publish(std::string const& name, ResourceDescriptor::UpdatePolicy policy,
                                std::size_t size = 100) {
        dir.write("server/files/" + name, std::string(size, 'x'));
        ResourceDescriptor& descriptor = descriptors.emplace_back();
        descriptor.localPath = descriptor.downloadPath = dir.file(name);
        descriptor.tempPath = dir.file(name + ".part");
        descriptor.remotePath = "files/" + name;
        descriptor.updatePolicy = policy;
        return descriptor;
    }

    // A bundle of `files`, registered and followed by `recorder`.
    IRemoteResource* follow(std::vector<ResourceDescriptor const*> const& files,
                            FileEventParams const& params = {}) {
        ResourceDescriptorBundle& bundle = bundles.emplace_back();
        bundle.descriptors.insert(files.begin(), files.end());
        IRemoteResource* resource = scheduler.registerResource(&bundle);
        resource->registerFileEventHandler(&recorder, params);
        return resource;
    }

    void drain() { executor.execQueue(*downloads); }

    static void setAge(std::string const& path, std::chrono::hours age) {
        std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - age);
    }

    Tiskel::Test::TempDir dir;
    std::shared_ptr<Core::TaskQueue> downloads = std::make_shared<Core::TaskQueue>();
    Core::BlockingExecutor executor;
    std::shared_ptr<SwitchablePostProcessor> postProcessor =
        std::make_shared<SwitchablePostProcessor>();
    std::deque<ResourceDescriptor> descriptors;
    std::deque<ResourceDescriptorBundle> bundles;
    Recorder recorder;
    RemoteResourceScheduler scheduler{std::make_shared<NoServerTime>(dir.ioFile("server"), 1000000),
                                      downloads,
                                      std::make_shared<Core::TaskQueueImmediate>(),
                                      postProcessor,
                                      std::make_shared<ValidatorStub>(),
                                      std::make_shared<EventTracerStub>(),
                                      std::make_shared<DownloadRetrierStub>()};
    RemoteResourceScheduler checkingScheduler{
        std::make_shared<ResourceDownloaderFileMock>(dir.ioFile("server"), 1000000),
        downloads,
        std::make_shared<Core::TaskQueueImmediate>(),
        postProcessor,
        std::make_shared<ValidatorStub>(),
        std::make_shared<EventTracerStub>(),
        std::make_shared<DownloadRetrierStub>()};
};

// Each way a run can end, with what the subscriber is told: the decision, and for failures and
// failed checks the kind of reason, the path it names and the system's error number.
TEST_F(FileEventsTest, EachRunEndsWithItsDecisionAndReason) {
    using Policy = ResourceDescriptor;
    struct Case {
        char const* name;
        ResourceDescriptor::UpdatePolicy policy;
        std::function<void(Tiskel::Test::TempDir const&, ResourceDescriptor&)> arrange;
        FileDecision decision;
        FileFailure::Kind failure;
        char const* pathEnd = "";
        int systemError = 0;
        bool checkingDownloader = false;
    };
    auto const presentLocally = [](Tiskel::Test::TempDir const& test, ResourceDescriptor& file) {
        test.write(file.localPath.string().substr(test.path().size() + 1), "old");
    };
    std::vector<Case> const cases = {
        {"always", Policy::Always, nullptr, FileDecision::Downloaded, FileFailure::None},
        {"missing", Policy::IfMissing, nullptr, FileDecision::Downloaded, FileFailure::None},
        {"present", Policy::IfMissing, presentLocally, FileDecision::KeptPresent,
         FileFailure::None},
        {"valid", Policy::Validate, presentLocally, FileDecision::KeptValid, FileFailure::None},
        {"notime", Policy::IfModified, presentLocally, FileDecision::KeptNoServerTime,
         FileFailure::None},
        {"older", Policy::IfModified,
         [&](Tiskel::Test::TempDir const& test, ResourceDescriptor& file) {
             presentLocally(test, file);
             setAge(test.file("server/files/older"), std::chrono::hours(48));
         },
         FileDecision::KeptNotModified, FileFailure::None, "", 0, true},
        {"newer", Policy::IfModified,
         [&](Tiskel::Test::TempDir const& test, ResourceDescriptor& file) {
             presentLocally(test, file);
             setAge(file.localPath.string(), std::chrono::hours(48));
         },
         FileDecision::Downloaded, FileFailure::None, "", 0, true},
        {"uncheckable", Policy::IfModified,
         [&](Tiskel::Test::TempDir const& test, ResourceDescriptor& file) {
             presentLocally(test, file);
             std::filesystem::remove(test.file("server/files/uncheckable"));
         },
         FileDecision::KeptCheckFailed, FileFailure::FileSystem, "server/files/uncheckable", ENOENT,
         true},
        {"gone", Policy::Always,
         [](Tiskel::Test::TempDir const& test, ResourceDescriptor&) {
             std::filesystem::remove(test.file("server/files/gone"));
         },
         FileDecision::Failed, FileFailure::FileSystem, "server/files/gone", ENOENT},
        {"nofolder", Policy::Always,
         [](Tiskel::Test::TempDir const& test, ResourceDescriptor& file) {
             file.tempPath = test.file("absent/nofolder.part");
         },
         FileDecision::Failed, FileFailure::FileSystem, "absent/nofolder.part", ENOENT},
        {"rejected", Policy::Always,
         [](Tiskel::Test::TempDir const&, ResourceDescriptor& file) { file.postProcessing = 1; },
         FileDecision::Failed, FileFailure::Rejected},
    };
    postProcessor->reject = true;  // only the file that asks for post-processing meets it
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        ResourceDescriptor& file = publish(c.name, c.policy);
        if (c.arrange) {
            c.arrange(dir, file);
        }
        ResourceDescriptorBundle& bundle = bundles.emplace_back(ResourceDescriptorBundle{{&file}});
        RemoteResourceScheduler& target = c.checkingDownloader ? checkingScheduler : scheduler;
        IRemoteResource* resource = target.registerResource(&bundle);
        resource->registerFileEventHandler(&recorder, {});
        resource->scheduleDownload(ISchedulableResource::Normal);
        drain();

        std::vector<Heard> const heard = recorder.of(&file);
        ASSERT_FALSE(heard.empty());
        Heard const& last = heard.back();
        ASSERT_TRUE(last.hasOutcome);
        EXPECT_EQ(last.bundle, &bundle);
        EXPECT_EQ(last.outcome.decision, c.decision) << fileDecisionName(last.outcome.decision);
        EXPECT_EQ(last.outcome.failure.kind, c.failure) << last.outcome.failure.text;
        EXPECT_EQ(last.status,
                  c.decision == FileDecision::Failed ? Status::Error : Status::Available);
        std::string const& path = last.outcome.failure.path;
        EXPECT_EQ(path.substr(path.size() - std::string(c.pathEnd).size()), c.pathEnd);
        EXPECT_EQ(last.outcome.failure.systemError, c.systemError);
        if (c.failure != FileFailure::None) {
            EXPECT_NE(last.outcome.failure.text, "");
        }
        // Only a run that downloads goes through Downloading, first with no bytes known.
        bool const downloaded = heard.size() > 1;
        EXPECT_EQ(downloaded,
                  c.decision == FileDecision::Downloaded || c.decision == FileDecision::Failed);
        if (downloaded) {
            EXPECT_EQ(heard.front().status, Status::Downloading);
            EXPECT_FALSE(heard.front().hasOutcome);
        }
    }
}

// Cancelling, a later run that trusts the first, and the local-copy shortcut that settles a
// file when it is scheduled, before any run.
TEST_F(FileEventsTest, CancelledTrustedAndSettledAtScheduling) {
    ResourceDescriptor& cancelled = publish("cancelled", ResourceDescriptor::Always);
    ResourceDescriptor& trusted = publish("trusted", ResourceDescriptor::IfMissing);
    ResourceDescriptor& shortcut = publish("shortcut", ResourceDescriptor::IfMissing);
    dir.write("shortcut", "here");
    shortcut.localCopyPolicy = 1;

    IRemoteResource* one = follow({&cancelled});
    IRemoteResource* two = follow({&trusted, &shortcut});
    one->cancelDownload();
    one->scheduleDownload(ISchedulableResource::Normal);
    two->scheduleDownload(ISchedulableResource::Normal);
    // The shortcut's outcome comes at scheduling, without a run.
    ASSERT_EQ(recorder.of(&shortcut).size(), 1u);
    EXPECT_EQ(recorder.of(&shortcut)[0].outcome.decision, FileDecision::KeptPresent);
    drain();
    two->scheduleDownload(ISchedulableResource::Normal);
    drain();

    Heard const last = recorder.of(&cancelled).back();
    EXPECT_EQ(last.outcome.decision, FileDecision::Failed);
    EXPECT_EQ(last.outcome.failure.kind, FileFailure::Cancelled);
    std::vector<Heard> const runs = recorder.of(&trusted);
    EXPECT_EQ(runs.back().outcome.decision, FileDecision::KeptAvailable);
    EXPECT_EQ(runs[runs.size() - 2].outcome.decision, FileDecision::Downloaded);
    EXPECT_EQ(recorder.of(&shortcut).size(), 2u);  // settled again at the second scheduling
}

// Progress events come when the fraction received crosses a multiple of the granularity, with
// the bytes; without `progress` there are none. Unsubscribed, a handler hears nothing more.
TEST_F(FileEventsTest, ProgressCrossesGranularityStepsAndUnsubscribingEndsEvents) {
    ResourceDescriptor& big = publish("big", ResourceDescriptor::Always, 1 << 20);
    FileEventParams params;
    params.progress = true;
    params.progressGranularity = 0.25;
    IRemoteResource* resource = follow({&big}, params);
    resource->scheduleDownload(ISchedulableResource::Normal);
    drain();

    // The copier reports before each 128 KiB piece: 0, 128 KiB, ..., 896 KiB of 1 MiB.
    std::vector<uint64_t> progress;
    for (Heard const& event : recorder.of(&big)) {
        if (event.status == Status::Downloading && event.received > 0) {
            EXPECT_EQ(event.total, 1u << 20);
            progress.push_back(event.received);
        }
    }
    EXPECT_EQ(progress, (std::vector<uint64_t>{1u << 18, 2u << 18, 3u << 18}));

    resource->unregisterFileEventHandler(&recorder);
    std::size_t const before = recorder.of(&big).size();
    resource->scheduleDownload(ISchedulableResource::Normal);
    drain();
    EXPECT_EQ(recorder.of(&big).size(), before);
}

// Unsubscribing from another thread waits for a call in progress: the handler may be destroyed
// as soon as it returns. A call may also unsubscribe itself without waiting for itself.
TEST_F(FileEventsTest, UnsubscribingWaitsForACallInProgressElsewhere) {
    ResourceDescriptor& file = publish("f", ResourceDescriptor::Always);
    struct Blocking : IFileEventHandler {
        void onFileEvent(FileEvent const& event) override {
            if (event.outcome == nullptr) {
                return;
            }
            entered.set_value();
            // The unsubscriber must still be waiting when this call ends. With a wait for the
            // call, `returned` cannot turn true here; without one it does at once.
            auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            while (!returned.load() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            returnedDuringCall = returned.load();
        }
        std::promise<void> entered;
        std::atomic<bool> returned{false};
        bool returnedDuringCall = false;
    } handler;
    struct SelfRemoving : IFileEventHandler {
        void onFileEvent(FileEvent const&) override {
            ++calls;
            resource->unregisterFileEventHandler(this);
        }
        IRemoteResource* resource = nullptr;
        int calls = 0;
    } selfRemoving;

    ResourceDescriptorBundle& bundle = bundles.emplace_back(ResourceDescriptorBundle{{&file}});
    IRemoteResource* resource = scheduler.registerResource(&bundle);
    resource->registerFileEventHandler(&handler, {});
    selfRemoving.resource = resource;
    resource->registerFileEventHandler(&selfRemoving, {});
    resource->scheduleDownload(ISchedulableResource::Normal);
    std::thread worker([this] { drain(); });
    handler.entered.get_future().wait();
    resource->unregisterFileEventHandler(&handler);
    handler.returned = true;
    worker.join();
    EXPECT_FALSE(handler.returnedDuringCall);
    EXPECT_EQ(selfRemoving.calls, 1);
}

}  // namespace
}  // namespace Tiskel::App
