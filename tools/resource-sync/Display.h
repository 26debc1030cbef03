#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "SyncState.h"

// What the user sees while a round runs. On a terminal: one live line per bundle and a total
// line (bar, percent, bytes, rate, ETA), redrawn in place with a few ANSI escape codes. Through a
// pipe: plain lines, one per change, never redrawn. Quiet: nothing until the summary.
//
// Bound to the main thread.
namespace Tiskel::ResourceSync {

enum class DisplayMode { Terminal, Plain, Quiet };

// "1.5 KiB", "12.0 MiB", "512 B".
std::string formatBytes(uint64_t bytes);

class Display {
  public:
    // `dryRun`: a done file is one that would be downloaded.
    Display(DisplayMode mode, SyncState const& state, std::FILE* out, bool dryRun = false);

    DisplayMode mode() const { return displayMode; }

    // A new round begins; the first frame is drawn below whatever was printed before.
    void startRound();
    // Plain mode prints one line per event; the other modes ignore them.
    void show(std::vector<SyncEvent> const& events);
    // Terminal mode draws the current frame over the previous one.
    void redraw();
    // Terminal mode draws the last frame of the round and gives the cursor back.
    void endRound();
    // Plain mode: a line for each download that has run for 10 s or more since it started or
    // since its last such line (bytes so far, and the rate since the last line). Call it every
    // 10 s or so.
    void showProgress();
    // Where the next retry's time comes from, for the lines of failed files ("retrying in N s").
    void setRetryClock(std::function<std::chrono::steady_clock::time_point()> clock);

  private:
    std::vector<std::string> frame(int columns, int rows);
    std::string groupLine(GroupInfo const& info, GroupRound const& group, std::size_t nameWidth,
                          std::size_t width);
    double rate(std::chrono::steady_clock::time_point now);
    std::string servedFrom(std::size_t index, FileRound const& file) const;

    DisplayMode const displayMode;
    SyncState const& state;
    std::FILE* const out;
    bool const dryRun;
    std::size_t linesDrawn = 0;
    // Recent (time, bytes transferred) samples for the rate.
    std::deque<std::pair<std::chrono::steady_clock::time_point, uint64_t>> samples;
    std::function<std::chrono::steady_clock::time_point()> nextRetry;
    // Plain mode: the last progress line of each running download (time, bytes).
    std::unordered_map<std::size_t, std::pair<std::chrono::steady_clock::time_point, uint64_t>>
        lastProgress;
};

}  // namespace Tiskel::ResourceSync
