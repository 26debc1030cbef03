// desktop-sync: a Qt Widgets host of the library. Opens a manifest (the same format as
// resource-sync's), shows its bundles and files, and syncs them into a folder.
//
//   desktop-sync [MANIFEST] [--dir DIR] [--from-dir SRC] [--rate KIBPS] [--sync]

#include <algorithm>
#include <cstdio>
#include <memory>

#include <QApplication>
#include <QCommandLineParser>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTreeWidget>
#include <glog/logging.h>

#include "SyncWindow.h"

namespace {

// --screenshot PATH: the window mid-download and when done, one above the other, as one picture.
// The first grab is taken once the total progress has passed 60 % (for the sample manifest:
// the text bundle done, the images under way).
void takeScreenshots(DesktopSync::SyncWindow& window, QString const& path) {
    auto middle = std::make_shared<QPixmap>();
    QObject::connect(&window, &DesktopSync::SyncWindow::progressChanged, &window,
                     [&window, middle](double progress) {
                         if (middle->isNull() && progress > 0.6 && progress < 0.95) {
                             *middle = window.grab();
                         }
                     });
    QObject::connect(
        &window, &DesktopSync::SyncWindow::runFinished, &window, [&window, middle, path] {
            QPixmap const done = window.grab();
            int const gap = 16;
            QImage picture(std::max(middle->width(), done.width()),
                           middle->height() + gap + done.height(), QImage::Format_RGB32);
            picture.fill(Qt::white);
            QPainter painter(&picture);
            painter.drawPixmap(0, 0, *middle);
            painter.drawPixmap(0, middle->height() + gap, done);
            painter.end();
            bool const saved = !middle->isNull() && picture.save(path);
            if (!saved) {
                std::fprintf(stderr, "desktop-sync: no picture written to %s\n", qPrintable(path));
            }
            QApplication::exit(saved ? 0 : 1);
        });
}

}  // namespace

int main(int argc, char** argv) {
    google::InitGoogleLogging(argv[0]);
    FLAGS_logtostderr = true;
    FLAGS_minloglevel = google::GLOG_WARNING;  // a line per failure, not per download
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("desktop-sync"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Keeps a folder in step with a manifest of remote files."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("manifest"),
                                 QStringLiteral("The manifest to open (JSON)."), "[MANIFEST]");
    QCommandLineOption const dir({"d", "dir"}, "Sync into DIR.", "DIR");
    QCommandLineOption const fromDir("from-dir", "Take the files from the folder SRC.", "SRC");
    QCommandLineOption const rate("rate", "Hold downloads to KIBPS KiB/s.", "KIBPS");
    QCommandLineOption const syncNow("sync", "Start syncing once the manifest is open.");
    QCommandLineOption screenshot("screenshot", "Write a picture of the window to PATH.", "PATH");
    screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({dir, fromDir, rate, syncNow, screenshot});
    parser.process(application);

    DesktopSync::RunOptions options;
    options.folder = parser.value(dir).toStdString();
    options.fromDir = parser.value(fromDir).toStdString();
    bool rateOk = true;
    options.rateKiBps = parser.isSet(rate) ? parser.value(rate).toInt(&rateOk) : 0;
    if (!rateOk || options.rateKiBps < 0) {
        std::fprintf(stderr, "desktop-sync: --rate takes a number of KiB/s\n");
        return 2;
    }
    QStringList const manifests = parser.positionalArguments();
    if (parser.isSet(screenshot) && manifests.isEmpty()) {
        std::fprintf(stderr, "desktop-sync: --screenshot needs a manifest\n");
        return 2;
    }

    DesktopSync::SyncWindow window(options);
    if (parser.isSet(syncNow) || parser.isSet(screenshot)) {
        QObject::connect(&window, &DesktopSync::SyncWindow::manifestOpened, &window,
                         &DesktopSync::SyncWindow::sync);
    }
    if (parser.isSet(screenshot)) {
        takeScreenshots(window, parser.value(screenshot));
        QObject::connect(&window, &DesktopSync::SyncWindow::manifestFailed, &window,
                         [] { QApplication::exit(2); });
    }
    if (!manifests.isEmpty()) {
        window.openManifest(manifests.first());
    }
    window.show();
    return application.exec();
}
