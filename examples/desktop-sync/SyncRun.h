#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <QObject>
#include <QString>

#include "App/ResourceDownloadManager/FileEvents.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/QtEventHandler.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "App/ResourceDownloadManager/ResourceDownloadManager.h"
#include "Platform/QtUtils/QtInbox.h"

#include "Manifest.h"

// One sync of a manifest into a folder, the way a desktop application drives the library:
// descriptors and bundles built from the manifest, a fresh manager on a thread pool (a manager
// trusts what it once found current, so each sync needs a new one), init bundles on the init
// scheduler and the rest on the main one, bundle notifications and per-file events through the
// Qt signals adapter.
//
// A driver thread of the run makes the folders the files need, schedules every bundle and runs
// the manager's queue until every file has settled and no retry is left; the GUI thread does no
// file or network work.
//
// Bound to the thread that creates it (the GUI thread): construct, call and destroy it there;
// its signals are emitted there.
namespace DesktopSync {

struct RunOptions {
    std::string folder;   // where the files go
    std::string fromDir;  // take the files from this folder instead of the web server
    int rateKiBps = 0;    // all HTTP downloads together, or each copy from fromDir; 0: no limit
};

// What the GUI hears of one file.
struct FileReport {
    int bundle = 0;  // indexes into the manifest's bundles and their files
    int file = 0;
    Tiskel::App::IRemoteResource::DownloadStatus status = Tiskel::App::IRemoteResource::Waiting;
    Tiskel::App::IRemoteResource::DownloadError error = Tiskel::App::IRemoteResource::NoError;
    uint64_t bytesReceived = 0;
    uint64_t bytesTotal = 0;  // 0 when not known
    // Set when a run of the file ended: what was decided ("Downloaded (missing)",
    // "KeptNotModified", "Failed", ...) and, for a failure, why.
    bool settled = false;
    bool cancelled = false;
    QString outcome;
    QString reason;
};

class SyncRun : public QObject {
    Q_OBJECT

  public:
    // Builds the descriptors, initialises the manager, registers the bundles and subscribes to
    // them; touches no file and starts no transfer. Throws what the manager's set-up throws.
    SyncRun(Tiskel::ResourceSync::Manifest const& manifest, RunOptions options,
            QObject* parent = nullptr);
    // Aborts whatever still runs and joins the driver thread; no signal follows.
    ~SyncRun() override;
    SyncRun(SyncRun const&) = delete;
    SyncRun& operator=(SyncRun const&) = delete;

    // Starts the driver thread. Once.
    void start();
    // Stops the running and the queued downloads; `finished` follows once they have stopped.
    void cancel();

  Q_SIGNALS:
    void bundleChanged(int bundle, Tiskel::App::IRemoteResource::State state);
    void fileChanged(DesktopSync::FileReport const& report);
    // Every file has settled (or was cancelled) and nothing is left to retry.
    void finished();

  private:
    // GUI thread: turns the adapter's file event into a report.
    void onFileEvent(Tiskel::App::QtFileEvent const& event);

    // Constant after construction; read by the library's and the driver's threads.
    RunOptions const options;
    std::deque<Tiskel::App::ResourceDescriptor> descriptors;  // stable addresses
    std::vector<Tiskel::App::ResourceDescriptorBundle> bundles;
    std::unordered_map<Tiskel::App::ResourceDescriptor const*, std::pair<int, int>> places;
    std::vector<Tiskel::App::IRemoteResource*> resources;

    std::atomic<bool> cancelled{false};
    // The driver thread's word that the run has ended reaches the GUI thread through it; it
    // outlives the manager and the driver.
    Tiskel::App::QtInbox inbox{"desktop-sync run", this};
    // The adapter, declared after the manager, unregisters from the resources first.
    Tiskel::App::ResourceDownloadManager manager;
    Tiskel::App::RemoteResourceEventHandlerQt adapter;
    std::thread driver;
};

}  // namespace DesktopSync
