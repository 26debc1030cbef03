#include "Display.h"

#include <algorithm>
#include <cmath>
#include <sys/ioctl.h>
#include <unistd.h>

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

std::string padRight(std::string text, std::size_t width) {
    if (text.size() > width) {
        return text.substr(0, width);
    }
    return text + std::string(width - text.size(), ' ');
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

Display::Display(DisplayMode mode, SyncState const& state, std::FILE* out)
    : displayMode(mode), state(state), out(out) {}

void Display::startRound() {
    linesDrawn = 0;
    samples.clear();
    if (displayMode == DisplayMode::Terminal) {
        std::fputs(kHideCursor, out);
        redraw();
    }
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
                    text += "downloading " + name + "\n";
                    break;
                case SyncEvent::FileDone:
                    text += (file.repaired ? "repaired " : "downloaded ") + name + " (" +
                            formatBytes(file.bytes) + ")\n";
                    break;
                case SyncEvent::FileNotChecked:
                    text += "not checked " + name + ": " + reason + "\n";
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
        // One column is left free so that a full line never wraps.
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
                               std::size_t nameWidth, std::size_t barWidth) {
    double const progress = groupProgress(info, group);
    std::string line =
        padRight(info.name, nameWidth) + " " + bar(progress, barWidth) + " " + percent(progress);
    uint64_t const done = group.doneBytes + group.inFlight;
    if (info.sizesKnown) {
        line += "  " + formatBytes(std::min(done, info.sizeTotal)) + " / " +
                formatBytes(info.sizeTotal);
    }
    line += "  " + std::to_string(group.settled) + "/" + std::to_string(info.count) + " files";
    if (group.failed > 0) {
        line += ", " + std::to_string(group.failed) + " failed";
    }
    return line;
}

std::vector<std::string> Display::frame(int columns, int rows) {
    std::vector<GroupInfo> const& infos = state.catalogue().groups();
    std::size_t nameWidth = 5;  // "total"
    for (GroupInfo const& info : infos) {
        nameWidth = std::max(nameWidth, std::min<std::size_t>(info.name.size(), 20));
    }
    std::size_t const barWidth =
        static_cast<std::size_t>(std::clamp(columns - static_cast<int>(nameWidth) - 50, 10, 30));
    // Room for the bundles: the screen less the total line and a line of slack.
    std::size_t const room = static_cast<std::size_t>(std::max(rows - 3, 2));
    double const bytesPerSecond = rate(Clock::now());
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
            lines.push_back(groupLine(infos[g], state.group(g), nameWidth, barWidth));
        }
        if (crowded) {
            lines.push_back("... " + std::to_string(infos.size() - shown.size()) +
                            " more bundles, " + std::to_string(finished) + " of " +
                            std::to_string(infos.size()) + " finished");
        }
        std::size_t const files = state.catalogue().size();
        double const fraction = files == 0 ? 1.0 : progressSum / static_cast<double>(files);
        std::string line =
            padRight("total", nameWidth) + " " + bar(fraction, barWidth) + " " + percent(fraction);
        line += "  " + (sizesKnown ? formatBytes(std::min(done, total)) + " / " + formatBytes(total)
                                   : formatBytes(transferred));
        line += "  " + formatBytes(static_cast<uint64_t>(bytesPerSecond)) + "/s";
        if (sizesKnown && bytesPerSecond > 0 && done < total) {
            line += "  ETA " + duration(static_cast<double>(total - done) / bytesPerSecond);
        }
        lines.push_back(std::move(line));
    });
    return lines;
}

}  // namespace Tiskel::ResourceSync
