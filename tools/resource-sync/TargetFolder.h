#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

// What resource-sync keeps for itself in a target folder, and the rules that keep its writes
// inside it:
// - one run at a time per folder, through a lock file the kernel releases when the process
//   ends, however it ends, and that a run which ends cleanly removes;
// - temporary and staged files named after the run's process id, so that two runs whose folders
//   overlap never write the same temporary file;
// - leftovers of runs that ended without cleaning up, removed under the lock;
// - no write through a symbolic link that leads out of the folder.
namespace Tiskel::ResourceSync {

// The lock file, at the top of the target folder. No manifest entry may name it.
inline constexpr char kLockName[] = ".resource-sync.lock";

// This run's suffixes for a file's temporary download and its staged copy (a download that
// waits for its digest check): ".resource-sync-PID.part" and ".resource-sync-PID.new".
std::string partSuffix();
std::string stagedSuffix();

// True for a file name the sync uses for its own files: the lock, and the temporary or staged
// file of any run (today's and the fixed names of earlier versions).
bool isOwnName(std::string_view name);
// The process id in a temporary or staged file's name; -1 when there is none.
pid_t ownerOf(std::string_view name);

// Another run holds the folder and the caller asked not to wait.
class FolderBusy : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The exclusive lock on a target folder, held for the life of the object.
class FolderLock {
  public:
    // Creates `folder` (and its parents) when needed, then takes the lock. When another run
    // holds it: with `wait`, prints "waiting for another resource-sync in DIR (pid N)" once to
    // standard error and blocks until it is free; else throws FolderBusy. Throws
    // std::runtime_error when the folder or the lock file cannot be made.
    FolderLock(std::string const& folder, bool wait);
    ~FolderLock();
    FolderLock(FolderLock const&) = delete;
    FolderLock& operator=(FolderLock const&) = delete;

    // False when the run before this one did not end cleanly (it crashed, was killed, or left a
    // part for resuming): its temporaries may still be there.
    bool previousRunEndedCleanly() const noexcept { return cleanBefore; }
    // Records that this run leaves no temporary file behind, by removing the lock file: a
    // folder after a clean run holds the synced files alone.
    void endCleanly() noexcept;

  private:
    // Closes the lock file and throws std::runtime_error with `what`, the path and errno.
    [[noreturn]] void fail(char const* what);

    std::string const path;  // the lock file
    int fd = -1;
    bool cleanBefore = false;
};

// Removes, below `folder` and without following symbolic links, the temporary and staged files
// of runs that no longer exist (a process id that is still alive is left alone), except a
// partial download kept for resuming (a part with its ".resume" record), which is renamed to
// this run's temporary name so that its download goes on with it. Returns how many were
// removed; a file that cannot be removed is left and not counted.
std::size_t removeLeftovers(std::string const& folder);

// The files below `folder` (relative, '/'-separated) that `isListed` does not accept, without
// following symbolic links and leaving out the sync's own files. A link is a file here: removing
// it removes the link, not what it points to.
std::vector<std::string> unlistedFiles(std::string const& folder,
                                       std::function<bool(std::string_view)> const& isListed);

// Answers, for folders below a target, whether writing there would pass through a symbolic link
// that leads outside the target. Remembers what it has looked at, so each folder of a run costs
// one look at the file system.
class Containment {
  public:
    // REQUIRES: `target` exists.
    explicit Containment(std::string target);

    // Empty when nothing below `target` on the way to `folder` (a path inside target, relative
    // to it, with '/' separators; empty for the target itself) is a link leading outside;
    // otherwise the link's path. Parts that do not exist yet are made by the sync as real
    // folders, so they are safe.
    std::string const& escapingLink(std::string_view folder);

  private:
    bool isInside(std::string const& resolved) const;

    std::string target;
    std::string resolvedTarget;                          // without symbolic links
    std::unordered_map<std::string, std::string> known;  // folder -> escaping link, or empty
};

}  // namespace Tiskel::ResourceSync
