#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "App/ResourceDownloadManager/ActiveState.h"
#include "App/ResourceDownloadManager/IEventTracer.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"
#include "Platform/Core/ITaskQueue.h"

namespace Tiskel::App {

inline bool operator==(IRemoteResource::State const& a, IRemoteResource::State const& b) {
    return a.status == b.status && a.error == b.error && a.progress == b.progress;
}

inline void PrintTo(IRemoteResource::State const& state, std::ostream* out) {
    *out << "{" << IRemoteResource::statusToString(state.status) << ", "
         << IRemoteResource::errorToString(state.error) << ", " << state.progress << "}";
}

}  // namespace Tiskel::App

namespace Tiskel::Test {

using App::IRemoteResource;
using State = IRemoteResource::State;
using Status = IRemoteResource::DownloadStatus;

inline State makeState(Status status,
                       IRemoteResource::DownloadError error = IRemoteResource::NoError,
                       double progress = 0.0) {
    State state;
    state.status = status;
    state.error = error;
    state.progress = progress;
    return state;
}

inline IRemoteResource::NotificationParams paramsFor(std::set<Status> statuses,
                                                     bool notifyProgress = false,
                                                     double granularity = 0.0) {
    IRemoteResource::NotificationParams params;
    params.statuses = std::move(statuses);
    params.notifyProgress = notifyProgress;
    params.progressGranularity = granularity;
    return params;
}

// Lines of what happened, in order, from any thread.
class Journal {
  public:
    void add(std::string line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(std::move(line));
    }
    std::vector<std::string> get() const {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }

  private:
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

// Holds posted tasks until the test runs them.
class ManualQueue : public Core::ITaskQueue {
  public:
    void RegisterEventHandler(Core::ITaskQueueEventHandler*) override {}
    void UnregisterEventHandler(Core::ITaskQueueEventHandler*) override {}
    bool execOne() override {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (tasks.empty()) {
                return false;
            }
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
        return true;
    }
    void addTask(std::function<void()> task, Priority) override {
        std::lock_guard<std::mutex> lock(mutex);
        tasks.push_back(std::move(task));
    }
    int runAll() {
        int ran = 0;
        while (execOne()) {
            ++ran;
        }
        return ran;
    }

  private:
    mutable std::mutex mutex;
    std::deque<std::function<void()>> tasks;
};

// Writes "<event> <state>" for every trace into a journal.
class RecordingTracer : public App::IEventTracer {
  public:
    explicit RecordingTracer(Journal& journal) : journal(journal) {}
    void trace(Event event, TraceRecord const& record) const noexcept override {
        journal.add(std::to_string(event) + " " +
                    (record.state ? record.state->toDebugString() : std::string("-")));
        std::lock_guard<std::mutex> lock(mutex);
        lastDescriptor = record.descriptor;
        lastBundle = record.bundle;
    }
    mutable std::mutex mutex;
    mutable App::ResourceDescriptor const* lastDescriptor = nullptr;
    mutable App::ResourceDescriptorBundle const* lastBundle = nullptr;

  private:
    Journal& journal;
};

// A subscriber key that remembers what its callback was given. The callback runs under the
// node's lock, so single-threaded tests read `received` without a lock of their own.
struct Subscriber : App::IRemoteResourceEventHandler {
    void onStateChanged(State, App::ResourceDescriptorBundle const*) override {}

    void subscribe(App::ActiveState& node, IRemoteResource::NotificationParams const& params,
                   Journal* journal = nullptr, std::string label = "cb") {
        node.addChangeSubscriber(
            this,
            [this, journal, label](State state) {
                received.push_back(state);
                if (journal) {
                    journal->add(label + " " + state.toDebugString());
                }
            },
            params);
    }

    std::vector<State> received;
};

}  // namespace Tiskel::Test
