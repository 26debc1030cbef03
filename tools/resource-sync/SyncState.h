#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "App/ResourceDownloadManager/FileEvents.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

#include "Catalogue.h"

// What the sync knows of its files while a round runs, told by the library's per-file events
// and bundle notifications, and read by the display and the summary.
namespace Tiskel::ResourceSync {

using App::IRemoteResource;

// The text of a dry run's cancellation.
inline constexpr char kDryRun[] = "dry run";

// Why a download was decided, in words ("missing", "size differs", ...).
char const* downloadReasonText(App::DownloadReason why);

// One file in the current round. 24 bytes.
struct FileRound {
    uint64_t bytes = 0;  // of its download in this round, once done
    IRemoteResource::DownloadStatus status = IRemoteResource::Waiting;
    IRemoteResource::DownloadError error = IRemoteResource::NoError;
    static constexpr uint8_t kNoDecision = 0xFF;
    uint8_t decision = kNoDecision;  // App::FileDecision of its last run
    bool unreachable = false;        // its problem is that no connection could be made
    bool repaired = false;           // downloaded because the local file's size or digest was wrong
    uint8_t why = 0;                 // App::DownloadReason of its last download
    // 1 + the place in its bundle's sources (GroupInfo::sources) of the one that served its
    // last download, when the bundle has mirrors; 0 otherwise.
    uint8_t source = 0;
};

// One bundle in the current round.
struct GroupRound {
    IRemoteResource::State state;  // the library's aggregate
    bool heard = false;            // a notification arrived in this round
    std::size_t settled = 0;
    std::size_t failed = 0;
    uint64_t doneBytes = 0;  // bytes of its files that are Available
    uint64_t inFlight = 0;   // bytes received by its running downloads
};

// Something a plain-line display prints. FileKept only comes when asked for
// (SyncState::reportKeptFiles).
struct SyncEvent {
    enum Kind { FileDownloading, FileDone, FileFailed, FileNotChecked, FileKept, GroupSettled };
    Kind kind;
    std::size_t index;  // of the file or the group
    // For FileFailed and FileNotChecked, as they were when the event happened: a retry may
    // have changed the file's state by the time the line is printed.
    IRemoteResource::DownloadError error = IRemoteResource::NoError;
    std::string reason = {};
    // For FileKept and FileNotChecked: what was decided. For FileFailed and FileNotChecked: the
    // library's failure as data (kind None for a file the sync refused on its own).
    App::FileDecision decision = App::FileDecision::Failed;
    App::FileFailure failure = {};
};

// Counts across all files.
struct SyncCounts {
    std::size_t files = 0;
    std::size_t settled = 0;  // Available or Error
    std::size_t available = 0;
    std::size_t fetched = 0;     // Available after a download in this round
    std::size_t repaired = 0;    // of those, downloads that replaced a damaged local file
    std::size_t failed = 0;      // Error
    std::size_t notChecked = 0;  // Available, but asking the server whether it changed failed
    // Failed or not checked because no connection could be made (or the network is offline).
    std::size_t unreachable = 0;
    uint64_t fetchedBytes = 0;

    std::size_t current() const { return available - fetched - notChecked; }
    std::size_t problems() const { return failed + notChecked; }
};

// The round's tally. Thread-safe: the library's events arrive on its threads, the main thread
// reads. A file's events come in the order they were decided, so the counts are exact; a group
// bundle's notifications may overtake one another, so a group's aggregate serves only the live
// progress bar. The mutex is taken inside library callbacks, so whoever holds it never calls
// into the library.
class SyncState final : public App::IFileEventHandler {
  public:
    // `wake` is called, without the mutex, after a change that gives the main thread something
    // to do (events to show, or problems once every file has settled) when no earlier wake-up
    // is pending; the main thread answers with `takeEvents`, which re-arms it.
    // With `dryRun` a download that ended as the dry run's cancellation counts as one that
    // would be made (done, with the manifest's size).
    SyncState(Catalogue const& catalogue, std::function<void()> wake, bool keepEvents,
              bool dryRun = false);

    // Forgets the last round. REQUIRES: nothing of a round is running.
    void reset();
    // Also keeps a FileKept event for each file left as it was. REQUIRES: `keepEvents`, and no
    // round is running.
    void reportKeptFiles() { keepKept = true; }

    // The library's events for the files of every bundle.
    void onFileEvent(App::FileEvent const& event) override;
    // The library's notifications of a bundle.
    void onGroupState(std::size_t group, IRemoteResource::State state);
    // The sync's own words for why the file's running attempt failed (a digest mismatch), which
    // take the place of the library's reason at its outcome. Any thread.
    void setReason(std::size_t file, std::string reason);
    // The file's running download comes from its bundle's `source`-th source (0: the base URL).
    // Any thread.
    void setSource(std::size_t file, std::size_t source);
    // Why the file's folder could not be made, for the whole round: it takes the place of the
    // library's reason for every failure of the file. REQUIRES: no round is running.
    void setFolderProblem(std::size_t file, std::string problem);

    // Fails a file the sync keeps from the library in this round, with `reason`.
    // REQUIRES: the round's downloads have not started.
    void refuse(std::size_t file, std::string reason);

    SyncCounts counts() const;
    // Events since the last call; re-arms the wake-up.
    std::vector<SyncEvent> takeEvents();
    // Bytes received by every download of the round, monotonic.
    uint64_t transferred() const;
    // How long since the library last told of any file (a status, bytes or an outcome).
    std::chrono::steady_clock::duration quietFor(std::chrono::steady_clock::time_point now) const;
    // The round is being ended because --give-up passed after `seconds`: a download that the
    // end cancels failed for that reason (stalled, when it had been quiet), and a file that
    // never settled says so. REQUIRES: called on the main thread before the round is aborted.
    void giveUp(int seconds);

    // Runs `read` with the mutex held, for a consistent view of what the getters below return.
    void inspect(std::function<void()> const& read) const;
    Catalogue const& catalogue() const { return files; }
    // REQUIRES (all three): inside `inspect`.
    FileRound const& file(std::size_t index) const { return rounds[index]; }
    GroupRound const& group(std::size_t index) const { return groups[index]; }
    // Why the file failed or was not checked, in words; empty when nothing is known.
    std::string const& reason(std::size_t index) const;
    // The files whose last run failed, in index order.
    std::set<std::size_t> const& failing() const { return failed; }
    // Calls `visit(index, bytes, started)` for each running download.
    template <class Visit>
    void forEachRunning(Visit&& visit) const {
        for (auto const& [index, running] : received) {
            visit(index, running.bytes, running.started);
        }
    }

  private:
    // Adds the file's present status to the counts (`step` 1) or takes it out (`step` -1).
    void count(std::size_t index, int step);
    // Wakes the main thread when it has something to do. REQUIRES: `lock` holds the mutex;
    // it may be released.
    void changed(std::unique_lock<std::mutex>& lock);

    Catalogue const& files;
    std::function<void()> const wake;
    bool const keepEvents;
    bool const dryRun;
    bool keepKept = false;

    mutable std::mutex mutex;
    // Guarded by mutex.
    std::vector<FileRound> rounds;
    std::vector<GroupRound> groups;
    struct Running {
        uint64_t bytes = 0;
        std::chrono::steady_clock::time_point since;  // when `bytes` last changed
        std::chrono::steady_clock::time_point started;
    };
    std::set<std::size_t> failed;                       // files whose status is Error
    std::unordered_map<std::size_t, Running> received;  // running downloads
    int gaveUpAfter = 0;  // seconds; 0 while the round has not been given up
    std::chrono::steady_clock::time_point lastActivity;
    std::unordered_map<std::size_t, std::string> reasons;
    std::unordered_map<std::size_t, std::string> ownReasons;      // from setReason
    std::unordered_map<std::size_t, std::string> folderProblems;  // for the round
    uint64_t transferredBytes = 0;
    SyncCounts tally;
    std::vector<SyncEvent> events;
    bool wakePending = false;
};

// The URL of the file at `remotePath` below `baseUrl`, as the library builds it, before
// percent-encoding.
std::string urlOf(std::string const& baseUrl, std::string const& remotePath);

// A failure in words: the reason's text and, for an answer of the server or a connection that
// failed, the URL it concerns with any user name and password masked.
std::string describeFailure(App::FileFailure const& failure, std::string const& url);

}  // namespace Tiskel::ResourceSync
