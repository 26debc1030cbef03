#include "SyncSession.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <glog/logging.h>

#include "App/ResourceDownloadManager/CallbackEventHandler.h"
#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/EventTracer.h"
#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

#include "Checksum.h"
#include "Report.h"
#include "Transfer.h"

namespace Tiskel::ResourceSync {

namespace {

using App::IRemoteResource;
using App::ResourceDescriptorBundle;

// The local-directory downloader paces its copies; this rate is beyond any disk.
constexpr int kUnpacedKiBps = INT_MAX;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// A group bundle's subscriber hears every status and progress steps of 0.5 %, enough for a
// smooth bar without a notification per file of a large bundle.
IRemoteResource::NotificationParams groupParams() {
    IRemoteResource::NotificationParams params;
    params.statuses = {IRemoteResource::Waiting, IRemoteResource::Downloading,
                       IRemoteResource::Available, IRemoteResource::Error};
    params.notifyProgress = true;
    params.progressGranularity = 0.005;
    return params;
}

// A file's own subscriber needs only its outcome and whether it was downloaded; its progress
// reaches the display through the download wrapper's byte counts. (Downloading is heard also
// because a retry's outcome is told only after a status in between: Error, Downloading, Error.)
IRemoteResource::NotificationParams fileParams() {
    IRemoteResource::NotificationParams params;
    params.statuses = {IRemoteResource::Downloading, IRemoteResource::Available,
                       IRemoteResource::Error};
    return params;
}

// The subscriber of every file's own bundle: hands each outcome to the SyncState. It keeps no
// list of its subscriptions: they end with the round's manager, which goes first, after its
// threads have stopped, so nothing can call it any more.
class FileOutcomes final : public App::IRemoteResourceEventHandler {
  public:
    explicit FileOutcomes(SyncState& state) : state(state) {}

    void onStateChanged(IRemoteResource::State fileState,
                        ResourceDescriptorBundle const* bundle) override {
        // Every file is registered as a bundle of its own (SyncFile).
        state.onFileState(const_cast<SyncFile&>(static_cast<SyncFile const&>(*bundle)), fileState);
    }

  private:
    SyncState& state;
};

}  // namespace

struct SyncSession::Round {
    explicit Round(SyncState& state) : fileOutcomes(state) {}

    ~Round() {
        if (driver.joinable()) {
            manager.abort();
            driver.join();
        }
    }

    // Declared before the manager, so that it outlives the subscriptions held by the manager's
    // resources.
    FileOutcomes fileOutcomes;
    App::ResourceDownloadManager manager;
    // Unregisters when destroyed, so it is declared after the manager.
    App::RemoteResourceEventHandlerCallback groupHandler;
    std::thread driver;
    std::atomic<bool> finished{false};  // the driver is done; set before it rings
};

SyncSession::SyncSession(SyncOptions options, Manifest manifest, std::string target)
    : options(std::move(options)),
      target(std::move(target)),
      state(
          files, groups, [this] { ring(); }, this->options.display == DisplayMode::Plain),
      display(this->options.display, state, stdout) {
    std::string const base =
        this->target.empty() || this->target.back() == '/' ? this->target : this->target + "/";
    // Every file costs a handful of allocations here, a large manifest has many files: the
    // manifest's own strings are moved, and each path is built once, at its final size.
    std::size_t constexpr kLongestSuffix = std::max(sizeof kPartSuffix, sizeof kStagedSuffix);
    std::string local;
    for (ManifestBundle& bundle : manifest.bundles) {
        SyncGroup& group = groups.emplace_back();
        group.index = groups.size() - 1;
        group.name = bundle.name;
        group.init = bundle.init;
        group.fileCount = bundle.files.size();
        for (ManifestFile& listed : bundle.files) {
            SyncFile& file = files.emplace_back();
            file.index = files.size() - 1;
            file.group = group.index;
            file.size = listed.size;
            group.sizeTotal += listed.size >= 0 ? static_cast<uint64_t>(listed.size) : 0;
            group.sizesKnown = group.sizesKnown && listed.size >= 0;

            local.reserve(base.size() + listed.localPath.size() + kLongestSuffix);
            local.assign(base).append(listed.localPath);
            // Temporary and staged files live next to the file, on the same filesystem, so
            // that moving them into place is a rename.
            file.tempPath = local + kPartSuffix;
            file.downloadPath = listed.sha256.empty() ? local : local + kStagedSuffix;
            file.localPath = local;
            file.postProcessing = listed.sha256.empty() ? 0 : 1;
            file.sha256 = std::move(listed.sha256);
            file.remotePath = std::move(listed.remotePath);
            file.baseUrl = manifest.baseUrl;
            file.category = bundle.name;
            file.name = std::move(listed.localPath);
            file.updatePolicy = listed.policy;
            // A file that only has to be there is settled when it is scheduled: the scheduler
            // looks for it on the spot and queues no check for a file it finds.
            file.localCopyPolicy = listed.policy == App::ResourceDescriptor::IfMissing ? 1 : 0;
            App::ResourceDescriptor const* descriptor = &file;
            file.descriptors.insert(descriptor);
            // Files are made at rising addresses as a rule, so the hint is nearly always right.
            group.descriptors.insert(group.descriptors.end(), descriptor);
        }
    }
    state.reset();
    if (this->options.fromDir.empty()) {
        httpClient = std::make_shared<FailureRecordingClient>(
            Networking::createHttpClient(Networking::HttpClientDefault));
    }

    if (::pipe2(bell, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
    }
    bellNotifier = std::make_unique<QSocketNotifier>(bell[0], QSocketNotifier::Read);
    QObject::connect(bellNotifier.get(), &QSocketNotifier::activated, &context, [this] {
        char drained[64];
        while (::read(bell[0], drained, sizeof drained) > 0) {
        }
        onWake();
    });

    redrawTimer.setInterval(kRedrawInterval);
    QObject::connect(&redrawTimer, &QTimer::timeout, &context, [this] { display.redraw(); });
    giveUpTimer.setSingleShot(true);
    QObject::connect(&giveUpTimer, &QTimer::timeout, &context, [this] {
        deadlinePassed = true;
        checkEnd();
    });
    watchTimer.setSingleShot(true);
    QObject::connect(&watchTimer, &QTimer::timeout, &context, [this] { startRound(); });
}

SyncSession::~SyncSession() {
    round.reset();
    bellNotifier.reset();
    ::close(bell[0]);
    ::close(bell[1]);
}

void SyncSession::ring() {
    char const byte = 1;
    // A full pipe already holds a wake-up; nothing is lost by dropping this one.
    [[maybe_unused]] ssize_t const written = ::write(bell[1], &byte, 1);
}

void SyncSession::start() {
    startRound();
}

void SyncSession::interrupt(int number) {
    if (signal == 0) {
        signal = number;
    }
    if (!round) {
        QCoreApplication::exit(128 + signal);
        return;
    }
    if (!ending) {
        endRound();
    }
}

void SyncSession::createFolders() {
    // Files usually come folder by folder: one look at each distinct folder, and none at a
    // folder just seen.
    std::unordered_map<std::string, std::string> problems;
    std::string lastFolder;
    std::string const* lastProblem = nullptr;
    for (SyncFile& file : files) {
        std::string const& path = file.localPath.string();
        std::string const folder = path.substr(0, path.rfind('/') + 1);
        if (lastProblem == nullptr || folder != lastFolder) {
            auto [it, inserted] = problems.try_emplace(folder);
            if (inserted && !folder.empty()) {
                std::error_code error;
                std::filesystem::create_directories(folder, error);
                if (error) {
                    it->second = "cannot create the folder " + folder + ": " + error.message();
                }
            }
            lastFolder = folder;
            lastProblem = &it->second;
        }
        file.folderProblem = *lastProblem;
    }
}

void SyncSession::startRound() {
    state.reset();
    ending = false;
    deadlinePassed = false;
    gaveUp = false;
    createFolders();
    roundStart = std::chrono::steady_clock::now();
    round = std::make_unique<Round>(state);

    App::ResourceDownloadManager::Params params;
    params.useParallelExecutor = true;
    params.threadCount = options.jobs;
    App::ResourceDownloadManager::Dependencies deps;
    if (options.offlineMarker.empty()) {
        deps.networkStateChecker = std::make_shared<App::NetworkStateCheckerStub>();
    } else {
        deps.networkStateChecker =
            std::make_shared<App::NetworkStateEmulator>(options.offlineMarker);
    }
    std::shared_ptr<App::IResourceDownloader> downloader;
    if (options.fromDir.empty()) {
        downloader = std::make_shared<App::ResourceDownloaderHttp>(
            httpClient, std::make_shared<App::QtProxyProvider>(), deps.networkStateChecker);
    } else {
        downloader = std::make_shared<App::ResourceDownloaderFileMock>(
            options.fromDir, options.rateKiBps > 0 ? options.rateKiBps : kUnpacedKiBps);
    }
    deps.downloader = std::make_shared<MeteredDownloader>(downloader, state);
    deps.validator = std::make_shared<DigestValidator>();
    deps.postProcessor = std::make_shared<DigestPostProcessor>(state);
    if (options.trace) {
        deps.eventTracer = std::make_shared<App::EventTracer>(true);
    }
    App::ResourceDownloadManager& manager = round->manager;
    manager.init(params, deps);

    round->groupHandler.setCallback(
        [this](IRemoteResource::State groupState, ResourceDescriptorBundle const* bundle) {
            state.onGroupState(groups[static_cast<SyncGroup const*>(bundle)->index], groupState);
        });
    round->groupHandler.setNotificationParams(groupParams());

    // Each file is registered as a bundle of its own and subscribed to, then its group; every
    // file is queued through its group.
    auto const initScheduler = manager.getInitScheduler();
    auto const mainScheduler = manager.getMainScheduler();
    IRemoteResource::NotificationParams const outcomes = fileParams();
    std::vector<IRemoteResource*> resources;
    resources.reserve(groups.size());
    std::size_t first = 0;
    for (SyncGroup& group : groups) {
        auto& scheduler = group.init ? *initScheduler : *mainScheduler;
        for (std::size_t i = first; i < first + group.fileCount; ++i) {
            scheduler.registerResource(&files[i])->registerEventHandler(&round->fileOutcomes,
                                                                        outcomes);
        }
        first += group.fileCount;
        resources.push_back(scheduler.registerResource(&group));
        round->groupHandler.registerWithin(resources.back());
    }
    display.startRound();
    for (IRemoteResource* resource : resources) {
        resource->scheduleDownload(App::ISchedulableResource::Normal);
    }

    round->driver = std::thread([this, &manager, round = round.get()] {
        // Returns once every file has settled and the retrier has nothing left, or soon after
        // an abort. A pass that throws (a service failed) leaves its file unfinished; the rest
        // of the queue still runs.
        for (;;) {
            try {
                manager.processCurrentQueue();
                break;
            } catch (std::exception const& error) {
                LOG(ERROR) << "resource-sync: a download pass failed: " << error.what();
            } catch (...) {
                LOG(ERROR) << "resource-sync: a download pass failed";
            }
        }
        round->finished = true;
        ring();
    });
    if (display.mode() == DisplayMode::Terminal) {
        redrawTimer.start();
    }
    giveUpTimer.start(std::chrono::seconds(options.giveUpSeconds));
}

void SyncSession::onWake() {
    display.show(state.takeEvents());
    if (round && round->finished) {
        onRoundFinished();
        return;
    }
    checkEnd();
}

// Ends the round early when all that is left are retry pauses that cannot help: the offline
// marker is there and every failure is a lost connection, or --give-up has passed.
void SyncSession::checkEnd() {
    if (!round || ending) {
        return;
    }
    SyncCounts const counts = state.counts();
    if (counts.failed == 0 || counts.settled < counts.files) {
        return;
    }
    bool const offline = !options.offlineMarker.empty() && App::fileExists(options.offlineMarker) &&
                         counts.failed == counts.failedOffline;
    if (offline || deadlinePassed) {
        gaveUp = !offline;
        endRound();
    }
}

void SyncSession::endRound() {
    ending = true;
    round->manager.abort();
}

void SyncSession::onRoundFinished() {
    round->driver.join();
    redrawTimer.stop();
    giveUpTimer.stop();
    display.show(state.takeEvents());
    display.endRound();

    double const seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - roundStart).count();
    std::error_code error;
    std::filesystem::path where = std::filesystem::absolute(target.empty() ? "." : target, error);
    Summary const summary =
        summarise(state, where.lexically_normal().string(), seconds, signal, gaveUp);
    printSummary(summary, stdout);
    if (!options.reportPath.empty()) {
        std::string problem;
        if (!writeReport(summary, options.reportPath, problem)) {
            std::fprintf(stderr, "resource-sync: %s\n", problem.c_str());
        }
    }
    if (signal == 0 && options.watchSeconds > 0) {
        // The group handler unregisters, then the manager stops and releases its schedulers;
        // the files' subscriptions end with them.
        round.reset();
        watchTimer.start(std::chrono::seconds(options.watchSeconds));
        return;
    }
    // The last round: its manager has nothing left to run, and the process ends with the event
    // loop without releasing it (main.cpp).
    QCoreApplication::exit(signal != 0 ? 128 + signal : summary.exitCode);
}

}  // namespace Tiskel::ResourceSync
