// The scheduler assembled from the library's real parts, as a host runs it without the download
// manager: a task queue drained by a blocking executor and the file-backed downloader serving a
// temporary "server" directory, every event traced to the log. One subscriber on a bundle hears
// what happened to each of its files, with the decision of every run and the reason of every
// failure.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/DownloadRetrier.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/FileEvents.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/Core/TaskQueue.h"

#include "Support/FNotify.h"
#include "Support/LocalFiles.h"
#include "Support/LogCapture.h"

namespace Tiskel::App {
namespace {

using Status = IRemoteResource::DownloadStatus;

// An event copied out of the call, with a copy of its outcome (a default one when it had none).
struct Heard {
    FileEvent event;
    bool hasOutcome;
    FileOutcome outcome;
};

// Every event heard, by file. Runs and their notifications all happen on the test's thread.
struct Recorder : IFileEventHandler {
    void onFileEvent(FileEvent const& event) override {
        of[event.descriptor].push_back(
            {event, event.outcome != nullptr, event.outcome ? *event.outcome : FileOutcome{}});
    }
    std::map<ResourceDescriptor const*, std::vector<Heard>> of;
};

// Rejects every download: only a file that asks for post-processing meets it.
struct RejectingPostProcessor : IPostProcessor {
    Result process(ResourceDescriptor const*) const override { return static_cast<Result>(1); }
};

// Gives the answers queued in `answers`, Valid once they run out, and counts the questions.
struct ScriptedValidator : IValidator {
    Result validate(ResourceDescriptor const*) const override {
        ++asked;
        Result const answer = answers.empty() ? Valid : answers.front();
        answers.erase(answers.begin(), answers.begin() + !answers.empty());
        return answer;
    }
    mutable std::vector<Result> answers;
    mutable int asked = 0;
};

// The file-backed downloader, counting the server-time checks; while `noServerTime` is set, a
// Last-Modified query answers -1 through the old query alone, as a downloader that knows
// nothing of failed queries does.
struct SwitchableServerTime : ResourceDownloaderFileMock {
    using ResourceDownloaderFileMock::ResourceDownloaderFileMock;
    int64_t requestLastModified(ResourceDescriptor const* descriptor) const override {
        return noServerTime ? -1 : ResourceDownloaderFileMock::requestLastModified(descriptor);
    }
    LastModified checkLastModified(ResourceDescriptor const* descriptor) const override {
        ++timeChecks;
        return noServerTime ? IResourceDownloader::checkLastModified(descriptor)
                            : ResourceDownloaderFileMock::checkLastModified(descriptor);
    }
    std::atomic<bool> noServerTime{false};
    mutable int timeChecks = 0;
};

class PipelineTest : public Tiskel::Test::LocalFiles {
  protected:
    // A file of `size` bytes on the server, described with `policy`.
    ResourceDescriptor& publish(std::string const& name, ResourceDescriptor::UpdatePolicy policy,
                                std::size_t size = 100) {
        dir.write("server/" + name, std::string(size, 'x'));
        return describe(name, "", policy);
    }

    // A bundle of `files`, registered and followed by `recorder`.
    IRemoteResource* follow(std::vector<ResourceDescriptor const*> const& files,
                            FileEventParams const& params = {},
                            RemoteResourceScheduler* via = nullptr) {
        ResourceDescriptorBundle& bundle = bundles.emplace_back();
        bundle.descriptors.insert(files.begin(), files.end());
        IRemoteResource* resource = (via ? via : &scheduler)->registerResource(&bundle);
        resource->registerFileEventHandler(&recorder, params);
        return resource;
    }

    void drain() { executor.execQueue(*downloads); }

    // Dates the file `age` before the test's start, so that equal ages give equal times.
    void setAge(std::string const& path, std::chrono::hours age) {
        std::filesystem::last_write_time(path, start - age);
    }
    std::filesystem::file_time_type const start = std::filesystem::file_time_type::clock::now();

    std::shared_ptr<Core::TaskQueue> downloads = std::make_shared<Core::TaskQueue>();
    Core::BlockingExecutor executor;
    std::shared_ptr<RejectingPostProcessor> postProcessor =
        std::make_shared<RejectingPostProcessor>();
    std::deque<ResourceDescriptorBundle> bundles;
    Recorder recorder;
    std::shared_ptr<ScriptedValidator> validator = std::make_shared<ScriptedValidator>();
    std::shared_ptr<SwitchableServerTime> downloader =
        std::make_shared<SwitchableServerTime>(dir.ioFile("server"), 1000000);
    // Built in place; `repairSizes` switches on the size repair.
    RemoteResourceScheduler make(bool repairSizes) {
        return RemoteResourceScheduler(downloader, downloads,
                                       std::make_shared<Core::TaskQueueImmediate>(), postProcessor,
                                       validator, std::make_shared<EventTracer>(true),
                                       std::make_shared<DownloadRetrierStub>(), repairSizes);
    }
    RemoteResourceScheduler scheduler = make(false);
    RemoteResourceScheduler repairing = make(true);
};

// Each way a run can end, with what the subscriber is told: the decision, and for failures and
// failed checks the kind of reason, the path it names and the system's error number. The server's
// time is asked only for an IfModified file present here; the validator judges a Validate file
// present here, and any downloaded one unless the post-processor rejected it.
TEST_F(PipelineTest, EachRunEndsWithItsDecisionAndReason) {
    using P = ResourceDescriptor;
    using D = FileDecision;
    using F = FileFailure;
    using V = IValidator;
    using R = DownloadReason;
    using namespace std::chrono_literals;
    struct Case {
        char const* name;
        ResourceDescriptor::UpdatePolicy policy;
        std::function<void(ResourceDescriptor&)> arrange;
        FileDecision decision;
        DownloadReason why;
        FileFailure::Kind failure = F::None;
        char const* pathEnd = "";
        int systemError = 0;
        std::vector<V::Result> answers = {};  // the validator's, before the download and after
    };
    V::Result const ok = V::Valid, bad = V::Invalid;
    auto const local = [](ResourceDescriptor& f) { std::ofstream(f.localPath.string()) << "old"; };
    auto const onServer = [&](ResourceDescriptor& f) { return dir.file("server/" + f.remotePath); };
    auto const noServerTime = [&](ResourceDescriptor& f) {
        local(f), downloader->noServerTime = true;
    };
    auto const unpacked = [&](ResourceDescriptor& f) { local(f), f.postProcessing = 1; };
    // A local file of `size` bytes, trusted as a local copy when `copy` is 1; `repairs` has the
    // scheduler that repairs sizes run it.
    bool repair = false;
    auto const sized = [&](std::size_t size, int32_t copy = 0, bool repairs = false) {
        return [&, size, copy, repairs](ResourceDescriptor& f) {
            std::ofstream(f.localPath.string()) << std::string(size, 'o');
            f.localCopyPolicy = copy;
            repair = repairs;
        };
    };
    auto const repairs = [&](std::size_t size) { return sized(size, 0, true); };
    std::vector<Case> const cases = {
        {"missing", P::IfMissing, {}, D::Downloaded, R::Missing},
        {"present", P::IfMissing, local, D::KeptPresent, R::None},
        {"validateMissing", P::Validate, {}, D::Downloaded, R::Missing, F::None, "", 0, {ok}},
        {"valid", P::Validate, local, D::KeptValid, R::None, F::None, "", 0, {ok}},
        {"repaired", P::Validate, local, D::Downloaded, R::Invalid, F::None, "", 0, {bad, ok}},
        {"corrupt", P::Validate, local, D::Failed, R::Invalid, F::Rejected, "", 0, {bad, bad}},
        {"unpacked", P::Validate, unpacked, D::Failed, R::Invalid, F::Rejected, "", 0, {bad}},
        {"alwaysPresent", P::Always, local, D::Downloaded, R::Always},
        {"ifModifiedMissing", P::IfModified, {}, D::Downloaded, R::Missing},
        {"sameTime", P::IfModified,
         [&](auto& f) { local(f), setAge(onServer(f), 48h), setAge(f.localPath.string(), 48h); },
         D::KeptNotModified, R::None},
        {"notime", P::IfModified, noServerTime, D::KeptNoServerTime, R::None},
        {"older", P::IfModified, [&](auto& f) { local(f), setAge(onServer(f), 48h); },
         D::KeptNotModified, R::None},
        {"newer", P::IfModified, [&](auto& f) { local(f), setAge(f.localPath.string(), 48h); },
         D::Downloaded, R::Newer},
        {"uncheckable", P::IfModified,
         [&](auto& f) { local(f), std::filesystem::remove(onServer(f)); }, D::KeptCheckFailed,
         R::None, F::FileSystem, "server/uncheckable", ENOENT},
        {"gone", P::Always, [&](auto& f) { std::filesystem::remove(onServer(f)); }, D::Failed,
         R::Always, F::FileSystem, "server/gone", ENOENT},
        {"nofolder", P::Always, [&](auto& f) { f.tempPath = dir.file("absent/nofolder.part"); },
         D::Failed, R::Always, F::FileSystem, "absent/nofolder.part", ENOENT},
        {"rejected", P::Always, [](auto& f) { f.postProcessing = 1; }, D::Failed, R::Always,
         F::Rejected},
        {"shortcut", P::IfMissing, sized(50, 1), D::KeptPresent, R::None},
        // (A short file, also one trusted as a local copy, and a whole one: see the sync's
        // repair test.)
        {"longOn", P::IfMissing, repairs(150), D::Downloaded, R::SizeDiffers},
        {"validOn", P::Validate, repairs(50), D::Downloaded, R::SizeDiffers, F::None, "", 0, {ok}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        ResourceDescriptor& file = publish(c.name, c.policy);
        downloader->noServerTime = false;
        repair = false;
        file.expectedSize = 100;  // only the repairing scheduler looks at it
        if (c.arrange) {
            c.arrange(file);
        }
        bool const present = std::filesystem::exists(file.localPath.string());
        validator->answers = c.answers;
        validator->asked = downloader->timeChecks = 0;
        follow({&file}, {}, repair ? &repairing : nullptr)
            ->scheduleDownload(ISchedulableResource::Normal);
        drain();

        std::vector<Heard> const heard = recorder.of[&file];
        ASSERT_FALSE(heard.empty());
        Heard const& last = heard.back();
        F const& failure = last.outcome.failure;
        bool const failed = c.decision == D::Failed;
        EXPECT_EQ(std::tie(last.hasOutcome, last.event.bundle, last.event.state.status,
                           last.outcome.why, failure.kind, failure.systemError),
                  std::make_tuple(true, &bundles.back(), failed ? Status::Error : Status::Available,
                                  c.why, c.failure, c.systemError))
            << failure.text;
        EXPECT_EQ(last.outcome.decision, c.decision) << fileDecisionName(last.outcome.decision);
        bool const replaced =
            std::filesystem::exists(file.localPath.string()) &&
            Tiskel::Test::TempDir::read(file.localPath.string()) == std::string(100, 'x');
        // The file is replaced exactly when the run downloads; a failed run is not judged here.
        EXPECT_TRUE(failed || replaced == (c.decision == D::Downloaded));
        EXPECT_EQ(failure.text.empty(), c.failure == F::None);
        EXPECT_THAT(failure.path, testing::EndsWith(c.pathEnd));
        EXPECT_EQ(std::make_pair(downloader->timeChecks, validator->asked),
                  std::make_pair(int(c.policy == P::IfModified && present), int(c.answers.size())));
        // Only a run that downloads goes through Downloading, first with no bytes known.
        bool const downloaded = heard.size() > 1;
        EXPECT_EQ(downloaded, failed || c.decision == D::Downloaded);
        EXPECT_TRUE(!downloaded ||
                    (heard[0].event.state.status == Status::Downloading && !heard[0].hasOutcome));
    }
}

// A cancellation stays in force for later runs; a later run trusts a file that an earlier one
// left Available without looking at it again, unless its policy is Always; the local-copy
// shortcut settles a file when it is scheduled, before any run.
TEST_F(PipelineTest, LaterRunsKeepTheCancellationAndTrustAvailableUnlessAlways) {
    ResourceDescriptor& cancelled = publish("cancelled", ResourceDescriptor::Always);
    ResourceDescriptor& shortcut = publish("shortcut", ResourceDescriptor::IfMissing);
    dir.write("out/shortcut", "here");
    shortcut.localCopyPolicy = 1;
    std::vector<ResourceDescriptor const*> files = {&cancelled, &shortcut};
    for (auto const policy : {ResourceDescriptor::IfMissing, ResourceDescriptor::Validate,
                              ResourceDescriptor::IfModified, ResourceDescriptor::Always}) {
        files.push_back(&publish("policy" + std::to_string(policy), policy));
    }
    IRemoteResource* one = follow({&cancelled});
    IRemoteResource* two = follow({files.begin() + 1, files.end()});
    one->cancelDownload();
    for (int run = 0; run < 2; ++run) {
        one->scheduleDownload(ISchedulableResource::Normal);
        two->scheduleDownload(ISchedulableResource::Normal);
        // The shortcut's outcome comes at each scheduling, without a run.
        ASSERT_EQ(recorder.of[&shortcut].size(), run + 1u);
        drain();
        // A second run that looked at the files would download them again.
        for (std::size_t i = 2; i < files.size(); ++i) {
            std::filesystem::remove(files[i]->localPath.string());
        }
    }
    std::vector<std::string> decisions;
    for (ResourceDescriptor const* file : files) {
        decisions.push_back(fileDecisionName(recorder.of[file].back().outcome.decision));
    }
    EXPECT_EQ(decisions,
              (std::vector<std::string>{"Failed", "KeptPresent", "KeptAvailable", "KeptAvailable",
                                        "KeptAvailable", "Downloaded"}));
    EXPECT_EQ(recorder.of[&cancelled].back().outcome.failure.kind, FileFailure::Cancelled);
}

// Progress events come when the fraction received crosses a multiple of the granularity, with
// the bytes; without `progress` there are none. Unsubscribed, a handler hears nothing more.
TEST_F(PipelineTest, ProgressCrossesGranularityStepsAndUnsubscribingEndsEvents) {
    ResourceDescriptor& big = publish("big", ResourceDescriptor::Always, 1 << 20);
    FileEventParams params;
    params.progress = true;
    params.progressGranularity = 0.25;
    IRemoteResource* resource = follow({&big}, params);
    resource->scheduleDownload(ISchedulableResource::Normal);
    drain();

    // The copier reports before each 128 KiB piece: 0, 128 KiB, ..., 896 KiB of 1 MiB.
    std::vector<uint64_t> progress;
    for (Heard const& heard : recorder.of[&big]) {
        if (heard.event.state.status == Status::Downloading && heard.event.bytesReceived > 0) {
            EXPECT_EQ(heard.event.bytesTotal, 1u << 20);
            progress.push_back(heard.event.bytesReceived);
        }
    }
    EXPECT_EQ(progress, (std::vector<uint64_t>{1u << 18, 2u << 18, 3u << 18}));

    resource->unregisterFileEventHandler(&recorder);
    std::size_t const before = recorder.of[&big].size();
    resource->scheduleDownload(ISchedulableResource::Normal);
    drain();
    EXPECT_EQ(recorder.of[&big].size(), before);
}

// A run traces its stages and the bundle's notifications in order.
TEST_F(PipelineTest, OneRunTracesItsStagesAndNotificationsInOrder) {
    Tiskel::Test::LogCapture log;
    ResourceDescriptor& file = publish("logo.png", ResourceDescriptor::IfModified);
    file.category = "res";
    file.name = file.id = "logo.png";
    RemoteResourceEventHandlerCallback handler;
    handler.setNotificationParams(Tiskel::Test::notifyOn({Status::Downloading, Status::Available}));
    handler.registerWithin(scheduler.registerAutoSchedule(
        &bundles.emplace_back(ResourceDescriptorBundle{{&file}}), ISchedulableResource::Normal));
    drain();

    std::string const item = "[res/logo.png] (Status: ";
    std::string const group = "[G: res/logo.png, ..(0 more)] (Status: ";
    EXPECT_THAT(log.textsFrom("App/ResourceDownloadManager/EventTracer"),
                testing::ElementsAre(item + "Waiting, err:NoError =0%) ExecScheduled ",
                                     item + "Waiting, err:NoError =0%) Exec ", "Download logo.png",
                                     group + "Downloading, err:NoError =0%) StatusNotification ",
                                     group + "Downloading, err:NoError =0%) /StatusNotification ",
                                     group + "Available, err:NoError =100%) StatusNotification ",
                                     group + "Available, err:NoError =100%) /StatusNotification ",
                                     "/Download logo.png, err:NoError",
                                     item + "Available, err:NoError =100%) /Exec "));
}

}  // namespace
}  // namespace Tiskel::App
