#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>
#include <QTimer>

#include "Platform/QtUtils/QtInbox.h"

#include "Display.h"
#include "JsonProgress.h"
#include "Manifest.h"
#include "SyncState.h"

namespace Tiskel::Networking {
class IHttpClient;
}

// One `resource-sync sync` run: builds the library's descriptors and bundles from the manifest,
// and runs rounds of the download manager on the Qt event loop until the round ends (or, with
// --watch, until a signal).
//
// A round uses the library as a desktop application does: a fresh ResourceDownloadManager on its
// thread pool; init bundles on the init scheduler and the rest on the main one; each manifest
// bundle registered once, with a subscriber for its aggregate (the progress bars) and the
// SyncState as the subscriber of its files (each file's outcome and reason). A driver thread
// runs `processCurrentQueue`, which returns once every file has settled and nothing is left to
// retry. Notifications are delivered at once on the thread that caused them into the SyncState,
// which wakes the main thread through a QtInbox when there is something to show or decide; a timer
// redraws the terminal.
//
// Every round needs a new manager: an item that was found current is trusted from then on, so
// re-scheduling it in the same manager would never look at the server again.
//
// Bound to the main (Qt) thread.
namespace Tiskel::ResourceSync {

class SourceRanking;

struct SyncOptions {
    std::string manifestPath;
    std::string publicKey;      // the manifest must be signed by this key; empty: need not be
    std::string signaturePath;  // its signature file
    std::optional<std::string> trustedComment;  // of the manifest's signature, once verified
    std::string dir;       // the target folder; empty: the manifest's, else the current folder
    std::size_t jobs = 0;  // download threads; 0: the manager's optimal count
    std::string fromDir;   // take files from this folder instead of the web server
    int rateKiBps = 0;     // all HTTP downloads together, or each copy from fromDir; 0: no limit
    std::string offlineMarker;
    bool trace = false;
    int watchSeconds = 0;  // 0: one round
    int giveUpSeconds = 60;
    std::string reportPath;
    bool wait = true;             // for another run that holds the target folder
    bool verify = false;          // check every present file that has a digest against it
    bool deleteUnlisted = false;  // remove files no entry names, after a run without problems
    bool dryRun = false;          // tell what a run would fetch and delete; write nothing
    bool netrc = false;           // credentials from a netrc file
    std::string netrcFile;        // that file; empty: ~/.netrc
    bool syncToDisk = true;       // each file reaches the disk before it counts
    std::string caFile;           // trusted CAs for HTTPS; empty: the environment's or system's
    DisplayMode display = DisplayMode::Plain;
    // --progress json: standard output carries JSON lines (JsonProgress) and the display is
    // Quiet; with `jsonOutcomesOnly` (--quiet) without the progress and total lines.
    bool json = false;
    bool jsonOutcomesOnly = false;
};

class SyncSession {
  public:
    // REQUIRES: a QCoreApplication exists; `target` is the resolved target folder. The manifest
    // is taken apart into the catalogue and not kept.
    SyncSession(SyncOptions options, Manifest manifest, std::string target);
    ~SyncSession();
    SyncSession(SyncSession const&) = delete;
    SyncSession& operator=(SyncSession const&) = delete;

    // Starts the first round; the event loop's exit code is the run's. When the loop has ended,
    // everything the run had to do is done and reported, and no thread of the session is doing
    // anything.
    void start();
    // SIGINT or SIGTERM: ends the running round (aborting the manager) or the wait between
    // rounds, and makes the run exit with 128 + signal.
    void interrupt(int signal);

  private:
    struct Round;

    void startRound();
    // Makes the folders the files need; a file whose folder cannot be made, or lies beyond a
    // link that leads out of the target, is kept from the library and fails on its own.
    void prepareFolders();
    // Shows the events the state has gathered since the last call.
    void showEvents();
    void onWake();
    void checkEnd();
    void endRound();
    void onRoundFinished();
    // With --delete, after a round in which every file became available: removes the files
    // below the target that no manifest entry names. Returns their paths.
    std::vector<std::string> deleteUnlisted();
    // Wakes the main thread from any thread.
    void ring();

    SyncOptions const options;
    std::string const target;
    Catalogue catalogue;  // only changed between rounds: the files kept from the library
    std::vector<std::size_t> excluded;
    SyncState state;
    Display display;
    std::optional<JsonProgress> json;                     // with --progress json
    std::shared_ptr<Networking::IHttpClient> httpClient;  // kept across rounds for keep-alive
    // With mirrors, over HTTP: which sources failed, for the whole run.
    std::shared_ptr<SourceRanking> ranking;

    QObject context;  // receiver of the timers and of the inbox's work
    // Other threads wake the main thread through it. Only a wake-up goes through it; the news
    // itself is in the SyncState, under its mutex. `wakePosted`: a wake-up is waiting to run, and
    // it will see whatever is rung before it starts.
    App::QtInbox inbox{"resource-sync", &context};
    std::atomic<bool> wakePosted{false};
    QTimer redrawTimer;
    QTimer giveUpTimer;
    QTimer stallTimer;  // after --give-up: when running downloads would have been quiet too long
    QTimer watchTimer;

    std::unique_ptr<Round> round;
    std::chrono::steady_clock::time_point roundStart;
    bool ending = false;          // the round's manager has been aborted
    bool deadlinePassed = false;  // --give-up has elapsed in this round
    bool gaveUp = false;
    int signal = 0;
};

}  // namespace Tiskel::ResourceSync
