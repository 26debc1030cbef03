#include "SyncState.h"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace Tiskel::ResourceSync {

SyncState::SyncState(std::deque<SyncFile>& files, std::deque<SyncGroup>& groups,
                     std::function<void()> wake, bool keepEvents)
    : files(files), groups(groups), wake(std::move(wake)), keepEvents(keepEvents) {
    reset();
}

void SyncState::reset() {
    std::lock_guard<std::mutex> lock(mutex);
    for (SyncFile& file : files) {
        file.received = 0;
        file.announced = 0;
        file.localVerdict = 0;
        file.status = IRemoteResource::Waiting;
        file.error = IRemoteResource::NoError;
        file.fetched = false;
        file.fetchedBytes = 0;
        file.reason.clear();
    }
    for (SyncGroup& group : groups) {
        group.inFlight = 0;
        group.state = {};
        group.heard = false;
        group.settled = 0;
        group.failed = 0;
        group.doneBytes = 0;
    }
    tally = {};
    tally.files = files.size();
    events.clear();
    wakePending = false;
    transferredBytes = 0;
}

// Adds the file's present status to the counts (`step` 1) or takes it out (`step` -1).
void SyncState::count(SyncFile const& file, SyncGroup& group, int step) {
    auto add = [step](auto& counter, uint64_t amount) {
        // Unsigned counters: adding the wrapped negative amount subtracts.
        counter += static_cast<std::decay_t<decltype(counter)>>(step > 0 ? amount : 0 - amount);
    };
    bool const available = file.status == IRemoteResource::Available;
    if (!available && file.status != IRemoteResource::Error) {
        return;
    }
    add(tally.settled, 1);
    add(group.settled, 1);
    if (available) {
        add(tally.available, 1);
        add(group.doneBytes, file.size >= 0 ? static_cast<uint64_t>(file.size) : file.fetchedBytes);
        if (file.fetched) {
            add(tally.fetched, 1);
            add(tally.fetchedBytes, file.fetchedBytes);
        }
        return;
    }
    add(tally.failed, 1);
    add(group.failed, 1);
    if (file.error == IRemoteResource::InternetConnectionLost) {
        add(tally.failedOffline, 1);
    }
}

void SyncState::onFileState(SyncFile& file, IRemoteResource::State state) {
    std::unique_lock<std::mutex> lock(mutex);
    SyncGroup& group = groups[file.group];
    count(file, group, -1);
    file.status = state.status;
    file.error = state.error;
    file.fetched = file.fetched || state.status == IRemoteResource::Downloading;
    bool const groupWasSettled = group.settled == group.fileCount;
    count(file, group, 1);
    if (keepEvents) {
        switch (state.status) {
            case IRemoteResource::Downloading:
                events.push_back({SyncEvent::FileDownloading, file.index});
                break;
            case IRemoteResource::Available:
                if (file.fetched) {
                    events.push_back({SyncEvent::FileDone, file.index});
                }
                break;
            case IRemoteResource::Error:
                events.push_back({SyncEvent::FileFailed, file.index});
                break;
            default:
                break;
        }
        // Plain lines tell a bundle's outcome, once all of its files have one.
        if (!groupWasSettled && group.settled == group.fileCount) {
            events.push_back(
                {SyncEvent::GroupChanged, group.index,
                 group.failed == 0 ? IRemoteResource::Available : IRemoteResource::Error,
                 group.settled});
        }
    }
    changed(lock);
}

void SyncState::onGroupState(SyncGroup& group, IRemoteResource::State state) {
    // Only the terminal display reads a group's state, on its own timer: nobody is woken.
    std::lock_guard<std::mutex> lock(mutex);
    group.state = state;
    group.heard = true;
}

void SyncState::downloadStarted(SyncFile& file) {
    file.received = 0;
    file.announced = 0;
    std::lock_guard<std::mutex> lock(mutex);
    file.reason.clear();
}

void SyncState::downloadProgress(SyncFile& file, uint64_t received, uint64_t total) {
    // Only the file's own download thread writes `received`, so the exchange gives the step.
    uint64_t const before = file.received.exchange(received, std::memory_order_relaxed);
    file.announced.store(total, std::memory_order_relaxed);
    // Unsigned wrap-around makes a step back (a restarted transfer) a subtraction.
    groups[file.group].inFlight.fetch_add(received - before, std::memory_order_relaxed);
    if (received > before) {
        transferredBytes.fetch_add(received - before, std::memory_order_relaxed);
    }
}

void SyncState::downloadFinished(SyncFile& file, bool success, std::string reason) {
    uint64_t const received = file.received.exchange(0, std::memory_order_relaxed);
    uint64_t const announced = file.announced.load(std::memory_order_relaxed);
    groups[file.group].inFlight.fetch_sub(received, std::memory_order_relaxed);
    // A transfer reports progress before each piece, so the last piece shows only here.
    uint64_t const bytes = success ? std::max(received, announced) : 0;
    if (bytes > received) {
        transferredBytes.fetch_add(bytes - received, std::memory_order_relaxed);
    }
    std::lock_guard<std::mutex> lock(mutex);
    file.fetchedBytes = bytes;
    file.reason = std::move(reason);
}

void SyncState::setReason(SyncFile& file, std::string reason) {
    std::lock_guard<std::mutex> lock(mutex);
    file.reason = std::move(reason);
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

void SyncState::inspect(std::function<void()> const& read) const {
    std::lock_guard<std::mutex> lock(mutex);
    read();
}

void SyncState::changed(std::unique_lock<std::mutex>& lock) {
    // The main thread is woken for lines to print, and when the round may have to end early:
    // every file has settled and some failed (SyncSession::checkEnd). Nothing else it does
    // depends on a change, so a quiet or terminal display sleeps through a clean round.
    bool const news =
        (keepEvents && !events.empty()) || (tally.failed > 0 && tally.settled == tally.files);
    if (wakePending || !news) {
        return;
    }
    wakePending = true;
    lock.unlock();
    wake();
}

}  // namespace Tiskel::ResourceSync
