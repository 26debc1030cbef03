#include "Scheduler/Doubles.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "Support/Wait.h"

namespace Tiskel::Test {

bool ManualQueue::execOne() {
    std::function<void()> task;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (tasks.empty()) {
            return false;
        }
        task = std::move(tasks.front().first);
        tasks.pop_front();
    }
    task();
    return true;
}

void ManualQueue::addTask(std::function<void()> task, Priority priority) {
    std::lock_guard<std::mutex> lock(mutex);
    tasks.emplace_back(std::move(task), priority);
}

int ManualQueue::runAll() {
    int ran = 0;
    while (execOne()) {
        ++ran;
    }
    return ran;
}

std::size_t ManualQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex);
    return tasks.size();
}

std::vector<Core::ITaskQueue::Priority> ManualQueue::priorities() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Priority> result;
    for (auto const& entry : tasks) {
        result.push_back(entry.second);
    }
    return result;
}

App::IResourceDownloader::Result ScriptedDownloader::exec(Task task) const {
    ResourceDescriptor const* const descriptor = task.descriptor;
    DownloadStep step;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++execs[descriptor];
        if (++inFlight[descriptor] > 1) {
            overlap = true;
        }
        step = nextStep(descriptor);
    }
    // Leaves the in-flight count right however exec ends, a throw included.
    struct InFlight {
        ScriptedDownloader const* self;
        ResourceDescriptor const* descriptor;
        ~InFlight() {
            std::lock_guard<std::mutex> lock(self->mutex);
            --self->inFlight[descriptor];
        }
    } const inFlightGuard{this, descriptor};

    std::string const tempPath = descriptor->tempPath.string();
    {
        std::ofstream out(tempPath, std::ios::binary | std::ios::trunc);
        out << "payload of " << descriptor->remotePath;
    }
    for (auto const& [received, total] : step.progress) {
        task.onProgress(received, total);
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (holding) {
            ++held;
            changed.notify_all();
            // Cancellation is only visible by polling, as for a real transfer. The deadline
            // keeps a faulty scheduler from hanging the test.
            auto const deadline = std::chrono::steady_clock::now() + kGenerousDeadline;
            while (holding && !task.isCancelled() && std::chrono::steady_clock::now() < deadline) {
                changed.wait_for(lock, std::chrono::milliseconds(1));
            }
            --held;
        }
    }

    if (step.throws) {
        throw std::runtime_error("scripted downloader failure");
    }
    std::error_code ignored;
    if (task.isCancelled() || step.result == Cancelled) {
        std::filesystem::remove(tempPath, ignored);
        return Cancelled;
    }
    if (step.result == Failed || step.result == ConnectionLost) {
        std::filesystem::remove(tempPath, ignored);
        return step.result;
    }
    std::filesystem::rename(tempPath, descriptor->downloadPath.string(), ignored);
    return ignored ? Failed : step.result;
}

int64_t ScriptedDownloader::requestLastModified(ResourceDescriptor const* descriptor) const {
    std::lock_guard<std::mutex> lock(mutex);
    ++lastModifiedCalls[descriptor];
    auto const found = remoteTimes.find(descriptor);
    return found == remoteTimes.end() ? 0 : found->second;
}

void ScriptedDownloader::script(ResourceDescriptor const* descriptor,
                                std::vector<DownloadStep> steps) {
    std::lock_guard<std::mutex> lock(mutex);
    scripts[descriptor].assign(steps.begin(), steps.end());
}

void ScriptedDownloader::setDefaultStep(DownloadStep step) {
    std::lock_guard<std::mutex> lock(mutex);
    defaultStep = std::move(step);
}

void ScriptedDownloader::setRemoteTime(ResourceDescriptor const* descriptor, int64_t time) {
    std::lock_guard<std::mutex> lock(mutex);
    remoteTimes[descriptor] = time;
}

void ScriptedDownloader::hold() {
    std::lock_guard<std::mutex> lock(mutex);
    holding = true;
}

void ScriptedDownloader::release() {
    std::lock_guard<std::mutex> lock(mutex);
    holding = false;
    changed.notify_all();
}

bool ScriptedDownloader::waitForHeld(int count) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, kGenerousDeadline, [&] { return held >= count; });
}

int ScriptedDownloader::execCount(ResourceDescriptor const* descriptor) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto const found = execs.find(descriptor);
    return found == execs.end() ? 0 : found->second;
}

int ScriptedDownloader::totalExecs() const {
    std::lock_guard<std::mutex> lock(mutex);
    int total = 0;
    for (auto const& entry : execs) {
        total += entry.second;
    }
    return total;
}

int ScriptedDownloader::lastModifiedRequests(ResourceDescriptor const* descriptor) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto const found = lastModifiedCalls.find(descriptor);
    return found == lastModifiedCalls.end() ? 0 : found->second;
}

bool ScriptedDownloader::overlapSeen() const {
    std::lock_guard<std::mutex> lock(mutex);
    return overlap;
}

// REQUIRES: mutex is held.
DownloadStep ScriptedDownloader::nextStep(ResourceDescriptor const* descriptor) const {
    auto& steps = scripts[descriptor];
    if (steps.empty()) {
        return defaultStep;
    }
    DownloadStep step = steps.front();
    steps.pop_front();
    return step;
}

App::IValidator::Result ScriptedValidator::validate(ResourceDescriptor const* descriptor) const {
    std::lock_guard<std::mutex> lock(mutex);
    ++callCounts[descriptor];
    auto const throwsFound = throwing.find(descriptor);
    if (throwsFound != throwing.end() && throwsFound->second) {
        throw std::runtime_error("scripted validator failure");
    }
    auto& scripted = answers[descriptor];
    if (scripted.empty()) {
        return Valid;
    }
    Result const answer = scripted.front();
    scripted.pop_front();
    return answer;
}

void ScriptedValidator::script(ResourceDescriptor const* descriptor, std::vector<Result> results) {
    std::lock_guard<std::mutex> lock(mutex);
    answers[descriptor].assign(results.begin(), results.end());
}

void ScriptedValidator::throwFor(ResourceDescriptor const* descriptor) {
    std::lock_guard<std::mutex> lock(mutex);
    throwing[descriptor] = true;
}

int ScriptedValidator::calls(ResourceDescriptor const* descriptor) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto const found = callCounts.find(descriptor);
    return found == callCounts.end() ? 0 : found->second;
}

App::IPostProcessor::Result ScriptedPostProcessor::process(
    ResourceDescriptor const* descriptor) const {
    std::lock_guard<std::mutex> lock(mutex);
    ++callCounts[descriptor];
    return result;
}

void ScriptedPostProcessor::setResult(Result value) {
    std::lock_guard<std::mutex> lock(mutex);
    result = value;
}

int ScriptedPostProcessor::calls(ResourceDescriptor const* descriptor) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto const found = callCounts.find(descriptor);
    return found == callCounts.end() ? 0 : found->second;
}

void RecordingRetrier::downloadFinished(App::ISchedulableResource* resource,
                                        IRemoteResource::DownloadError error) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    finished.emplace_back(resource, error);
}

std::vector<std::pair<App::ISchedulableResource*, IRemoteResource::DownloadError>>
RecordingRetrier::calls() const {
    std::lock_guard<std::mutex> lock(mutex);
    return finished;
}

std::vector<IRemoteResource::DownloadError> RecordingRetrier::errors() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<IRemoteResource::DownloadError> result;
    for (auto const& entry : finished) {
        result.push_back(entry.second);
    }
    return result;
}

void RecordingTracer::trace(Event event, TraceRecord const& record) const noexcept {
    TracedEvent traced{event, record.descriptor, record.bundle, std::nullopt, record.message};
    // Reading the state here, outside any lock of the emitter, is exactly what a real tracer
    // does; ThreadSanitizer reports it if the emitter hands out a state others are writing.
    if (record.state != nullptr) {
        traced.state = *record.state;
    }
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(std::move(traced));
}

std::vector<TracedEvent> RecordingTracer::all() const {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
}

std::vector<TracedEvent> RecordingTracer::ofItem(ResourceDescriptor const* descriptor) const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<TracedEvent> result;
    for (auto const& traced : events) {
        bool const ownDownload =
            (traced.event == Download && traced.message == descriptor->remotePath) ||
            (traced.event == DownloadEnd &&
             traced.message.rfind(descriptor->remotePath + ", err:", 0) == 0);
        if (traced.descriptor == descriptor || ownDownload) {
            result.push_back(traced);
        }
    }
    return result;
}

std::vector<App::IEventTracer::Event> RecordingTracer::eventsOfItem(
    ResourceDescriptor const* descriptor) const {
    std::vector<Event> result;
    for (auto const& traced : ofItem(descriptor)) {
        result.push_back(traced.event);
    }
    return result;
}

int RecordingTracer::count(Event event) const {
    std::lock_guard<std::mutex> lock(mutex);
    int result = 0;
    for (auto const& traced : events) {
        result += traced.event == event ? 1 : 0;
    }
    return result;
}

void RecordingTracer::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    events.clear();
}

void RecordingHandler::onStateChanged(IRemoteResource::State state,
                                      App::ResourceDescriptorBundle const* bundle) {
    std::lock_guard<std::mutex> lock(mutex);
    received.emplace_back(state, bundle);
}

std::vector<IRemoteResource::State> RecordingHandler::states() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<IRemoteResource::State> result;
    for (auto const& entry : received) {
        result.push_back(entry.first);
    }
    return result;
}

std::vector<App::ResourceDescriptorBundle const*> RecordingHandler::bundles() const {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<App::ResourceDescriptorBundle const*> result;
    for (auto const& entry : received) {
        result.push_back(entry.second);
    }
    return result;
}

std::size_t RecordingHandler::count() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received.size();
}

IRemoteResource::NotificationParams paramsFor(std::set<IRemoteResource::DownloadStatus> statuses,
                                              std::optional<double> granularity) {
    IRemoteResource::NotificationParams params;
    params.statuses = std::move(statuses);
    params.notifyProgress = granularity.has_value();
    params.progressGranularity = granularity.value_or(0.0);
    return params;
}

IRemoteResource::State stateOf(IRemoteResource::DownloadStatus status,
                               IRemoteResource::DownloadError error, double progress) {
    IRemoteResource::State state;
    state.status = status;
    state.error = error;
    state.progress = progress;
    return state;
}

}  // namespace Tiskel::Test

namespace Tiskel::App {

bool operator==(IRemoteResource::State const& a, IRemoteResource::State const& b) {
    return a.status == b.status && a.error == b.error && a.progress == b.progress;
}

std::ostream& operator<<(std::ostream& stream, IRemoteResource::State const& state) {
    return stream << state.toDebugString() << " (" << state.progress << ")";
}

}  // namespace Tiskel::App
