#pragma once

#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "App/ResourceDownloadManager/IEventTracer.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"

namespace Tiskel::Test {

// The state a bundle must have with children in `children`, computed the plain way: one pass
// over the children, progress summed left to right. With no children the bundle keeps
// `unchanged`; with one it mirrors the child.
inline App::IRemoteResource::State expectedAggregate(
    std::vector<App::IRemoteResource::State> const& children,
    App::IRemoteResource::State const& unchanged = {}) {
    using App::IRemoteResource;
    if (children.empty()) {
        return unchanged;
    }
    if (children.size() == 1) {
        return children.front();
    }
    std::set<IRemoteResource::DownloadStatus> statuses;
    std::set<IRemoteResource::DownloadError> errors;
    double sum = 0.0;
    for (auto const& child : children) {
        statuses.insert(child.status);
        errors.insert(child.error);
        sum += child.progress;
    }
    auto const has = [](auto const& set, auto value) { return set.count(value) != 0; };
    IRemoteResource::State result;
    result.progress = sum / static_cast<double>(children.size());
    if (statuses == std::set{IRemoteResource::Available}) {
        result.status = IRemoteResource::Available;
    } else if (has(statuses, IRemoteResource::Error)) {
        result.status = IRemoteResource::Error;
    } else if (has(statuses, IRemoteResource::Downloading) ||
               has(statuses, IRemoteResource::Available)) {
        result.status = IRemoteResource::Downloading;
    } else {
        result.status = IRemoteResource::Waiting;
    }
    result.error = IRemoteResource::GeneralError;
    if (errors == std::set{IRemoteResource::NoError}) {
        result.error = IRemoteResource::NoError;
    } else {
        for (auto error : {IRemoteResource::Cancelled, IRemoteResource::InternetConnectionLost,
                           IRemoteResource::Corrupted}) {
            if (has(errors, error)) {
                result.error = error;
                break;
            }
        }
    }
    return result;
}

// Remembers, per key (the traced record's descriptor or bundle), the subscriber state traced with
// the last notification: at the last delivery to a subscriber, the last state decided for it.
// Every traced state is read, as a real tracer would: ThreadSanitizer reports a state handed out
// while others write it.
template <class Key, Key App::IEventTracer::TraceRecord::*keyOf>
class LastNotificationTracer final : public App::IEventTracer {
  public:
    void trace(Event event, TraceRecord const& record) const noexcept override {
        App::IRemoteResource::State const state =
            record.state ? *record.state : App::IRemoteResource::State{};
        if ((event == StatusNotification || event == ProgressNotification) && record.*keyOf) {
            std::lock_guard<std::mutex> lock(mutex);
            last[record.*keyOf] = state;
        }
    }
    // A copy, so that the caller holds no lock of the tracer while it calls the library.
    std::map<Key, App::IRemoteResource::State> lastTraced() const {
        std::lock_guard<std::mutex> lock(mutex);
        return last;
    }

  private:
    mutable std::mutex mutex;
    mutable std::map<Key, App::IRemoteResource::State> last;
};

}  // namespace Tiskel::Test
