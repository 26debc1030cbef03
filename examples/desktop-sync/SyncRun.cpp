#include "SyncRun.h"

#include <climits>
#include <exception>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

#include <QCryptographicHash>
#include <QFile>
#include <glog/logging.h>

#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/IValidator.h"
#include "App/ResourceDownloadManager/RemoteResourceScheduler.h"
#include "Platform/Networking/IHttpClient.h"

#include "TargetFolder.h"

namespace DesktopSync {

namespace {

using Tiskel::App::DownloadReason;
using Tiskel::App::FileDecision;
using Tiskel::App::FileFailure;
using Tiskel::App::IRemoteResource;
using Tiskel::App::ResourceDescriptor;

// For the `validate` policy: a local file whose SHA-256 is not the manifest's (kept in the
// descriptor's `id`) is invalid, and so is a missing one. A file without a digest is valid.
// Runs on the download threads.
class DigestValidator final : public Tiskel::App::IValidator {
  public:
    Result validate(ResourceDescriptor const* descriptor) const override {
        if (descriptor->id.empty()) {
            return Valid;
        }
        QFile file(QString::fromStdString(descriptor->localPath.string()));
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
            return Invalid;
        }
        return hash.result().toHex().toStdString() == descriptor->id ? Valid : Invalid;
    }
};

QString whyText(DownloadReason why) {
    switch (why) {
        case DownloadReason::Always:
            return QStringLiteral("policy always");
        case DownloadReason::Missing:
            return QStringLiteral("missing");
        case DownloadReason::SizeDiffers:
            return QStringLiteral("size differed");
        case DownloadReason::Newer:
            return QStringLiteral("newer on the server");
        case DownloadReason::Invalid:
            return QStringLiteral("did not match its sha256");
        case DownloadReason::None:
            break;
    }
    return {};
}

}  // namespace

SyncRun::SyncRun(Tiskel::ResourceSync::Manifest const& manifest, RunOptions runOptions,
                 QObject* parent)
    : QObject(parent), options(std::move(runOptions)), bundles(manifest.bundles.size()) {
    for (std::size_t b = 0; b < manifest.bundles.size(); ++b) {
        auto const& files = manifest.bundles[b].files;
        for (std::size_t f = 0; f < files.size(); ++f) {
            ResourceDescriptor& d = descriptors.emplace_back();
            std::string const local = options.folder + "/" + files[f].localPath;
            d.localPath = d.downloadPath = local;
            // The temporary name resource-sync uses, so either program removes the other's
            // leftovers.
            d.tempPath = local + Tiskel::ResourceSync::partSuffix();
            d.baseUrl = manifest.baseUrl;
            d.remotePath = files[f].remotePath;
            d.category = manifest.bundles[b].name;
            d.name = files[f].localPath;
            d.updatePolicy = files[f].policy;
            d.expectedSize = files[f].size;
            d.id = files[f].sha256;
            bundles[b].descriptors.insert(&d);
            places.emplace(&d, std::make_pair(static_cast<int>(b), static_cast<int>(f)));
        }
    }

    Tiskel::App::ResourceDownloadManager::Params params;
    params.useParallelExecutor = true;
    params.repairSizeMismatch = true;
    params.conditionalRequests = true;
    params.resumeDownloads = true;
    Tiskel::App::ResourceDownloadManager::Dependencies deps;
    deps.validator = std::make_shared<DigestValidator>();
    if (!options.fromDir.empty()) {
        deps.downloader = std::make_shared<Tiskel::App::ResourceDownloaderFileMock>(
            options.fromDir, options.rateKiBps > 0 ? options.rateKiBps : INT_MAX);
    } else if (options.rateKiBps > 0) {
        // The manager's own HTTP downloader has no rate limit; this one is made the same way.
        Tiskel::App::ResourceDownloaderHttp::Features features;
        features.conditional = params.conditionalRequests;
        features.resume = params.resumeDownloads;
        auto http = std::make_shared<Tiskel::App::ResourceDownloaderHttp>(
            Tiskel::Networking::createHttpClient(Tiskel::Networking::HttpClientDefault),
            std::make_shared<Tiskel::App::QtProxyProvider>(),
            std::make_shared<Tiskel::App::NetworkStateCheckerStub>(), features);
        http->limitReceiveRate(int64_t{options.rateKiBps} * 1024);
        deps.downloader = std::move(http);
    }
    manager.init(params, deps);

    connect(&adapter, &Tiskel::App::RemoteResourceEventHandlerQt::stateChanged, this,
            [this](Tiskel::App::ResourceDescriptorBundle const* bundle,
                   IRemoteResource::DownloadStatus status, IRemoteResource::DownloadError error,
                   double progress) {
                IRemoteResource::State state;
                state.status = status;
                state.error = error;
                state.progress = progress;
                Q_EMIT bundleChanged(static_cast<int>(bundle - bundles.data()), state);
            });
    connect(&adapter, &Tiskel::App::RemoteResourceEventHandlerQt::fileChanged, this,
            &SyncRun::onFileEvent);
    Tiskel::App::FileEventParams fileParams;
    fileParams.progress = true;
    fileParams.progressGranularity = 0.05;
    for (std::size_t b = 0; b < bundles.size(); ++b) {
        auto& scheduler =
            manifest.bundles[b].init ? *manager.getInitScheduler() : *manager.getMainScheduler();
        IRemoteResource* resource = scheduler.registerResource(&bundles[b]);
        adapter.registerFilesWithin(resource, fileParams);
        adapter.registerWithin(resource);
        resources.push_back(resource);
    }
}

SyncRun::~SyncRun() {
    manager.abort();
    if (driver.joinable()) {
        driver.join();
    }
}

void SyncRun::start() {
    driver = std::thread([this] {
        // A folder that cannot be made is not an error here: its files fail on their own, with
        // the reason, when their temporary file cannot be created.
        std::set<std::filesystem::path> made;
        for (ResourceDescriptor const& d : descriptors) {
            auto const folder = std::filesystem::path(d.localPath.string()).parent_path();
            if (made.insert(folder).second) {
                std::error_code ignored;
                std::filesystem::create_directories(folder, ignored);
            }
        }
        if (!cancelled) {
            for (IRemoteResource* resource : resources) {
                resource->scheduleDownload(Tiskel::App::ISchedulableResource::Normal);
            }
        }
        try {
            manager.processCurrentQueue();
        } catch (std::exception const& error) {
            LOG(ERROR) << "desktop-sync: a download pass failed: " << error.what();
        }
        // The adapter's last notifications travel on a queue of their own and may still be on
        // their way: the rows take the final states from here, in order with the files' events.
        std::vector<IRemoteResource::State> states;
        for (IRemoteResource* resource : resources) {
            states.push_back(resource->getCurrentState());
        }
        inbox.post([this, states] {
            for (std::size_t b = 0; b < states.size(); ++b) {
                Q_EMIT bundleChanged(static_cast<int>(b), states[b]);
            }
            Q_EMIT finished();
        });
    });
}

void SyncRun::cancel() {
    cancelled = true;
    for (IRemoteResource* resource : resources) {
        resource->cancelDownload();
    }
}

void SyncRun::onFileEvent(Tiskel::App::QtFileEvent const& event) {
    FileReport report;
    auto const place = places.find(event.descriptor);
    if (place == places.end()) {
        return;
    }
    report.bundle = place->second.first;
    report.file = place->second.second;
    report.status = event.state.status;
    report.error = event.state.error;
    report.bytesReceived = event.bytesReceived;
    report.bytesTotal = event.bytesTotal;
    if (event.hasOutcome) {
        report.settled = true;
        FileFailure const& failure = event.outcome.failure;
        report.cancelled = failure.kind == FileFailure::Cancelled;
        report.outcome = QString::fromLatin1(fileDecisionName(event.outcome.decision));
        QString const why = whyText(event.outcome.why);
        if (!why.isEmpty()) {
            report.outcome += QStringLiteral(" (%1)").arg(why);
        }
        report.reason = QString::fromStdString(failure.text);
    }
    Q_EMIT fileChanged(report);
}

}  // namespace DesktopSync
