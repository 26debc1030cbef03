#include "JsonProgress.h"

#include <cinttypes>
#include <cmath>
#include <utility>

#include "Platform/Networking/Response.h"

#include "Report.h"

namespace Tiskel::ResourceSync {

namespace {

using App::FileDecision;
using App::FileFailure;

// A file's "progress" lines come at least this far apart.
constexpr int64_t kProgressEveryMs = 250;
constexpr int64_t kTotalEveryMs = 1000;

// The length of the well-formed UTF-8 sequence `text` starts with (RFC 3629: no overlong forms,
// no surrogates, nothing above U+10FFFF), or 0 when it does not start with one.
std::size_t utf8Sequence(std::string_view text) {
    auto const at = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    unsigned const lead = at(0);
    std::size_t length = 0;
    unsigned low = 0x80;  // the range of the second byte; the later ones are 80..BF
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        unsigned const byte = at(i);
        if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

char const* decisionText(FileDecision decision) {
    switch (decision) {
        case FileDecision::KeptPresent:
            return "present";
        case FileDecision::KeptNotModified:
            return "not modified";
        case FileDecision::KeptNoServerTime:
            return "no server time";
        case FileDecision::KeptCheckFailed:
            return "not checked";
        case FileDecision::KeptValid:
            return "valid";
        case FileDecision::KeptAvailable:
            return "current";
        default:
            return "?";
    }
}

char const* failureKind(FileFailure::Kind kind) {
    switch (kind) {
        case FileFailure::HttpStatus:
            return "http";
        case FileFailure::Transport:
            return "transport";
        case FileFailure::FileSystem:
            return "filesystem";
        case FileFailure::Rejected:
            return "rejected";
        case FileFailure::Cancelled:
            return "cancelled";
        case FileFailure::Offline:
            return "offline";
        case FileFailure::None:
            // The sync kept the file from the library (its folder leads out of the target).
            return "refused";
        default:
            return "unknown";
    }
}

char const* transportErrorName(int32_t error) {
    using Networking::Response;
    switch (error) {
        case Response::InvalidUrl:
            return "InvalidUrl";
        case Response::HttpStatus:
            return "HttpStatus";
        case Response::CouldNotConnect:
            return "CouldNotConnect";
        case Response::TlsFailure:
            return "TlsFailure";
        case Response::TooManyRedirects:
            return "TooManyRedirects";
        case Response::TimedOut:
            return "TimedOut";
        case Response::ProtocolError:
            return "ProtocolError";
        case Response::ConnectionLost:
            return "ConnectionLost";
        case Response::ClientError:
            return "ClientError";
        case Response::Cancelled:
            return "Cancelled";
        default:
            return "OtherError";
    }
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string json;
    json.reserve(text.size() + 2);
    json += '"';
    for (std::size_t i = 0; i < text.size();) {
        auto const byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            std::size_t const length = utf8Sequence(text.substr(i));
            if (length == 0) {
                json += "\\ufffd";
                ++i;
            } else {
                json.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        ++i;
        switch (byte) {
            case '"':
                json += "\\\"";
                break;
            case '\\':
                json += "\\\\";
                break;
            case '\n':
                json += "\\n";
                break;
            case '\r':
                json += "\\r";
                break;
            case '\t':
                json += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    json += escaped;
                } else {
                    json += static_cast<char>(byte);
                }
                break;
        }
    }
    json += '"';
    return json;
}

// One object on one line, its fields in the order they are added.
class JsonProgress::Line {
  public:
    Line(char const* event, int64_t milliseconds) {
        text = "{\"event\":\"";
        text += event;
        text += "\",\"time\":";
        char time[32];
        std::snprintf(time, sizeof time, "%" PRId64 ".%03" PRId64, milliseconds / 1000,
                      milliseconds % 1000);
        text += time;
    }
    Line& string(char const* name, std::string_view value) {
        key(name);
        text += jsonString(value);
        return *this;
    }
    template <class Integer>
    Line& number(char const* name, Integer value) {
        key(name);
        text += std::to_string(value);
        return *this;
    }
    Line& decimal(char const* name, double value) {
        key(name);
        char number[32];
        std::snprintf(number, sizeof number, "%.3f", std::isfinite(value) ? value : 0.0);
        text += number;
        return *this;
    }
    Line& flag(char const* name, bool value) {
        key(name);
        text += value ? "true" : "false";
        return *this;
    }
    Line& null(char const* name) {
        key(name);
        text += "null";
        return *this;
    }
    std::string end() { return std::move(text) + "}\n"; }

  private:
    void key(char const* name) {
        text += ",\"";
        text += name;
        text += "\":";
    }
    std::string text;
};

JsonProgress::JsonProgress(SyncState const& state, std::FILE* out, bool outcomesOnly,
                           Clock::time_point origin)
    : state(state), out(out), outcomesOnly(outcomesOnly), origin(origin) {}

int64_t JsonProgress::millisecondsNow() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - origin).count();
}

void JsonProgress::startRound(std::string const& manifest, std::string const& target, bool dryRun) {
    Catalogue const& files = state.catalogue();
    dryRunning = dryRun;
    tracks.assign(files.size(), Track{});
    bundleSaid.assign(files.groups().size(), nullptr);
    retryAnnounced = {};
    int64_t const now = millisecondsNow();
    totalAt = now;
    totalTransferred = 0;
    uint64_t bytes = 0;
    bool sizesKnown = true;
    for (GroupInfo const& group : files.groups()) {
        bytes += group.sizeTotal;
        sizesKnown = sizesKnown && group.sizesKnown;
    }
    Line start("start", now);
    start.string("manifest", manifest)
        .string("target", target)
        .number("files", files.size())
        .number("bundles", files.groups().size());
    if (sizesKnown) {
        start.number("bytes", bytes);
    } else {
        start.null("bytes");
    }
    write(start.flag("dryRun", dryRun).end());
}

std::string JsonProgress::failureLine(SyncEvent const& event, int64_t now) const {
    bool const failed = event.kind == SyncEvent::FileFailed;
    Line line(failed ? "failed" : "kept", now);
    line.string("path", state.catalogue().relativePath(event.index));
    if (!failed) {
        line.string("decision", decisionText(event.decision));
    }
    FileFailure const& failure = event.failure;
    line.string("error", IRemoteResource::errorToString(event.error))
        .string("reason", event.reason)
        .string("kind", failureKind(failure.kind));
    if (failure.kind == FileFailure::HttpStatus) {
        line.number("httpStatus", failure.httpStatus);
    } else if (failure.kind == FileFailure::Transport) {
        line.string("transportError", transportErrorName(failure.transportError));
    } else if (failure.kind == FileFailure::FileSystem) {
        line.number("systemError", failure.systemError).string("errorPath", failure.path);
    }
    if (failure.retryAfterSeconds >= 0) {
        line.number("retryAfter", failure.retryAfterSeconds);
    }
    return line.end();
}

void JsonProgress::show(std::vector<SyncEvent> const& events) {
    if (events.empty()) {
        return;
    }
    int64_t const now = millisecondsNow();
    Catalogue const& files = state.catalogue();
    std::string lines;
    auto const bundleLine = [&](std::size_t g, char const* said) {
        GroupRound const& group = state.group(g);
        bundleSaid[g] = said;
        lines += Line("bundle", now)
                     .string("bundle", files.groups()[g].name)
                     .string("state", said)
                     .number("files", files.groups()[g].count)
                     .number("settled", group.settled)
                     .number("failed", group.failed)
                     .end();
    };
    state.inspect([&] {
        for (SyncEvent const& event : events) {
            if (event.kind == SyncEvent::GroupSettled) {
                bundleLine(event.index,
                           state.group(event.index).failed == 0 ? "available" : "error");
                continue;
            }
            Track& track = tracks[event.index];
            std::string_view const path = files.relativePath(event.index);
            int64_t const size = files.info(event.index).size;
            switch (event.kind) {
                case SyncEvent::FileDownloading: {
                    // A dry run only starts its downloads to end them: "done" tells what a
                    // real run would fetch.
                    if (dryRunning) {
                        break;
                    }
                    static constexpr char kDownloading[] = "downloading";
                    std::size_t const group = files.info(event.index).group;
                    if (bundleSaid[group] != kDownloading) {
                        bundleLine(group, kDownloading);
                    }
                    track = Track{};
                    track.downloading = true;
                    Line line("downloading", now);
                    line.string("path", path);
                    if (size >= 0) {
                        line.number("size", size);
                    }
                    lines += line.end();
                    break;
                }
                case SyncEvent::FileDone: {
                    FileRound const& file = state.file(event.index);
                    track = Track{};
                    track.settled = true;
                    lines +=
                        Line("done", now)
                            .string("path", path)
                            .number("bytes", file.bytes)
                            .string("reason",
                                    downloadReasonText(static_cast<App::DownloadReason>(file.why)))
                            .flag("repaired", file.repaired)
                            .end();
                    break;
                }
                case SyncEvent::FileKept:
                    // A retry of its bundle finds a file it has already told of current again:
                    // no news.
                    if (!track.settled) {
                        track = Track{};
                        track.settled = true;
                        lines += Line("kept", now)
                                     .string("path", path)
                                     .string("decision", decisionText(event.decision))
                                     .end();
                    }
                    break;
                case SyncEvent::FileNotChecked:
                    track = Track{};
                    lines += failureLine(event, now);
                    break;
                case SyncEvent::FileFailed:
                    track = Track{};
                    track.failed = true;
                    lines += failureLine(event, now);
                    break;
                case SyncEvent::GroupSettled:
                    break;
            }
        }
    });
    write(lines);
}

void JsonProgress::tick(Clock::time_point nextRetry) {
    Clock::time_point const clock = Clock::now();
    int64_t const now = millisecondsNow();
    bool const retry = nextRetry > clock && nextRetry != retryAnnounced;
    bool const total = !outcomesOnly && now - totalAt >= kTotalEveryMs;
    // Taken outside: the state's getters lock what `inspect` holds.
    uint64_t const transferred = state.transferred();
    Catalogue const& files = state.catalogue();
    std::string lines;
    state.inspect([&] {
        if (!outcomesOnly) {
            state.forEachRunning([&](std::size_t index, uint64_t bytes, Clock::time_point) {
                Track& track = tracks[index];
                // A download whose "downloading" line has not gone out yet waits for it.
                if (!track.downloading || bytes == track.bytes ||
                    now - track.progressAt < kProgressEveryMs) {
                    return;
                }
                track.bytes = bytes;
                track.progressAt = now;
                Line line("progress", now);
                line.string("path", files.relativePath(index)).number("bytes", bytes);
                if (int64_t const size = files.info(index).size; size >= 0) {
                    line.number("size", size);
                }
                lines += line.end();
            });
        }
        if (retry) {
            auto const seconds = static_cast<int64_t>(
                std::ceil(std::chrono::duration<double>(nextRetry - clock).count()));
            for (std::size_t index : state.failing()) {
                if (tracks[index].failed) {
                    lines += Line("retrying", now)
                                 .string("path", files.relativePath(index))
                                 .number("in", seconds)
                                 .end();
                }
            }
        }
        if (total) {
            uint64_t done = 0;
            uint64_t size = 0;
            bool sizesKnown = true;
            std::size_t settled = 0;
            std::size_t failed = 0;
            for (std::size_t g = 0; g < files.groups().size(); ++g) {
                GroupRound const& group = state.group(g);
                done += group.doneBytes + group.inFlight;
                size += files.groups()[g].sizeTotal;
                sizesKnown = sizesKnown && files.groups()[g].sizesKnown;
                settled += group.settled;
                failed += group.failed;
            }
            Line line("total", now);
            line.number("bytes", done);
            if (sizesKnown) {
                line.number("size", size);
            } else {
                line.null("size");
            }
            double const seconds = static_cast<double>(now - totalAt) / 1000.0;
            lines += line.number("files", files.size())
                         .number("settled", settled)
                         .number("failed", failed)
                         .number("rate",
                                 static_cast<uint64_t>(
                                     static_cast<double>(transferred - totalTransferred) / seconds))
                         .end();
        }
    });
    if (retry) {
        retryAnnounced = nextRetry;
    }
    if (total) {
        totalAt = now;
        totalTransferred = transferred;
    }
    write(lines);
}

void JsonProgress::endRound(Summary const& summary) {
    SyncCounts const& counts = summary.counts;
    write(Line("summary", millisecondsNow())
              .string("result", outcomeName(summary.outcome))
              .number("exitCode", summary.exitCode)
              .flag("gaveUp", summary.gaveUp)
              .flag("dryRun", summary.dryRun)
              .string("target", summary.target)
              .number("files", counts.files)
              .number("downloaded", counts.fetched)
              .number("bytes", counts.fetchedBytes)
              .number("current", counts.current())
              .number("failed", counts.failed)
              .number("notChecked", counts.notChecked)
              .number("repaired", counts.repaired)
              .number("deleted", summary.deleted.size())
              .number("unfinished", counts.files - counts.settled)
              .decimal("seconds", summary.seconds)
              .end());
}

void JsonProgress::write(std::string const& lines) {
    // Line by line, each flushed, so that a reader never waits for a line that is complete.
    for (std::size_t begin = 0; begin < lines.size();) {
        std::size_t const end = lines.find('\n', begin) + 1;
        std::fwrite(lines.data() + begin, 1, end - begin, out);
        std::fflush(out);
        begin = end;
    }
}

}  // namespace Tiskel::ResourceSync
