#include "SyncSession.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
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
#include "App/ResourceDownloadManager/FileEvents.h"
#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"

#include "Checksum.h"
#include "Mirrors.h"
#include "Report.h"
#include "TargetFolder.h"

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

// Each file's status changes and outcomes, and its bytes in steps of 1 % (or 1 MiB while the size
// is not known), for the byte counts and the rate.
App::FileEventParams fileParams() {
    App::FileEventParams params;
    params.progress = true;
    params.progressGranularity = 0.01;
    return params;
}

// --dry-run: asks the server what a run would (the time of an ifModified file) but fetches and
// writes nothing. A download the library decides ends at once as cancelled, with the reason it
// was decided, which the SyncState reports as "would download".
class DryRunDownloader final : public App::IResourceDownloader {
  public:
    explicit DryRunDownloader(std::shared_ptr<App::IResourceDownloader> inner)
        : inner(std::move(inner)) {}
    Result exec(Task task) const override {
        if (task.failure != nullptr) {
            task.failure->kind = App::FileFailure::Cancelled;
            task.failure->text = kDryRun;
        }
        return Cancelled;
    }
    void abort() override { inner->abort(); }
    int64_t requestLastModified(App::ResourceDescriptor const* descriptor) const override {
        return inner->requestLastModified(descriptor);
    }
    LastModified checkLastModified(App::ResourceDescriptor const* descriptor) const override {
        return inner->checkLastModified(descriptor);
    }

  private:
    std::shared_ptr<App::IResourceDownloader> const inner;
};

}  // namespace

struct SyncSession::Round {
    ~Round() {
        if (driver.joinable()) {
            manager.abort();
            driver.join();
        }
    }

    App::ResourceDownloadManager manager;
    // Unregisters when destroyed, so it is declared after the manager. The files' subscriber,
    // the SyncState, outlives the round; its subscriptions end with the manager.
    App::RemoteResourceEventHandlerCallback groupHandler;
    std::thread driver;
    std::atomic<bool> finished{false};  // the driver is done; set before it rings
};

SyncSession::SyncSession(SyncOptions options, Manifest manifest, std::string target)
    : options(std::move(options)),
      target(std::move(target)),
      catalogue(std::move(manifest), this->target, this->options.trace, this->options.verify),
      state(
          catalogue, [this] { ring(); },
          this->options.display == DisplayMode::Plain || this->options.json, this->options.dryRun),
      display(this->options.display, state, stdout, this->options.dryRun) {
    if (this->options.json) {
        state.reportKeptFiles();
        json.emplace(state, stdout, this->options.jsonOutcomesOnly);
    }
    if (this->options.fromDir.empty()) {
        Networking::HttpClientSettings settings = Networking::withCaFromEnvironment({});
        if (!this->options.caFile.empty()) {
            settings.caFile = this->options.caFile;
        }
        settings.netrc = this->options.netrc;
        settings.netrcFile = this->options.netrcFile;
        httpClient = Networking::createHttpClient(Networking::HttpClientDefault, settings);
        if (catalogue.hasMirrors()) {
            ranking = std::make_shared<SourceRanking>(catalogue.sources().size());
        }
    }

    redrawTimer.setInterval(kRedrawInterval);
    QObject::connect(&redrawTimer, &QTimer::timeout, &context, [this] {
        display.redraw();
        display.showProgress();
        if (json && round) {
            // What happened before the progress read now is told first.
            showEvents();
            json->tick(round->manager.nextRetryTime());
        }
    });
    giveUpTimer.setSingleShot(true);
    QObject::connect(&giveUpTimer, &QTimer::timeout, &context, [this] {
        deadlinePassed = true;
        checkEnd();
    });
    stallTimer.setSingleShot(true);
    QObject::connect(&stallTimer, &QTimer::timeout, &context, [this] { checkEnd(); });
    watchTimer.setSingleShot(true);
    QObject::connect(&watchTimer, &QTimer::timeout, &context, [this] { startRound(); });
}

SyncSession::~SyncSession() {
    round.reset();
}

void SyncSession::ring() {
    if (!wakePosted.exchange(true)) {
        inbox.post([this] {
            wakePosted = false;
            onWake();
        });
    }
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

void SyncSession::prepareFolders() {
    for (std::size_t const index : excluded) {
        catalogue.setExcluded(index, false);
    }
    excluded.clear();
    // A folder's look is taken again each round: links may have changed in between.
    Containment containment(target.empty() ? "." : target);
    // Files usually come folder by folder: one look at each distinct folder, and none at a
    // folder just seen. A problem is a folder that cannot be made; a link is where the folder
    // would lead out of the target.
    struct Look {
        std::string problem;
        std::string link;
    };
    std::unordered_map<std::string, Look> looks;
    std::string lastFolder;
    Look const* last = nullptr;
    for (std::size_t i = 0; i < catalogue.size(); ++i) {
        std::string_view const path = catalogue.descriptor(i).localPath.view();
        std::string_view const folder = path.substr(0, path.rfind('/') + 1);
        if (last == nullptr || folder != lastFolder) {
            auto [it, inserted] = looks.try_emplace(std::string(folder));
            std::string_view const relative = catalogue.relativePath(i);
            std::size_t const slash = relative.rfind('/');
            if (inserted && slash != std::string_view::npos) {
                it->second.link = containment.escapingLink(relative.substr(0, slash));
            }
            if (inserted && !folder.empty() && it->second.link.empty() && !options.dryRun) {
                std::error_code error;
                std::filesystem::create_directories(it->first, error);
                if (error) {
                    it->second.problem =
                        "cannot create the folder " + it->first + ": " + error.message();
                }
            }
            lastFolder = folder;
            last = &it->second;
        }
        if (!last->link.empty()) {
            // Not even a temporary file is written there.
            catalogue.setExcluded(i, true);
            excluded.push_back(i);
            state.refuse(i, std::string(catalogue.relativePath(i)) + " leads outside " +
                                (target.empty() ? "." : target) + " through the symlink " +
                                last->link);
        } else if (!last->problem.empty()) {
            state.setFolderProblem(i, last->problem);
        }
    }
}

void SyncSession::startRound() {
    state.reset();
    ending = false;
    deadlinePassed = false;
    gaveUp = false;
    prepareFolders();
    roundStart = std::chrono::steady_clock::now();
    round = std::make_unique<Round>();

    App::ResourceDownloadManager::Params params;
    params.useParallelExecutor = true;
    params.threadCount = options.jobs;
    // A damaged file (its size is not the manifest's) is fetched again under every policy.
    params.repairSizeMismatch = true;
    // Everything a command-line sync over real networks wants: resume, one conditional request
    // per checked file, servers that say "later", durable renames, a full disk seen up front.
    params.resumeDownloads = true;
    // A dry run asks for the server's time alone: a conditional GET would fetch the body.
    params.conditionalRequests = !options.dryRun;
    params.honourRetryAfter = true;
    params.syncToDisk = options.syncToDisk;
    params.checkFreeSpace = true;
    params.jitterRetryPauses = true;
    App::ResourceDownloadManager::Dependencies deps;
    if (options.offlineMarker.empty()) {
        deps.networkStateChecker = std::make_shared<App::NetworkStateCheckerStub>();
    } else {
        deps.networkStateChecker =
            std::make_shared<App::NetworkStateEmulator>(options.offlineMarker);
    }
    if (options.fromDir.empty()) {
        App::ResourceDownloaderHttp::Features features;
        features.resume = params.resumeDownloads;
        features.conditional = params.conditionalRequests;
        features.retryLater = params.honourRetryAfter;
        features.syncToDisk = params.syncToDisk;
        features.checkFreeSpace = params.checkFreeSpace;
        auto http = std::make_shared<App::ResourceDownloaderHttp>(
            httpClient, std::make_shared<App::QtProxyProvider>(), deps.networkStateChecker,
            features);
        http->limitReceiveRate(int64_t{options.rateKiBps} * 1024);
        deps.downloader = std::move(http);
    } else {
        deps.downloader = std::make_shared<App::ResourceDownloaderFileMock>(
            options.fromDir, options.rateKiBps > 0 ? options.rateKiBps : kUnpacedKiBps);
    }
    auto verdicts = std::make_shared<Verdicts>(catalogue.size());
    if (ranking) {
        deps.downloader = std::make_shared<MirrorDownloader>(std::move(deps.downloader), catalogue,
                                                             state, ranking, verdicts);
    }
    if (options.dryRun) {
        deps.downloader = std::make_shared<DryRunDownloader>(std::move(deps.downloader));
    }
    deps.validator = std::make_shared<DigestValidator>(catalogue, verdicts);
    deps.postProcessor = std::make_shared<DigestPostProcessor>(catalogue, state, verdicts);
    if (options.trace) {
        deps.eventTracer = std::make_shared<App::EventTracer>(true);
    }
    App::ResourceDownloadManager& manager = round->manager;
    manager.init(params, deps);

    round->groupHandler.setCallback(
        [this](IRemoteResource::State groupState, ResourceDescriptorBundle const* bundle) {
            state.onGroupState(catalogue.groupOf(bundle), groupState);
        });
    round->groupHandler.setNotificationParams(groupParams());

    auto const initScheduler = manager.getInitScheduler();
    auto const mainScheduler = manager.getMainScheduler();
    App::FileEventParams const perFile = fileParams();
    std::vector<IRemoteResource*> resources;
    resources.reserve(catalogue.groups().size());
    for (std::size_t g = 0; g < catalogue.groups().size(); ++g) {
        auto& scheduler = catalogue.groups()[g].init ? *initScheduler : *mainScheduler;
        IRemoteResource* resource = scheduler.registerResource(&catalogue.bundle(g));
        resource->registerFileEventHandler(&state, perFile);
        round->groupHandler.registerWithin(resource);
        resources.push_back(resource);
    }
    display.startRound();
    if (json) {
        std::error_code error;
        json->startRound(
            options.manifestPath,
            std::filesystem::absolute(target.empty() ? "." : target, error).lexically_normal(),
            options.dryRun);
    }
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
    display.setRetryClock([manager = &manager] { return manager->nextRetryTime(); });
    if (display.mode() == DisplayMode::Terminal) {
        redrawTimer.start(kRedrawInterval);
    } else if (json) {
        // Progress lines at most every 250 ms per file (JsonProgress::tick); precise, so that
        // a tick is not skipped for coming a little early.
        redrawTimer.setTimerType(Qt::PreciseTimer);
        redrawTimer.start(std::chrono::milliseconds(250));
    } else if (display.mode() == DisplayMode::Plain) {
        // Through a pipe: a line for a long download every 10 s (Display::showProgress).
        redrawTimer.start(std::chrono::seconds(1));
    }
    giveUpTimer.start(std::chrono::seconds(options.giveUpSeconds));
}

void SyncSession::showEvents() {
    std::vector<SyncEvent> const events = state.takeEvents();
    display.show(events);
    if (json) {
        json->show(events);
    }
}

void SyncSession::onWake() {
    showEvents();
    if (round && round->finished) {
        onRoundFinished();
        return;
    }
    checkEnd();
}

// Ends the round early when what is left cannot help: only retry pauses remain and the offline
// marker is there with every failure a lost connection; or --give-up has passed and what is left
// is retry pauses, or downloads that have received nothing for the --give-up time (stalled). A
// download that is still receiving goes on.
void SyncSession::checkEnd() {
    if (!round || ending) {
        return;
    }
    SyncCounts const counts = state.counts();
    if (counts.settled < counts.files) {
        if (!deadlinePassed) {
            return;
        }
        auto const limit = std::chrono::seconds(options.giveUpSeconds);
        auto const quiet = state.quietFor(std::chrono::steady_clock::now());
        if (quiet < limit) {
            // Asked again when the quiet would reach the limit; news wakes it sooner.
            stallTimer.start(std::chrono::duration_cast<std::chrono::milliseconds>(limit - quiet) +
                             std::chrono::milliseconds(10));
            return;
        }
        gaveUp = true;
        state.giveUp(options.giveUpSeconds);
        endRound();
        return;
    }
    if (counts.problems() == 0) {
        return;
    }
    bool const offline = !options.offlineMarker.empty() && App::fileExists(options.offlineMarker) &&
                         counts.problems() == counts.unreachable;
    if (offline || deadlinePassed) {
        gaveUp = !offline;
        if (gaveUp) {
            state.giveUp(options.giveUpSeconds);
        }
        endRound();
    }
}

void SyncSession::endRound() {
    ending = true;
    round->manager.abort();
}

std::vector<std::string> SyncSession::deleteUnlisted() {
    std::unordered_set<std::string_view> listed;
    listed.reserve(catalogue.size());
    for (std::size_t i = 0; i < catalogue.size(); ++i) {
        listed.insert(catalogue.relativePath(i));
    }
    std::string const folder = target.empty() ? "." : target;
    std::vector<std::string> deleted;
    for (std::string const& path :
         unlistedFiles(folder, [&](std::string_view path) { return listed.count(path) != 0; })) {
        std::error_code error;
        if (options.dryRun) {
            deleted.push_back(path);
            if (display.mode() != DisplayMode::Quiet) {
                std::printf("would delete %s\n", path.c_str());
            }
        } else if (std::filesystem::remove(folder + "/" + path, error)) {
            deleted.push_back(path);
            if (display.mode() == DisplayMode::Plain) {
                std::printf("deleted %s\n", path.c_str());
            }
        } else if (error) {
            std::fprintf(stderr, "resource-sync: cannot delete %s: %s\n", path.c_str(),
                         error.message().c_str());
        }
    }
    return deleted;
}

void SyncSession::onRoundFinished() {
    round->driver.join();
    redrawTimer.stop();
    giveUpTimer.stop();
    stallTimer.stop();
    showEvents();
    display.endRound();
    display.setRetryClock({});  // the round's manager goes

    double const seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - roundStart).count();
    std::error_code error;
    std::filesystem::path where = std::filesystem::absolute(target.empty() ? "." : target, error);
    Summary summary = summarise(state, where.lexically_normal().string(), seconds, signal, gaveUp);
    summary.dryRun = options.dryRun;
    summary.trustedComment = options.trustedComment;
    if (options.deleteUnlisted && summary.exitCode == 0 && signal == 0) {
        summary.deleted = deleteUnlisted();
    }
    if (json) {
        json->endRound(summary);
    } else {
        printSummary(summary, stdout);
    }
    int exitCode = summary.exitCode;
    if (!options.reportPath.empty()) {
        std::string problem;
        if (!writeReport(summary, options.reportPath, problem)) {
            std::fprintf(stderr, "resource-sync: %s\n", problem.c_str());
            // Whoever asked for the report reads the run's result from it.
            exitCode = exitCode == 0 ? 1 : exitCode;
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
    QCoreApplication::exit(signal != 0 ? 128 + signal : exitCode);
}

}  // namespace Tiskel::ResourceSync
