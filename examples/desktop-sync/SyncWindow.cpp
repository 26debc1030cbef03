#include "SyncWindow.h"

#include <exception>
#include <utility>

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeWidget>
#include <QUrl>

namespace DesktopSync {

namespace {

using Tiskel::App::IRemoteResource;

enum Column { NameColumn, ProgressColumn, StateColumn, FilesColumn, OutcomeColumn, ReasonColumn };

// Manifests up to this many files open with every bundle expanded.
constexpr int kExpandedFiles = 100;

QString stateText(IRemoteResource::DownloadStatus status, IRemoteResource::DownloadError error) {
    if (status == IRemoteResource::Error) {
        return error == IRemoteResource::Cancelled
                   ? QStringLiteral("Cancelled")
                   : QStringLiteral("Error (%1)")
                         .arg(QString::fromStdString(IRemoteResource::errorToString(error)));
    }
    return QString::fromStdString(IRemoteResource::statusToString(status));
}

}  // namespace

SyncWindow::SyncWindow(RunOptions defaults, QWidget* parent)
    : QMainWindow(parent),
      defaults(std::move(defaults)),
      openAction(new QAction(tr("Open…"), this)),
      syncAction(new QAction(tr("Sync"), this)),
      cancelAction(new QAction(tr("Cancel"), this)),
      folderAction(new QAction(tr("Open folder"), this)),
      tree(new QTreeWidget(this)),
      totalBar(new QProgressBar(this)),
      summary(new QLabel(tr("Open a manifest to begin."), this)) {
    openAction->setObjectName(QStringLiteral("open"));
    syncAction->setObjectName(QStringLiteral("sync"));
    cancelAction->setObjectName(QStringLiteral("cancel"));
    folderAction->setObjectName(QStringLiteral("openFolder"));
    openAction->setShortcut(QKeySequence::Open);
    connect(openAction, &QAction::triggered, this, &SyncWindow::chooseManifest);
    connect(syncAction, &QAction::triggered, this, &SyncWindow::sync);
    connect(cancelAction, &QAction::triggered, this, &SyncWindow::cancel);
    connect(folderAction, &QAction::triggered, this, &SyncWindow::openFolder);
    QToolBar* toolBar = addToolBar(tr("Sync"));
    toolBar->setMovable(false);
    toolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    toolBar->addActions({openAction, syncAction, cancelAction, folderAction});

    tree->setObjectName(QStringLiteral("bundles"));
    tree->setHeaderLabels({tr("Bundle / file"), tr("Progress"), tr("State"), tr("Files"),
                           tr("Outcome"), tr("Reason")});
    tree->setColumnWidth(NameColumn, 220);
    tree->setColumnWidth(ProgressColumn, 150);
    tree->setColumnWidth(StateColumn, 185);
    tree->setColumnWidth(FilesColumn, 60);
    tree->setColumnWidth(OutcomeColumn, 250);
    tree->header()->setStretchLastSection(true);
    setCentralWidget(tree);

    totalBar->setMaximumWidth(200);
    statusBar()->addWidget(summary, 1);
    statusBar()->addPermanentWidget(totalBar);

    setWindowTitle(QStringLiteral("desktop-sync"));
    resize(1080, 300);
    updateActions();
}

SyncWindow::~SyncWindow() {
    run.reset();
    if (loader.joinable()) {
        loader.join();
    }
}

void SyncWindow::chooseManifest() {
    QString const path = QFileDialog::getOpenFileName(this, tr("Open a manifest"), QString(),
                                                      tr("Manifests (*.json);;All files (*)"));
    if (!path.isEmpty()) {
        openManifest(path);
    }
}

void SyncWindow::openManifest(QString const& path) {
    if (loading || running) {
        return;
    }
    loading = true;
    updateActions();
    if (loader.joinable()) {
        loader.join();  // the previous one has posted its result already
    }
    loader = std::thread([this, file = path.toStdString()] {
        try {
            auto loaded = std::make_shared<Tiskel::ResourceSync::Manifest const>(
                Tiskel::ResourceSync::parseManifest(Tiskel::ResourceSync::readManifest(file),
                                                    Tiskel::ResourceSync::manifestName(file)));
            inbox.post(
                [this, loaded, file] { showManifest(loaded, QString::fromStdString(file)); });
        } catch (std::exception const& error) {
            inbox.post([this, message = std::string(error.what())] {
                loading = false;
                updateActions();
                summary->setText(QString::fromStdString(message));
                Q_EMIT manifestFailed(QString::fromStdString(message));
            });
        }
    });
}

void SyncWindow::showManifest(std::shared_ptr<Tiskel::ResourceSync::Manifest const> loaded,
                              QString const& path) {
    loading = false;
    // The last run's late notifications belong to the old rows; they go with it.
    run.reset();
    manifest = std::move(loaded);
    manifestPath = path;
    folder = QString::fromStdString(defaults.folder);
    if (folder.isEmpty() && !manifest->target.empty()) {
        folder = QFileInfo(path).dir().filePath(QString::fromStdString(manifest->target));
    }
    if (!folder.isEmpty()) {
        folder = QDir::cleanPath(QDir(folder).absolutePath());
    }

    tree->clear();
    rows.clear();
    progress.assign(manifest->bundles.size(), 0.0);
    int fileCount = 0;
    for (auto const& bundle : manifest->bundles) {
        auto* item = new QTreeWidgetItem(tree);
        item->setText(NameColumn, QString::fromStdString(bundle.name));
        for (auto const& file : bundle.files) {
            auto* child = new QTreeWidgetItem(item);
            child->setText(NameColumn, QString::fromStdString(file.localPath));
            child->setToolTip(NameColumn, QString::fromStdString(file.remotePath));
        }
        auto* bar = new QProgressBar();
        bar->setRange(0, 100);
        tree->setItemWidget(item, ProgressColumn, bar);
        rows.push_back({item, bar, std::vector<FileReport>(bundle.files.size())});
        fileCount += static_cast<int>(bundle.files.size());
    }
    if (fileCount <= kExpandedFiles) {
        tree->expandAll();
    }
    for (std::size_t b = 0; b < rows.size(); ++b) {
        rows[b].item->setText(StateColumn, tr("Not synced"));
        rows[b].item->setText(FilesColumn, QStringLiteral("0/%1").arg(rows[b].files.size()));
    }
    totalBar->setValue(0);
    setWindowTitle(QStringLiteral("desktop-sync: %1").arg(QFileInfo(path).fileName()));
    summary->setText(tr("%n file(s) in %1 bundles, to %2", nullptr, fileCount)
                         .arg(rows.size())
                         .arg(folder.isEmpty() ? tr("a folder chosen at Sync") : folder));
    updateActions();
    Q_EMIT manifestOpened();
}

void SyncWindow::sync() {
    if (!manifest || loading || running) {
        return;
    }
    if (folder.isEmpty()) {
        folder = QFileDialog::getExistingDirectory(this, tr("Sync into"));
        if (folder.isEmpty()) {
            return;
        }
    }
    for (std::size_t b = 0; b < rows.size(); ++b) {
        BundleRow& row = rows[b];
        row.bar->setValue(0);
        row.item->setText(StateColumn, tr("Waiting"));
        row.item->setText(FilesColumn, QStringLiteral("0/%1").arg(row.files.size()));
        row.files.assign(row.files.size(), FileReport{});
        for (int f = 0; f < row.item->childCount(); ++f) {
            for (int column : {StateColumn, OutcomeColumn, ReasonColumn}) {
                row.item->child(f)->setText(column, QString());
            }
        }
        progress[b] = 0.0;
    }
    totalBar->setValue(0);

    // The previous run has finished; its manager goes before the new one starts.
    run.reset();
    try {
        run = std::make_unique<SyncRun>(
            *manifest, RunOptions{folder.toStdString(), defaults.fromDir, defaults.rateKiBps});
    } catch (std::exception const& error) {
        summary->setText(tr("Cannot start: %1").arg(QString::fromStdString(error.what())));
        return;
    }
    connect(run.get(), &SyncRun::bundleChanged, this, &SyncWindow::onBundleChanged);
    connect(run.get(), &SyncRun::fileChanged, this, &SyncWindow::onFileChanged);
    connect(run.get(), &SyncRun::finished, this, &SyncWindow::onRunFinished);
    running = true;
    cancelling = false;
    summary->setText(tr("Syncing to %1").arg(folder));
    run->start();
    updateActions();
}

void SyncWindow::cancel() {
    if (!running || cancelling) {
        return;
    }
    cancelling = true;
    summary->setText(tr("Cancelling…"));
    run->cancel();
    updateActions();
}

void SyncWindow::openFolder() {
    if (!folder.isEmpty()) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    }
}

void SyncWindow::onBundleChanged(int bundle, IRemoteResource::State const& state) {
    BundleRow& row = rows.at(static_cast<std::size_t>(bundle));
    row.bar->setValue(static_cast<int>(state.progress * 100));
    row.item->setText(StateColumn, stateText(state.status, state.error));
    progress[static_cast<std::size_t>(bundle)] = state.progress;

    double done = 0.0;
    double files = 0.0;
    for (std::size_t b = 0; b < rows.size(); ++b) {
        done += progress[b] * static_cast<double>(rows[b].files.size());
        files += static_cast<double>(rows[b].files.size());
    }
    double const total = files > 0 ? done / files : 1.0;
    totalBar->setValue(static_cast<int>(total * 100));
    Q_EMIT progressChanged(total);
}

void SyncWindow::onFileChanged(FileReport const& report) {
    BundleRow& row = rows.at(static_cast<std::size_t>(report.bundle));
    FileReport& last = row.files.at(static_cast<std::size_t>(report.file));
    if (report.settled) {
        last = report;
    } else {
        // A status change keeps the outcome of the run before it until a retry starts.
        bool const retrying = report.status == IRemoteResource::Waiting ||
                              report.status == IRemoteResource::Downloading;
        last.settled = last.settled && !retrying;
        last.status = report.status;
        last.error = report.error;
        last.bytesReceived = report.bytesReceived;
        last.bytesTotal = report.bytesTotal;
    }
    QTreeWidgetItem* item = row.item->child(report.file);
    QString state = last.cancelled ? tr("Cancelled") : stateText(last.status, last.error);
    if (last.status == IRemoteResource::Downloading && last.bytesTotal > 0) {
        state += QStringLiteral(" %1%").arg(last.bytesReceived * 100 / last.bytesTotal);
    }
    item->setText(StateColumn, state);
    item->setText(OutcomeColumn, last.outcome);
    item->setText(ReasonColumn, last.reason);
    item->setToolTip(ReasonColumn, last.reason);
    std::size_t settled = 0;
    for (FileReport const& file : row.files) {
        settled += file.settled ? 1 : 0;
    }
    row.item->setText(FilesColumn, QStringLiteral("%1/%2").arg(settled).arg(row.files.size()));
}

void SyncWindow::onRunFinished() {
    running = false;
    int available = 0;
    int failed = 0;
    int stopped = 0;
    for (BundleRow& row : rows) {
        for (std::size_t f = 0; f < row.files.size(); ++f) {
            FileReport const& file = row.files[f];
            if (!file.settled || file.cancelled) {
                if (!file.settled) {
                    // Never reached by the run: cancelled before its turn.
                    row.item->child(static_cast<int>(f))
                        ->setText(StateColumn, cancelling ? tr("Cancelled") : tr("Not synced"));
                }
                ++stopped;
            } else if (file.status == IRemoteResource::Available) {
                ++available;
            } else {
                ++failed;
            }
        }
    }
    summary->setText(tr("%1 available, %2 failed, %3 cancelled; files are in %4")
                         .arg(available)
                         .arg(failed)
                         .arg(stopped)
                         .arg(folder));
    updateActions();
    Q_EMIT runFinished();
}

void SyncWindow::updateActions() {
    openAction->setEnabled(!loading && !running);
    syncAction->setEnabled(manifest != nullptr && !loading && !running);
    cancelAction->setEnabled(running && !cancelling);
    folderAction->setEnabled(!folder.isEmpty());
}

}  // namespace DesktopSync
