#pragma once

// Test doubles for driving a RemoteResourceScheduler: a downloader that really writes and
// renames files, scripted validator and post-processor, a recording retrier, tracer and
// subscriber, and a queue that holds tasks until the test runs them. All of them are
// thread-safe.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "App/ResourceDownloadManager/IDownloadRetrier.h"
#include "App/ResourceDownloadManager/IEventTracer.h"
#include "App/ResourceDownloadManager/IPostProcessor.h"
#include "App/ResourceDownloadManager/IRemoteResource.h"
#include "App/ResourceDownloadManager/IRemoteResourceEventHandler.h"
#include "App/ResourceDownloadManager/IResourceDownloader.h"
#include "App/ResourceDownloadManager/IValidator.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "Platform/Core/ITaskQueue.h"

namespace Tiskel::Test {

using App::IRemoteResource;
using App::ResourceDescriptor;

// Holds posted tasks in arrival order (priorities are recorded, not ranked) until the test runs
// them. Tasks run outside the queue's lock, so several threads may drain it at once.
class ManualQueue final : public Core::ITaskQueue {
  public:
    void RegisterEventHandler(Core::ITaskQueueEventHandler* /*handler*/) override {}
    void UnregisterEventHandler(Core::ITaskQueueEventHandler* /*handler*/) override {}
    // Runs the oldest task; an exception from it passes to the caller.
    bool execOne() override;
    void addTask(std::function<void()> task, Priority priority) override;

    // Runs tasks, including ones they post, until none is left. Returns how many ran.
    int runAll();
    std::size_t size() const;
    // Priorities of the waiting tasks, oldest first.
    std::vector<Priority> priorities() const;

  private:
    mutable std::mutex mutex;
    std::deque<std::pair<std::function<void()>, Priority>> tasks;
};

// One scripted answer of the downloader.
struct DownloadStep {
    App::IResourceDownloader::Result result = App::IResourceDownloader::Success;
    // Reported through the task's onProgress before the result is settled.
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    // Throw std::runtime_error from exec, after writing, reporting and any hold, instead of
    // returning.
    bool throws = false;
};

// Downloads like a real downloader: writes the temporary file, reports progress, polls the
// cancellation flag, and on success renames the temporary file to the download path. Answers
// come from a per-descriptor script, then from the default step. Records every call and notices
// when two calls for one descriptor overlap.
class ScriptedDownloader final : public App::IResourceDownloader {
  public:
    Result exec(Task task) const override;
    void abort() override {}
    int64_t requestLastModified(ResourceDescriptor const* descriptor) const override;

    void script(ResourceDescriptor const* descriptor, std::vector<DownloadStep> steps);
    void setDefaultStep(DownloadStep step);
    void setRemoteTime(ResourceDescriptor const* descriptor, int64_t time);
    // Makes every exec wait, after writing and reporting, until `release`, cancellation, or a
    // generous deadline.
    void hold();
    void release();
    // Waits until `count` execs are waiting at the hold; false after the deadline.
    bool waitForHeld(int count) const;

    int execCount(ResourceDescriptor const* descriptor) const;
    int totalExecs() const;
    int lastModifiedRequests(ResourceDescriptor const* descriptor) const;
    // True once two execs for the same descriptor ran at the same time.
    bool overlapSeen() const;

  private:
    DownloadStep nextStep(ResourceDescriptor const* descriptor) const;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    mutable std::map<ResourceDescriptor const*, std::deque<DownloadStep>> scripts;
    DownloadStep defaultStep;
    std::map<ResourceDescriptor const*, int64_t> remoteTimes;
    mutable std::map<ResourceDescriptor const*, int> execs;
    mutable std::map<ResourceDescriptor const*, int> lastModifiedCalls;
    mutable std::map<ResourceDescriptor const*, int> inFlight;
    mutable bool overlap = false;
    bool holding = false;
    mutable int held = 0;
};

// Answers from a per-descriptor script, then `Valid`; may be told to throw.
class ScriptedValidator final : public App::IValidator {
  public:
    Result validate(ResourceDescriptor const* descriptor) const override;
    void script(ResourceDescriptor const* descriptor, std::vector<Result> answers);
    void throwFor(ResourceDescriptor const* descriptor);
    int calls(ResourceDescriptor const* descriptor) const;

  private:
    mutable std::mutex mutex;
    mutable std::map<ResourceDescriptor const*, std::deque<Result>> answers;
    std::map<ResourceDescriptor const*, bool> throwing;
    mutable std::map<ResourceDescriptor const*, int> callCounts;
};

class ScriptedPostProcessor final : public App::IPostProcessor {
  public:
    Result process(ResourceDescriptor const* descriptor) const override;
    void setResult(Result result);
    int calls(ResourceDescriptor const* descriptor) const;

  private:
    mutable std::mutex mutex;
    Result result = Processed;
    mutable std::map<ResourceDescriptor const*, int> callCounts;
};

class RecordingRetrier final : public App::IDownloadRetrier {
  public:
    void downloadFinished(App::ISchedulableResource* resource,
                          IRemoteResource::DownloadError error) noexcept override;
    CheckResult check() noexcept override { return NothingToRetry; }
    State getState() const noexcept override { return NoDelay; }

    std::vector<std::pair<App::ISchedulableResource*, IRemoteResource::DownloadError>> calls()
        const;
    std::vector<IRemoteResource::DownloadError> errors() const;

  private:
    mutable std::mutex mutex;
    std::vector<std::pair<App::ISchedulableResource*, IRemoteResource::DownloadError>> finished;
};

// One traced event, with the state the record pointed at copied during the call.
struct TracedEvent {
    App::IEventTracer::Event event;
    ResourceDescriptor const* descriptor;
    App::ResourceDescriptorBundle const* bundle;
    std::optional<IRemoteResource::State> state;
    std::string message;
};

class RecordingTracer final : public App::IEventTracer {
  public:
    void trace(Event event, TraceRecord const& record) const noexcept override;

    std::vector<TracedEvent> all() const;
    // Events of the pipeline of `descriptor`: those whose record names it, plus the Download
    // and DownloadEnd events whose message carries its remote path.
    std::vector<TracedEvent> ofItem(ResourceDescriptor const* descriptor) const;
    std::vector<Event> eventsOfItem(ResourceDescriptor const* descriptor) const;
    int count(Event event) const;
    void clear();

  private:
    mutable std::mutex mutex;
    mutable std::vector<TracedEvent> events;
};

// Records every delivery it receives.
class RecordingHandler final : public App::IRemoteResourceEventHandler {
  public:
    void onStateChanged(IRemoteResource::State state,
                        App::ResourceDescriptorBundle const* bundle) override;

    std::vector<IRemoteResource::State> states() const;
    std::vector<App::ResourceDescriptorBundle const*> bundles() const;
    std::size_t count() const;

  private:
    mutable std::mutex mutex;
    std::vector<std::pair<IRemoteResource::State, App::ResourceDescriptorBundle const*>> received;
};

// Subscription parameters for `statuses`, with progress notifications when `granularity` is set.
IRemoteResource::NotificationParams paramsFor(std::set<IRemoteResource::DownloadStatus> statuses,
                                              std::optional<double> granularity = std::nullopt);

IRemoteResource::State stateOf(IRemoteResource::DownloadStatus status,
                               IRemoteResource::DownloadError error, double progress);

}  // namespace Tiskel::Test

namespace Tiskel::App {
// Comparison and printing of states for gtest, found through argument-dependent lookup.
bool operator==(IRemoteResource::State const& a, IRemoteResource::State const& b);
std::ostream& operator<<(std::ostream& stream, IRemoteResource::State const& state);
}  // namespace Tiskel::App
