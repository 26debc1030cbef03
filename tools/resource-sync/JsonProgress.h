#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "SyncState.h"

// `--progress json`: the run told to a program, one JSON object per line on standard output,
// each written and flushed as a whole. Every object has "event" (what happened) and "time"
// (seconds since the run started, on the monotonic clock, with three decimals); the README lists
// the events and their fields. A file is named by its path below the target folder.
//
// Lines are built while the state's mutex is held and written after it is released, so a
// reader that is slow to take them holds up the main thread only, never a download.
//
// Bound to the main thread.
namespace Tiskel::ResourceSync {

struct Summary;

// `text` as a JSON string, quotes included. Quotes, backslashes and control characters are
// escaped; each byte that is not part of well-formed UTF-8 becomes U+FFFD, so that the line is
// valid UTF-8 whatever bytes a folder name or a system message holds.
std::string jsonString(std::string_view text);

class JsonProgress {
  public:
    using Clock = std::chrono::steady_clock;

    // The time of every line counts from `origin`. With `outcomesOnly` (--quiet) the "progress"
    // and "total" lines are left out.
    JsonProgress(SyncState const& state, std::FILE* out, bool outcomesOnly,
                 Clock::time_point origin = Clock::now());

    // A round begins: the "start" line. `manifest` as given on the command line, `target` the
    // folder the files go to.
    void startRound(std::string const& manifest, std::string const& target, bool dryRun);
    // The lines of `events`, in their order (taken from the state in one go).
    void show(std::vector<SyncEvent> const& events);
    // Call about every 250 ms while the round runs: a "progress" line for each running
    // download whose bytes changed, at most one per file in 250 ms; "retrying" lines for the
    // failed files when a new pause before a retry starts (`nextRetry`, the manager's
    // nextRetryTime); a "total" line every second. REQUIRES: the events taken from the state so
    // far have been shown.
    void tick(Clock::time_point nextRetry);
    // The "summary" line, the last of the round.
    void endRound(Summary const& summary);

  private:
    class Line;

    // What was last said of a file in this round.
    struct Track {
        int64_t progressAt = -kLongAgo;  // milliseconds of its last "progress" line
        uint64_t bytes = 0;              // in its last "downloading" or "progress" line
        bool downloading = false;        // said "downloading" and no outcome since
        bool failed = false;             // its last outcome was "failed"
        bool settled = false;            // said "done" or "kept"
    };

    // Before any line of the run, in milliseconds.
    static constexpr int64_t kLongAgo = int64_t{1} << 40;

    int64_t millisecondsNow() const;
    // The "failed" line of a failure, or the "kept" line of a file that could not be checked.
    // REQUIRES: inside the state's `inspect`.
    std::string failureLine(SyncEvent const& event, int64_t now) const;
    void write(std::string const& lines);

    SyncState const& state;
    std::FILE* const out;
    bool const outcomesOnly;
    Clock::time_point const origin;

    bool dryRunning = false;              // the round is a dry run
    std::vector<Track> tracks;            // one per file
    std::vector<char const*> bundleSaid;  // the last state each bundle was given, or null
    Clock::time_point retryAnnounced;     // the pause whose "retrying" lines went out
    int64_t totalAt = -kLongAgo;          // milliseconds of the last "total" line
    uint64_t totalTransferred = 0;        // the state's transferred bytes at that line
};

}  // namespace Tiskel::ResourceSync
