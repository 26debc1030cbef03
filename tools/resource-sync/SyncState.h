#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

// What the sync knows of its files while a round runs, fed by the library's notifications and
// by the download wrapper, and read by the display and the summary.
namespace Tiskel::ResourceSync {

using App::IRemoteResource;

// One manifest file. It is the library's descriptor and also its own single-file bundle, so
// that the bundle pointer a notification carries leads straight back to the file.
struct SyncFile final : App::ResourceDescriptor, App::ResourceDescriptorBundle {
    // Constant after set-up.
    std::size_t index = 0;
    std::size_t group = 0;
    int64_t size = -1;          // from the manifest; -1 when unknown
    std::string sha256;         // expected digest, lower-case hex; empty when not checked
    std::string folderProblem;  // why the file's folder could not be created; usually empty

    // Touched by the download threads; atomics, reset between rounds.
    std::atomic<uint64_t> received{0};   // bytes of the running download so far
    std::atomic<uint64_t> announced{0};  // its total as the transfer announced it, 0 unknown
    std::atomic<int> localVerdict{0};    // the validator's memory of the local file (Checksum)

    // Guarded by SyncState's mutex.
    IRemoteResource::DownloadStatus status = IRemoteResource::Waiting;
    IRemoteResource::DownloadError error = IRemoteResource::NoError;
    bool fetched = false;  // went through Downloading in this round
    uint64_t fetchedBytes = 0;
    std::string reason;  // what the last failure was, in words
};

// One manifest bundle, registered as a bundle of the library.
struct SyncGroup final : App::ResourceDescriptorBundle {
    // Constant after set-up.
    std::size_t index = 0;
    std::string name;
    bool init = false;
    std::size_t fileCount = 0;
    uint64_t sizeTotal = 0;  // sum of the manifest sizes
    bool sizesKnown = true;  // every file has a size

    std::atomic<uint64_t> inFlight{0};  // bytes received by the running downloads

    // Guarded by SyncState's mutex.
    IRemoteResource::State state;
    bool heard = false;  // a notification arrived in this round
    std::size_t settled = 0;
    std::size_t failed = 0;
    uint64_t doneBytes = 0;  // bytes of the files that are Available
};

// Something a plain-line display prints.
struct SyncEvent {
    enum Kind { FileDownloading, FileDone, FileFailed, GroupChanged };
    Kind kind;
    std::size_t index;  // of the file or the group
    // A group's outcome and settled files when its last file settled.
    IRemoteResource::DownloadStatus status = IRemoteResource::Waiting;
    std::size_t settled = 0;
};

// Counts across all files.
struct SyncCounts {
    std::size_t files = 0;
    std::size_t settled = 0;  // Available or Error
    std::size_t available = 0;
    std::size_t fetched = 0;  // Available after a download in this round
    std::size_t failed = 0;
    std::size_t failedOffline = 0;  // failed with InternetConnectionLost
    uint64_t fetchedBytes = 0;
};

// The round's tally. Thread-safe: notifications and download threads write, the main thread
// reads. A file's own notifications come in order (its runs never overlap), so the counts are
// exact; a group bundle's come from every thread that changes one of its files and may overtake
// one another, so a group's state serves only the live progress bar. The mutex is taken inside
// library callbacks (with a state node locked), so whoever holds it never calls into the library.
class SyncState {
  public:
    // `wake` is called, without the mutex, after a change that gives the main thread something
    // to do (events to show, or failures once every file has settled) when no earlier wake-up
    // is pending; the main thread answers with `takeEvents`, which re-arms it.
    SyncState(std::deque<SyncFile>& files, std::deque<SyncGroup>& groups,
              std::function<void()> wake, bool keepEvents);

    // Forgets the last round. REQUIRES: nothing of a round is running.
    void reset();

    SyncFile& file(std::size_t index) { return files[index]; }
    std::deque<SyncFile> const& allFiles() const { return files; }
    std::deque<SyncGroup> const& allGroups() const { return groups; }

    // Notifications of a file's own bundle and of a group bundle.
    void onFileState(SyncFile& file, IRemoteResource::State state);
    void onGroupState(SyncGroup& group, IRemoteResource::State state);

    // From the download wrapper, on the download's thread.
    void downloadStarted(SyncFile& file);
    void downloadProgress(SyncFile& file, uint64_t received, uint64_t total);
    void downloadFinished(SyncFile& file, bool success, std::string reason);
    // A failure found after the transfer (post-processing).
    void setReason(SyncFile& file, std::string reason);

    SyncCounts counts() const;
    // Events since the last call; re-arms the wake-up.
    std::vector<SyncEvent> takeEvents();
    // Bytes received by every download of the round, monotonic.
    uint64_t transferred() const { return transferredBytes.load(std::memory_order_relaxed); }

    // Runs `read` with the mutex held, for a consistent view of the guarded fields.
    void inspect(std::function<void()> const& read) const;

  private:
    // Wakes the main thread when it has something to do. REQUIRES: `lock` holds the mutex;
    // it may be released.
    void changed(std::unique_lock<std::mutex>& lock);
    void count(SyncFile const& file, SyncGroup& group, int step);

    std::deque<SyncFile>& files;
    std::deque<SyncGroup>& groups;
    std::function<void()> const wake;
    bool const keepEvents;
    std::atomic<uint64_t> transferredBytes{0};

    mutable std::mutex mutex;
    // Guarded by mutex.
    SyncCounts tally;
    std::vector<SyncEvent> events;
    bool wakePending = false;
};

}  // namespace Tiskel::ResourceSync
