#include "Display.h"

#include <algorithm>
#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Platform/Networking/Url.h"

namespace Tiskel::ResourceSync {

namespace {

using Clock = std::chrono::steady_clock;

// Escape codes: cursor up N lines, erase to the end of the line, erase below, cursor off/on.
constexpr char kEraseLine[] = "\x1b[K";
constexpr char kEraseBelow[] = "\x1b[J";
constexpr char kHideCursor[] = "\x1b[?25l";
constexpr char kShowCursor[] = "\x1b[?25h";

constexpr auto kRateWindow = std::chrono::seconds(3);

std::string bar(double fraction, std::size_t width) {
    fraction = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
    auto const filled = static_cast<std::size_t>(fraction * static_cast<double>(width));
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
}

std::string percent(double fraction) {
    fraction = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
    char text[8];
    std::snprintf(text, sizeof text, "%3d%%", static_cast<int>(fraction * 100.0));
    return text;
}

std::string duration(double seconds) {
    auto const whole = static_cast<long>(std::ceil(seconds));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    }
    return text;
}

// `text` in exactly `width` columns: padded, or shortened in the middle with a '~'.
std::string padRight(std::string text, std::size_t width) {
    if (text.size() > width) {
        if (width < 5) {
            return text.substr(0, width);
        }
        std::size_t const head = (width - 1) / 2;
        return text.substr(0, head) + "~" + text.substr(text.size() - (width - 1 - head));
    }
    return text + std::string(width - text.size(), ' ');
}

// "NAME [####....] PCT  NUMBERS" in at most `width` columns. The numbers are never cut (unless
// the terminal is narrower than they are); the bar takes what is left, up to 30 columns; when
// even a short bar does not fit beside the name, the name is shortened, then the bar dropped.
std::string fitLine(std::string const& name, std::size_t nameWidth, double fraction,
                    std::string const& numbers, std::size_t width) {
    std::string const tail = " " + percent(fraction) + "  " + numbers;
    std::size_t const room = width > tail.size() ? width - tail.size() : 0;
    constexpr std::size_t kShortestBar = 5;
    constexpr std::size_t kShortestName = 5;
    if (room >= nameWidth + 1 + kShortestBar + 2) {
        std::size_t const barWidth = std::min<std::size_t>(room - nameWidth - 3, 30);
        return padRight(name, nameWidth) + " " + bar(fraction, barWidth) + tail;
    }
    if (room >= kShortestName + 1 + kShortestBar + 2) {
        return padRight(name, room - kShortestBar - 3) + " " + bar(fraction, kShortestBar) + tail;
    }
    std::string line = padRight(name, std::max(room, kShortestName)) + tail;
    return line.size() > width ? line.substr(0, width) : line;
}

// The terminal's size; 80 x 24 when it does not say.
std::pair<int, int> terminalSize(std::FILE* out) {
    winsize size{};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        return {size.ws_col, size.ws_row};
    }
    return {80, 24};
}

// A group's fraction done: the library's aggregate while files are still open. Once every file
// has settled, the same rule (Available counts 1, Error 0) from the file counts, which a late
// group notification cannot overtake. REQUIRES: the state's mutex is held.
double groupProgress(GroupInfo const& info, GroupRound const& group) {
    if (group.settled == info.count) {
        return info.count == 0 ? 1.0
                               : static_cast<double>(info.count - group.failed) /
                                     static_cast<double>(info.count);
    }
    if (info.sizesKnown && info.sizeTotal > 0) {
        // Bytes tell how far a bundle of big and small files is better than a count of files.
        return static_cast<double>(std::min(group.doneBytes + group.inFlight, info.sizeTotal)) /
               static_cast<double>(info.sizeTotal);
    }
    return group.heard ? group.state.progress : 0.0;
}

}  // namespace

std::string formatBytes(uint64_t bytes) {
    static constexpr char const* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) {
        return std::to_string(bytes) + " B";
    }
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

Display::Display(DisplayMode mode, SyncState const& state, std::FILE* out, bool dryRun)
    : displayMode(mode), state(state), out(out), dryRun(dryRun) {}

void Display::startRound() {
    linesDrawn = 0;
    samples.clear();
    if (displayMode == DisplayMode::Terminal) {
        std::fputs(kHideCursor, out);
        redraw();
    }
}

// " from URL" for a file downloaded from one of its bundle's sources; empty when the bundle has
// no mirrors (the file then came from the base URL).
std::string Display::servedFrom(std::size_t index, FileRound const& file) const {
    if (file.source == 0) {
        return {};
    }
    Catalogue const& files = state.catalogue();
    uint32_t const source = files.groups()[files.info(index).group].sources[file.source - 1u];
    return " from " + Networking::maskCredentials(
                          urlOf(files.sources()[source], files.descriptor(index).remotePath));
}

void Display::show(std::vector<SyncEvent> const& events) {
    if (displayMode != DisplayMode::Plain || events.empty()) {
        return;
    }
    std::string text;
    Catalogue const& files = state.catalogue();
    state.inspect([&] {
        for (SyncEvent const& event : events) {
            if (event.kind == SyncEvent::GroupSettled) {
                GroupInfo const& info = files.groups()[event.index];
                GroupRound const& group = state.group(event.index);
                text += "[" + info.name + "] " + (group.failed == 0 ? "Available" : "Error") +
                        ", " + std::to_string(group.settled) + "/" + std::to_string(info.count) +
                        " files settled\n";
                continue;
            }
            std::string const name(files.relativePath(event.index));
            FileRound const& file = state.file(event.index);
            std::string const& reason = event.reason;
            switch (event.kind) {
                case SyncEvent::FileDownloading:
                    // A dry run only starts its downloads to end them.
                    text += dryRun ? "" : "downloading " + name + "\n";
                    break;
                case SyncEvent::FileDone:
                    if (dryRun) {
                        text += "would download " + name + " (" +
                                downloadReasonText(static_cast<App::DownloadReason>(file.why)) +
                                ")\n";
                    } else {
                        text += (file.repaired ? "repaired " : "downloaded ") + name + " (" +
                                formatBytes(file.bytes) + ")" + servedFrom(event.index, file) +
                                "\n";
                    }
                    break;
                case SyncEvent::FileNotChecked:
                    text += "not checked " + name + ": " + reason + "\n";
                    break;
                case SyncEvent::FileKept:
                    break;
                default:
                    text += "failed " + name + ": " + IRemoteResource::errorToString(event.error) +
                            (reason.empty() ? "" : ": " + reason) + "\n";
                    break;
            }
        }
    });
    std::fputs(text.c_str(), out);
    std::fflush(out);
}

void Display::redraw() {
    if (displayMode != DisplayMode::Terminal) {
        return;
    }
    auto const [columns, rows] = terminalSize(out);
    std::vector<std::string> const lines = frame(columns, rows);
    std::string text;
    if (linesDrawn > 0) {
        text += "\x1b[" + std::to_string(linesDrawn) + "A\r";
    }
    for (std::string const& line : lines) {
        // One column is left free so that a full line never wraps (lines are made to fit; this
        // only guards a name wider in columns than in bytes, or a tiny terminal).
        text += line.substr(0, static_cast<std::size_t>(std::max(columns - 1, 1)));
        text += kEraseLine;
        text += "\n";
    }
    if (lines.size() < linesDrawn) {
        text += kEraseBelow;
    }
    linesDrawn = lines.size();
    std::fputs(text.c_str(), out);
    std::fflush(out);
}

void Display::setRetryClock(std::function<Clock::time_point()> clock) {
    nextRetry = std::move(clock);
}

void Display::showProgress() {
    if (displayMode != DisplayMode::Plain) {
        return;
    }
    constexpr auto kEvery = std::chrono::seconds(10);
    Clock::time_point const now = Clock::now();
    std::string text;
    std::unordered_map<std::size_t, std::pair<Clock::time_point, uint64_t>> seen;
    state.inspect([&] {
        state.forEachRunning([&](std::size_t index, uint64_t bytes, Clock::time_point started) {
            auto const last = lastProgress.find(index);
            std::pair<Clock::time_point, uint64_t> const from =
                last != lastProgress.end() ? last->second : std::make_pair(started, uint64_t{0});
            if (now - from.first < kEvery) {
                seen.emplace(index, from);
                return;
            }
            double const seconds = std::chrono::duration<double>(now - from.first).count();
            int64_t const size = state.catalogue().info(index).size;
            text += std::string(state.catalogue().relativePath(index)) + ": " + formatBytes(bytes) +
                    (size >= 0 ? " of " + formatBytes(size) : "") + ", " +
                    formatBytes(
                        static_cast<uint64_t>(static_cast<double>(bytes - from.second) / seconds)) +
                    "/s\n";
            seen.emplace(index, std::make_pair(now, bytes));
        });
    });
    // Downloads that ended are forgotten.
    lastProgress = std::move(seen);
    if (!text.empty()) {
        std::fputs(text.c_str(), out);
        std::fflush(out);
    }
}

void Display::endRound() {
    if (displayMode != DisplayMode::Terminal) {
        return;
    }
    redraw();
    std::fputs(kShowCursor, out);
    std::fflush(out);
}

double Display::rate(Clock::time_point now) {
    samples.emplace_back(now, state.transferred());
    while (samples.size() > 2 && now - samples.front().first > kRateWindow) {
        samples.pop_front();
    }
    double const seconds = std::chrono::duration<double>(now - samples.front().first).count();
    if (seconds < 0.05) {
        return 0.0;
    }
    return static_cast<double>(samples.back().second - samples.front().second) / seconds;
}

std::string Display::groupLine(GroupInfo const& info, GroupRound const& group,
                               std::size_t nameWidth, std::size_t width) {
    std::string numbers;
    uint64_t const done = group.doneBytes + group.inFlight;
    if (info.sizesKnown) {
        numbers += formatBytes(std::min(done, info.sizeTotal)) + " / " +
                   formatBytes(info.sizeTotal) + "  ";
    }
    numbers += std::to_string(group.settled) + "/" + std::to_string(info.count) + " files";
    if (group.failed > 0) {
        numbers += ", " + std::to_string(group.failed) + " failed";
    }
    return fitLine(info.name, nameWidth, groupProgress(info, group), numbers, width);
}

std::vector<std::string> Display::frame(int columns, int rows) {
    std::vector<GroupInfo> const& infos = state.catalogue().groups();
    std::size_t nameWidth = 5;  // "total"
    for (GroupInfo const& info : infos) {
        nameWidth = std::max(nameWidth, std::min<std::size_t>(info.name.size(), 20));
    }
    // One column is left free so that a full line never wraps.
    auto const width = static_cast<std::size_t>(std::max(columns - 1, 1));
    constexpr std::size_t kFailedShown = 3;
    // Room for the bundles: the screen less the total line, the failed files and a line of
    // slack.
    std::size_t const room = static_cast<std::size_t>(std::max(rows - 3 - 4, 2));
    Clock::time_point const now = Clock::now();
    Clock::time_point const retryAt = nextRetry ? nextRetry() : Clock::time_point();
    double const bytesPerSecond = rate(now);
    uint64_t const transferred = state.transferred();

    std::vector<std::string> lines;
    state.inspect([&] {
        std::vector<std::size_t> shown;
        std::size_t finished = 0;
        for (std::size_t g = 0; g < infos.size(); ++g) {
            finished += state.group(g).settled == infos[g].count;
        }
        bool const crowded = infos.size() > room;
        for (std::size_t g = 0; g < infos.size(); ++g) {
            // When the screen is short, bundles that are done make way for those still going.
            if (shown.size() + 1 >= room && crowded) {
                break;
            }
            if (!crowded || state.group(g).settled < infos[g].count) {
                shown.push_back(g);
            }
        }
        double progressSum = 0;
        uint64_t done = 0;
        uint64_t total = 0;
        bool sizesKnown = true;
        for (std::size_t g = 0; g < infos.size(); ++g) {
            GroupRound const& group = state.group(g);
            progressSum += groupProgress(infos[g], group) * static_cast<double>(infos[g].count);
            done += group.doneBytes + group.inFlight;
            total += infos[g].sizeTotal;
            sizesKnown = sizesKnown && infos[g].sizesKnown;
        }
        for (std::size_t g : shown) {
            lines.push_back(groupLine(infos[g], state.group(g), nameWidth, width));
        }
        if (crowded) {
            lines.push_back("... " + std::to_string(infos.size() - shown.size()) +
                            " more bundles, " + std::to_string(finished) + " of " +
                            std::to_string(infos.size()) + " finished");
        }
        // A failed file waiting for its retry says why, and when the retry comes.
        std::size_t listed = 0;
        for (std::size_t index : state.failing()) {
            if (listed++ == kFailedShown) {
                lines.push_back("  ... " + std::to_string(state.failing().size() - kFailedShown) +
                                " more failed");
                break;
            }
            std::string line = "  failed " + std::string(state.catalogue().relativePath(index));
            if (std::string const& reason = state.reason(index); !reason.empty()) {
                line += ": " + reason;
            }
            std::string retry;
            if (retryAt > now) {
                retry = ", retrying in " +
                        std::to_string(static_cast<long>(
                            std::ceil(std::chrono::duration<double>(retryAt - now).count()))) +
                        " s";
            }
            // The reason gives way to the retry time.
            if (line.size() + retry.size() > width && width > retry.size() + 3) {
                line = line.substr(0, width - retry.size() - 3) + "...";
            }
            lines.push_back(line + retry);
        }
        std::size_t const files = state.catalogue().size();
        // Bytes done over bytes known; a count of files when sizes are missing.
        double const fraction =
            sizesKnown && total > 0
                ? static_cast<double>(std::min(done, total)) / static_cast<double>(total)
                : (files == 0 ? 1.0 : progressSum / static_cast<double>(files));
        std::string numbers =
            (sizesKnown ? formatBytes(std::min(done, total)) + " / " + formatBytes(total)
                        : formatBytes(transferred));
        numbers += "  " + formatBytes(static_cast<uint64_t>(bytesPerSecond)) + "/s";
        if (sizesKnown && bytesPerSecond > 0 && done < total) {
            numbers += "  ETA " + duration(static_cast<double>(total - done) / bytesPerSecond);
        }
        lines.push_back(fitLine("total", nameWidth, fraction, numbers, width));
    });
    return lines;
}

}  // namespace Tiskel::ResourceSync
