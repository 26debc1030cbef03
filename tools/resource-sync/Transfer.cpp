#include "Transfer.h"

#include <exception>
#include <utility>

#include "SyncState.h"

namespace Tiskel::ResourceSync {

namespace {

thread_local std::string lastFailure;
thread_local std::string lastErrorLine;

SyncFile& fileOf(App::ResourceDescriptor const* descriptor) {
    // The descriptors the library hands back are the SyncFiles the sync registered.
    return const_cast<SyncFile&>(static_cast<SyncFile const&>(*descriptor));
}

}  // namespace

FailureRecordingClient::FailureRecordingClient(std::unique_ptr<Networking::IHttpClient> inner)
    : inner(std::move(inner)) {}

Networking::Response FailureRecordingClient::download(Networking::Request const& request,
                                                      Networking::RequestOptions const& options) {
    Networking::Response response = inner->download(request, options);
    if (response.error != Networking::Response::NoError &&
        response.error != Networking::Response::Cancelled) {
        lastFailure = response.errorText + " from " + request.url().str();
    }
    return response;
}

Networking::Response FailureRecordingClient::head(Networking::Request const& request,
                                                  Networking::RequestOptions const& options) {
    return inner->head(request, options);
}

std::string FailureRecordingClient::takeFailure() {
    return std::exchange(lastFailure, {});
}

void ErrorLineSink::send(google::LogSeverity severity, char const* /*fullFilename*/,
                         char const* /*baseFilename*/, int /*line*/, struct ::tm const* /*time*/,
                         char const* message, size_t length) {
    if (severity >= google::GLOG_ERROR) {
        lastErrorLine.assign(message, length);
    }
}

std::string ErrorLineSink::takeLine() {
    return std::exchange(lastErrorLine, {});
}

MeteredDownloader::MeteredDownloader(std::shared_ptr<App::IResourceDownloader> inner,
                                     SyncState& state)
    : inner(std::move(inner)), state(state) {}

App::IResourceDownloader::Result MeteredDownloader::exec(Task task) const {
    SyncFile& file = fileOf(task.descriptor);
    // Words left over from an earlier download on this thread belong to another file.
    FailureRecordingClient::takeFailure();
    ErrorLineSink::takeLine();
    state.downloadStarted(file);

    Task metered = task;
    metered.onProgress = [this, &file, report = std::move(task.onProgress)](uint64_t received,
                                                                            uint64_t total) {
        state.downloadProgress(file, received, total);
        report(received, total);
    };
    Result result = Failed;
    std::string reason;
    try {
        result = inner->exec(std::move(metered));
    } catch (std::exception const& error) {
        reason = error.what();
    } catch (...) {
        reason = "unknown exception in the downloader";
    }
    if (result == Cancelled) {
        reason = "cancelled";
    }
    if (result != Success && reason.empty()) {
        reason = FailureRecordingClient::takeFailure();
    }
    if (result != Success && reason.empty()) {
        reason = ErrorLineSink::takeLine();
    }
    if (result != Success && !file.folderProblem.empty()) {
        reason = file.folderProblem + (reason.empty() ? "" : " (" + reason + ")");
    }
    state.downloadFinished(file, result == Success, std::move(reason));
    return result;
}

void MeteredDownloader::abort() {
    inner->abort();
}

int64_t MeteredDownloader::requestLastModified(App::ResourceDescriptor const* descriptor) const {
    try {
        return inner->requestLastModified(descriptor);
    } catch (...) {
        return -1;
    }
}

}  // namespace Tiskel::ResourceSync
