#pragma once

#include <memory>
#include <thread>
#include <vector>

#include <QMainWindow>
#include <QString>

#include "Manifest.h"
#include "SyncRun.h"

class QAction;
class QLabel;
class QProgressBar;
class QTreeWidget;
class QTreeWidgetItem;

// The desktop face of a sync: one row per bundle of a manifest (progress bar, state, files
// settled), expandable to its files (state, outcome and reason), and the actions Open, Sync,
// Cancel and Open folder.
//
// The manifest is read on a thread of the window's and the sync runs on the library's threads
// (SyncRun); the window only reacts to signals on the GUI thread. Bound to the GUI thread.
namespace DesktopSync {

class SyncWindow : public QMainWindow {
    Q_OBJECT

  public:
    // `defaults.folder`, when set, is where every manifest syncs to; otherwise the manifest's
    // `target` (relative to the manifest), else a folder the user chooses.
    explicit SyncWindow(RunOptions defaults, QWidget* parent = nullptr);
    ~SyncWindow() override;

    // Reads and checks the manifest at `path` off the GUI thread; `manifestOpened` or
    // `manifestFailed` follows.
    void openManifest(QString const& path);

  public Q_SLOTS:
    void chooseManifest();
    void sync();
    void cancel();
    void openFolder();

  Q_SIGNALS:
    void manifestOpened();
    void manifestFailed(QString const& message);
    // The mean progress of the bundles, weighted by their files (0.0 to 1.0).
    void progressChanged(double progress);
    void runFinished();

  private:
    struct BundleRow {
        QTreeWidgetItem* item = nullptr;
        QProgressBar* bar = nullptr;
        std::vector<FileReport> files;  // the latest report of each file in the current run
    };

    void showManifest(std::shared_ptr<Tiskel::ResourceSync::Manifest const> manifest,
                      QString const& path);
    void onBundleChanged(int bundle, Tiskel::App::IRemoteResource::State const& state);
    void onFileChanged(FileReport const& report);
    void onRunFinished();
    void updateActions();

    RunOptions const defaults;
    QAction* openAction;
    QAction* syncAction;
    QAction* cancelAction;
    QAction* folderAction;
    QTreeWidget* tree;
    QProgressBar* totalBar;
    QLabel* summary;

    std::shared_ptr<Tiskel::ResourceSync::Manifest const> manifest;
    QString manifestPath;
    QString folder;
    std::vector<BundleRow> rows;
    std::vector<double> progress;  // per bundle
    bool loading = false;
    bool running = false;
    bool cancelling = false;

    Tiskel::App::QtInbox inbox{"desktop-sync window", this};
    std::thread loader;
    std::unique_ptr<SyncRun> run;
};

}  // namespace DesktopSync
