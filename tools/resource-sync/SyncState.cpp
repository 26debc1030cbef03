#include "SyncState.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <type_traits>
#include <utility>

#include "Platform/Networking/Response.h"
#include "Platform/Networking/Url.h"

namespace Tiskel::ResourceSync {

namespace {

using App::FileDecision;
using App::FileFailure;

bool isSettled(IRemoteResource::DownloadStatus status) {
    return status == IRemoteResource::Available || status == IRemoteResource::Error;
}

// No connection could be made at all: the host or proxy is unreachable, or the network is
// reported offline. A server that answered and then broke off is another matter.
bool isUnreachable(FileFailure const& failure) {
    return failure.kind == FileFailure::Offline ||
           (failure.kind == FileFailure::Transport &&
            failure.transportError == Networking::Response::CouldNotConnect);
}

// The reason phrase of the statuses a file server commonly answers with, or null.
char const* statusPhrase(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 408:
            return "Request Timeout";
        case 410:
            return "Gone";
        case 416:
            return "Range Not Satisfiable";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return nullptr;
    }
}

}  // namespace

std::string urlOf(std::string const& baseUrl, std::string const& remotePath) {
    std::string url = baseUrl;
    if (!url.empty() && url.back() != '/') {
        url += '/';
    }
    std::string_view path = remotePath;
    if (!path.empty() && path.front() == '/') {
        path.remove_prefix(1);
    }
    return url.append(path);
}

std::string describeFailure(FileFailure const& failure, std::string const& url) {
    std::string text = failure.text.empty() ? std::string("unknown reason") : failure.text;
    if (failure.kind == FileFailure::HttpStatus) {
        if (char const* phrase = statusPhrase(failure.httpStatus)) {
            text += std::string(" ") + phrase;
        }
    } else if (failure.kind == FileFailure::Transport &&
               failure.transportError != Networking::Response::CouldNotConnect) {
        // The server was reached: what broke was the transfer, not the way to the server.
        constexpr std::string_view kStall = "no data received for ";
        long milliseconds = 0;
        if (text.rfind(kStall, 0) == 0 &&
            std::sscanf(text.c_str() + kStall.size(), "%ld ms", &milliseconds) == 1) {
            text = "stalled: no data for " + std::to_string(milliseconds / 1000) + " s";
        } else {
            text = "transfer failed: " + text;
        }
    }
    if (failure.kind == FileFailure::HttpStatus || failure.kind == FileFailure::Transport) {
        text += " from " + Networking::maskCredentials(url);
    }
    return text;
}

char const* downloadReasonText(App::DownloadReason why) {
    switch (why) {
        case App::DownloadReason::Always:
            return "policy always";
        case App::DownloadReason::Missing:
            return "missing";
        case App::DownloadReason::SizeDiffers:
            return "size differs";
        case App::DownloadReason::Newer:
            return "newer on the server";
        case App::DownloadReason::Invalid:
            return "does not match its sha256";
        default:
            return "";
    }
}

SyncState::SyncState(Catalogue const& catalogue, std::function<void()> wake, bool keepEvents,
                     bool dryRun)
    : files(catalogue), wake(std::move(wake)), keepEvents(keepEvents), dryRun(dryRun) {
    reset();
}

void SyncState::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    rounds.assign(files.size(), FileRound{});
    groups.assign(files.groups().size(), GroupRound{});
    received.clear();
    failed.clear();
    gaveUpAfter = 0;
    lastActivity = std::chrono::steady_clock::now();
    reasons.clear();
    ownReasons.clear();
    folderProblems.clear();
    transferredBytes = 0;
    tally = {};
    tally.files = files.size();
    events.clear();
    wakePending = false;
}

void SyncState::count(std::size_t index, int step) {
    auto add = [step](auto& counter, uint64_t amount) {
        // Unsigned counters: adding the wrapped negative amount subtracts.
        counter += static_cast<std::decay_t<decltype(counter)>>(step > 0 ? amount : 0 - amount);
    };
    FileRound const& file = rounds[index];
    if (!isSettled(file.status)) {
        return;
    }
    FileInfo const& info = files.info(index);
    GroupRound& group = groups[info.group];
    add(tally.settled, 1);
    add(group.settled, 1);
    if (file.unreachable) {
        add(tally.unreachable, 1);
    }
    if (file.status == IRemoteResource::Error) {
        add(tally.failed, 1);
        add(group.failed, 1);
        return;
    }
    add(tally.available, 1);
    add(group.doneBytes, info.size >= 0 ? static_cast<uint64_t>(info.size) : file.bytes);
    if (file.decision == static_cast<uint8_t>(FileDecision::Downloaded)) {
        add(tally.fetched, 1);
        add(tally.fetchedBytes, file.bytes);
        if (file.repaired) {
            add(tally.repaired, 1);
        }
    } else if (file.decision == static_cast<uint8_t>(FileDecision::KeptCheckFailed)) {
        add(tally.notChecked, 1);
    }
}

void SyncState::onFileEvent(App::FileEvent const& event) {
    if (!files.contains(event.descriptor)) {
        return;
    }
    std::size_t const index = files.indexOf(event.descriptor);
    std::size_t const groupIndex = files.info(index).group;
    std::unique_lock<std::mutex> lock(mutex);
    FileRound& file = rounds[index];
    GroupRound& group = groups[groupIndex];
    lastActivity = std::chrono::steady_clock::now();
    bool const groupWasSettled = group.settled == files.groups()[groupIndex].count;
    count(index, -1);
    bool const started =
        event.state.status == IRemoteResource::Downloading && file.status != event.state.status;
    file.status = event.state.status;
    file.error = event.state.error;
    if (file.status == IRemoteResource::Error) {
        failed.insert(index);
    } else {
        failed.erase(index);
    }

    // Bytes of the running download; what a report adds goes to its bundle and the total. Only
    // downloads have an entry: a file that is kept costs no look-up here.
    uint64_t before = 0;
    auto const runningEntry = received.find(index);
    bool const wasRunning = runningEntry != received.end();
    std::chrono::steady_clock::time_point quietSince;
    if (wasRunning) {
        before = runningEntry->second.bytes;
        quietSince = runningEntry->second.since;
    }
    bool const downloading = event.state.status == IRemoteResource::Downloading;
    uint64_t const now = downloading ? event.bytesReceived : 0;
    if (downloading) {
        Running& running = received[index];
        if (!wasRunning) {
            running.started = std::chrono::steady_clock::now();
        }
        if (!wasRunning || now != running.bytes) {
            running.bytes = now;
            running.since = std::chrono::steady_clock::now();
        }
    } else if (wasRunning) {
        received.erase(runningEntry);
    }
    group.inFlight += now - before;  // unsigned: a step back subtracts
    transferredBytes += now > before ? now - before : 0;
    if (started && keepEvents) {
        events.push_back({SyncEvent::FileDownloading, index});
    }

    // A dry run's cancellation is a download that would be made: the file counts as done.
    App::FileOutcome dryOutcome;
    if (dryRun && event.outcome != nullptr && event.outcome->decision == FileDecision::Failed &&
        event.outcome->failure.kind == FileFailure::Cancelled &&
        event.outcome->failure.text == kDryRun) {
        dryOutcome.decision = FileDecision::Downloaded;
        dryOutcome.why = event.outcome->why;
        file.status = IRemoteResource::Available;
        file.error = IRemoteResource::NoError;
        failed.erase(index);
    }
    App::FileOutcome const* const outcomeSeen =
        dryOutcome.why != App::DownloadReason::None ? &dryOutcome : event.outcome;
    if (outcomeSeen != nullptr) {
        App::FileOutcome const& outcome = *outcomeSeen;
        file.decision = static_cast<uint8_t>(outcome.decision);
        file.repaired = outcome.why == App::DownloadReason::SizeDiffers ||
                        outcome.why == App::DownloadReason::Invalid;
        file.why = static_cast<uint8_t>(outcome.why);
        if (outcome.decision == FileDecision::Downloaded) {
            // The transfer's last report may come before its last piece.
            file.bytes = std::max(event.bytesReceived, event.bytesTotal);
            if (outcomeSeen == &dryOutcome) {
                int64_t const size = files.info(index).size;
                file.bytes = size >= 0 ? static_cast<uint64_t>(size) : 0;
            }
            transferredBytes += file.bytes > before ? file.bytes - before : 0;
        }
        bool const problem = outcome.decision == FileDecision::Failed ||
                             outcome.decision == FileDecision::KeptCheckFailed;
        file.unreachable = problem && isUnreachable(outcome.failure);
        auto const own = ownReasons.find(index);
        if (!problem) {
            reasons.erase(index);
        } else if (own != ownReasons.end()) {
            reasons[index] = std::move(own->second);
        } else if (auto const folder = folderProblems.find(index);
                   folder != folderProblems.end() &&
                   outcome.failure.kind == FileFailure::FileSystem) {
            reasons[index] = folder->second;
        } else if (gaveUpAfter > 0 && outcome.failure.kind == FileFailure::Cancelled) {
            // Ended by the give-up: say why it did not finish instead of "cancelled".
            auto const quiet = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::steady_clock::now() - quietSince);
            reasons[index] = wasRunning && quiet.count() >= gaveUpAfter
                                 ? "stalled: no data for " + std::to_string(quiet.count()) + " s"
                                 : "gave up after " + std::to_string(gaveUpAfter) + " s";
        } else {
            reasons[index] = describeFailure(
                outcome.failure, urlOf(event.descriptor->baseUrl, event.descriptor->remotePath));
        }
        if (own != ownReasons.end()) {
            ownReasons.erase(own);
        }
        if (keepEvents) {
            switch (outcome.decision) {
                case FileDecision::Downloaded:
                    events.push_back({SyncEvent::FileDone, index});
                    break;
                case FileDecision::Failed:
                    events.push_back({SyncEvent::FileFailed, index, file.error, reasons[index],
                                      outcome.decision, outcome.failure});
                    break;
                case FileDecision::KeptCheckFailed:
                    events.push_back({SyncEvent::FileNotChecked, index, file.error, reasons[index],
                                      outcome.decision, outcome.failure});
                    break;
                default:
                    if (keepKept) {
                        events.push_back(
                            {SyncEvent::FileKept, index, file.error, {}, outcome.decision});
                    }
                    break;
            }
        }
    }
    count(index, 1);
    // Plain lines tell a bundle's outcome, once all of its files have one.
    if (keepEvents && !groupWasSettled && group.settled == files.groups()[groupIndex].count) {
        events.push_back({SyncEvent::GroupSettled, groupIndex});
    }
    changed(lock);
}

void SyncState::onGroupState(std::size_t group, IRemoteResource::State state) {
    // Only the terminal display reads a group's state, on its own timer: nobody is woken.
    std::lock_guard<std::mutex> lock(mutex);
    groups[group].state = state;
    groups[group].heard = true;
}

void SyncState::setReason(std::size_t file, std::string reason) {
    std::lock_guard<std::mutex> lock(mutex);
    ownReasons[file] = std::move(reason);
}

void SyncState::setSource(std::size_t file, std::size_t source) {
    std::lock_guard<std::mutex> lock(mutex);
    rounds[file].source = static_cast<uint8_t>(source + 1);
}

void SyncState::setFolderProblem(std::size_t file, std::string problem) {
    std::lock_guard<std::mutex> lock(mutex);
    folderProblems[file] = std::move(problem);
}

void SyncState::refuse(std::size_t index, std::string reason) {
    std::unique_lock<std::mutex> lock(mutex);
    std::size_t const groupIndex = files.info(index).group;
    bool const groupWasSettled = groups[groupIndex].settled == files.groups()[groupIndex].count;
    FileRound& file = rounds[index];
    count(index, -1);
    file.status = IRemoteResource::Error;
    file.error = IRemoteResource::GeneralError;
    failed.insert(index);
    file.decision = static_cast<uint8_t>(FileDecision::Failed);
    reasons[index] = std::move(reason);
    count(index, 1);
    if (keepEvents) {
        events.push_back({SyncEvent::FileFailed, index, file.error, reasons[index]});
        if (!groupWasSettled && groups[groupIndex].settled == files.groups()[groupIndex].count) {
            events.push_back({SyncEvent::GroupSettled, groupIndex});
        }
    }
    changed(lock);
}

SyncCounts SyncState::counts() const {
    std::lock_guard<std::mutex> lock(mutex);
    return tally;
}

std::vector<SyncEvent> SyncState::takeEvents() {
    std::lock_guard<std::mutex> lock(mutex);
    wakePending = false;
    return std::exchange(events, {});
}

std::chrono::steady_clock::duration SyncState::quietFor(
    std::chrono::steady_clock::time_point now) const {
    std::lock_guard<std::mutex> lock(mutex);
    return now - lastActivity;
}

void SyncState::giveUp(int seconds) {
    std::lock_guard<std::mutex> lock(mutex);
    gaveUpAfter = seconds;
    // Files that never got a run: their reason is the give-up itself.
    for (std::size_t i = 0; i < rounds.size(); ++i) {
        if (!isSettled(rounds[i].status) && received.count(i) == 0) {
            reasons.emplace(i, "gave up after " + std::to_string(seconds) + " s");
        }
    }
}

uint64_t SyncState::transferred() const {
    std::lock_guard<std::mutex> lock(mutex);
    return transferredBytes;
}

void SyncState::inspect(std::function<void()> const& read) const {
    std::lock_guard<std::mutex> lock(mutex);
    read();
}

std::string const& SyncState::reason(std::size_t index) const {
    static std::string const kNone;
    auto const found = reasons.find(index);
    return found == reasons.end() ? kNone : found->second;
}

void SyncState::changed(std::unique_lock<std::mutex>& lock) {
    // The main thread is woken for lines to print, and when the round may have to end early:
    // every file has settled and some have problems (SyncSession::checkEnd). Nothing else it
    // does depends on a change, so a quiet or terminal display sleeps through a clean round.
    bool const news =
        (keepEvents && !events.empty()) || (tally.problems() > 0 && tally.settled == tally.files);
    if (wakePending || !news) {
        return;
    }
    wakePending = true;
    lock.unlock();
    wake();
}

}  // namespace Tiskel::ResourceSync
