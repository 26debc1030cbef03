// The desktop example driven as a user drives it: open a manifest, press Sync or Cancel, read
// the rows. Offscreen, against the loopback HTTP server; every wait is on a signal or on the
// rows themselves.

#include <cstdlib>
#include <string>

#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTreeWidget>
#include <QtTest>
#include <glog/logging.h>

#include "Support/HttpTestServer.h"
#include "Support/TempDir.h"
#include "SyncWindow.h"

using DesktopSync::SyncWindow;
using Tiskel::Test::HttpTestServer;
using Tiskel::Test::TempDir;

namespace {

constexpr int kTimeoutMs = 30000;
constexpr int64_t kServerTime = 1600000000;

// The window as a user sees it: its tree's cells by column title, its actions by name.
class View {
  public:
    explicit View(QString const& output)
        : window({output.toStdString(), {}, 0}),
          tree(window.findChild<QTreeWidget*>(QStringLiteral("bundles"))) {}

    QString cell(int bundle, QString const& column) const {
        return tree->topLevelItem(bundle)->text(columnOf(column));
    }
    QString cell(int bundle, int file, QString const& column) const {
        return tree->topLevelItem(bundle)->child(file)->text(columnOf(column));
    }
    int bundles() const { return tree->topLevelItemCount(); }
    int files(int bundle) const { return tree->topLevelItem(bundle)->childCount(); }
    QAction* action(char const* name) const {
        return window.findChild<QAction*>(QString::fromLatin1(name));
    }
    // Presses Sync and waits for the run to end; Sync must be disabled while it runs.
    bool sync() {
        QSignalSpy finished(&window, &SyncWindow::runFinished);
        action("sync")->trigger();
        return !action("sync")->isEnabled() && finished.wait(kTimeoutMs);
    }

    SyncWindow window;

  private:
    int columnOf(QString const& title) const {
        for (int c = 0; c < tree->columnCount(); ++c) {
            if (tree->headerItem()->text(c) == title) {
                return c;
            }
        }
        qFatal("no column %s", qPrintable(title));
    }

    QTreeWidget* tree;
};

}  // namespace

class DesktopSyncTest : public QObject {
    Q_OBJECT

  private:
    // Writes m.json, a manifest of this server's files with `rest` following its baseUrl, opens
    // it in `view` and waits for `signal` (by default: until it is shown).
    template <class Signal = void (SyncWindow::*)()>
    bool open(View& view, std::string const& rest, Signal signal = &SyncWindow::manifestOpened) {
        work.write("m.json", "{\"baseUrl\": \"" + server.baseUrl() + "/\", " + rest);
        QSignalSpy spy(&view.window, signal);
        view.window.openManifest(QString::fromStdString(work.file("m.json")));
        return spy.wait(kTimeoutMs);
    }
    QString output() const { return QString::fromStdString(work.file("out")); }
    std::string local(std::string const& path) const {
        return TempDir::read(work.file("out/" + path));
    }

    TempDir work;
    HttpTestServer server;

  private Q_SLOTS:
    // A broken manifest is reported and cannot be synced; the next one opens. The validate
    // policy (a bundle of its own) replaces a file whose digest differs and keeps one that
    // matches.
    void syncBringsEveryRowToAvailableAndASecondSyncKeepsCurrentFiles() {
        server.addFile("/a/one.txt", "one", kServerTime);
        server.addFile("/a/two.txt", "two", kServerTime);
        std::string const big(300 * 1024, 'b');
        server.addFile("/b/big.bin", big, kServerTime);
        server.addFile("/v/good.txt", "good");
        server.addFile("/v/bad.txt", "fresh");
        work.write("out/v/good.txt", "good");
        work.write("out/v/bad.txt", "stale");
        // A file of the validate policy whose digest is that of `text`.
        auto const valid = [](std::string const& path, char const* text) {
            QByteArray const digest = QCryptographicHash::hash(text, QCryptographicHash::Sha256);
            return "{\"path\": \"" + path + "\", \"policy\": \"validate\", \"sha256\": \"" +
                   digest.toHex().toStdString() + "\"}";
        };
        View view(output());
        QSignalSpy failed(&view.window, &SyncWindow::manifestFailed);
        QVERIFY(open(view, R"("bundles": [{"files": 3}]})", &SyncWindow::manifestFailed));
        QVERIFY2(failed.first().first().toString().contains("m.json"),
                 qPrintable(failed.first().first().toString()));
        QVERIFY(!view.action("sync")->isEnabled());
        QCOMPARE(view.bundles(), 0);

        QVERIFY(open(view, R"("bundles": [
            {"name": "texts", "init": true, "files": ["a/one.txt", "a/two.txt"]},
            {"name": "data", "files": [{"path": "b/big.bin", "size": 307200}]},
            {"name": "v", "files": [)" +
                               valid("v/good.txt", "good") + ", " + valid("v/bad.txt", "fresh") +
                               "]}]}"));
        QCOMPARE(view.bundles(), 3);
        QCOMPARE(view.cell(0, "State"), QStringLiteral("Not synced"));

        QVERIFY(view.sync());
        QCOMPARE(view.cell(2, 0, "Outcome"), QStringLiteral("KeptValid"));
        QCOMPARE(view.cell(2, 1, "Outcome"),
                 QStringLiteral("Downloaded (did not match its sha256)"));
        QCOMPARE(local("v/bad.txt"), std::string("fresh"));
        QCOMPARE(server.requestCount("/v/good.txt"), size_t{0});
        for (int b = 0; b < 2; ++b) {
            QCOMPARE(view.cell(b, "State"), QStringLiteral("Available"));
            QCOMPARE(view.cell(b, "Files"), QStringLiteral("%1/%1").arg(view.files(b)));
            for (int f = 0; f < view.files(b); ++f) {
                QCOMPARE(view.cell(b, f, "State"), QStringLiteral("Available"));
                QCOMPARE(view.cell(b, f, "Outcome"), QStringLiteral("Downloaded (missing)"));
                QCOMPARE(view.cell(b, f, "Reason"), QString());
            }
        }
        QCOMPARE(local("a/two.txt"), std::string("two"));
        QCOMPARE(local("b/big.bin").size(), big.size());

        // A second sync asks the server again (a new manager) and keeps what is current.
        QVERIFY(view.sync());
        QCOMPARE(view.cell(1, 0, "Outcome"), QStringLiteral("KeptNotModified"));
        QCOMPARE(view.cell(0, 1, "State"), QStringLiteral("Available"));
        QCOMPARE(server.requestCount("/b/big.bin"), size_t{2});
    }

    // A failed file shows its reason while the run goes on; Cancel then ends the run, and a
    // stalled file's row says so.
    void aFailedFileShowsItsReasonInItsRowAndCancelStopsTheRun() {
        server.addFile("/ok.txt", "ok");
        server.addStatus("/gone.txt", 404);
        server.addFault("/stalls.bin", std::string(100000, 's'), HttpTestServer::Fault::Stall,
                        1000);
        View view(output());
        QVERIFY(open(view, R"("bundles": [{"name": "mixed", "files": ["ok.txt", "gone.txt"]},
            {"name": "slow", "files": ["stalls.bin"]}]})"));
        QVERIFY(!view.action("cancel")->isEnabled());

        QSignalSpy finished(&view.window, &SyncWindow::runFinished);
        view.action("sync")->trigger();
        // The failed file is retried after a pause; its first failure is what the row shows.
        QTRY_VERIFY_WITH_TIMEOUT(view.cell(0, 1, "Reason").contains("HTTP 404"), kTimeoutMs);
        QCOMPARE(view.cell(0, 1, "Outcome"), QStringLiteral("Failed (missing)"));
        // Error, or Waiting once the retry is queued; the reason stays in the row meanwhile.
        QVERIFY(view.cell(0, 1, "State") != QStringLiteral("Available"));
        QTRY_COMPARE_WITH_TIMEOUT(view.cell(0, 0, "State"), QStringLiteral("Available"),
                                  kTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(view.cell(0, "State").startsWith("Error"), kTimeoutMs);
        QCOMPARE(view.cell(0, 0, "Reason"), QString());

        QTRY_VERIFY_WITH_TIMEOUT(view.cell(1, 0, "State").startsWith("Downloading"), kTimeoutMs);
        view.action("cancel")->trigger();
        QVERIFY(finished.wait(kTimeoutMs));
        QCOMPARE(view.cell(1, "State"), QStringLiteral("Cancelled"));
        QCOMPARE(view.cell(1, 0, "State"), QStringLiteral("Cancelled"));
        QVERIFY(view.action("sync")->isEnabled());
        QVERIFY(!QFileInfo::exists(output() + "/stalls.bin"));
    }
};

int main(int argc, char** argv) {
    google::InitGoogleLogging(argv[0]);
    FLAGS_stderrthreshold = std::getenv("RDM_TEST_LOG") ? google::GLOG_INFO : google::GLOG_FATAL;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    DesktopSyncTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "DesktopSyncTest.moc"
