#pragma once

#include <memory>
#include <string>

#include <glog/logging.h>

#include "App/ResourceDownloadManager/IResourceDownloader.h"
#include "Platform/Networking/IHttpClient.h"

// Wrappers around the library's downloading seams that tell the sync what a transfer did: how
// many bytes arrived, and in words why one failed. The library itself reports only a
// DownloadError; the words come from the HTTP response and from the library's ERROR log lines,
// caught on the thread of the failing download.
namespace Tiskel::ResourceSync {

class SyncState;

// Remembers, per calling thread, the last failed response of a GET. Otherwise passes every
// call through. Thread-safe like the client it wraps.
class FailureRecordingClient final : public Networking::IHttpClient {
  public:
    explicit FailureRecordingClient(std::unique_ptr<Networking::IHttpClient> inner);

    Networking::Response download(Networking::Request const& request,
                                  Networking::RequestOptions const& options) override;
    Networking::Response head(Networking::Request const& request,
                              Networking::RequestOptions const& options) override;

    // The last failure on this thread ("HTTP 404 from http://..."), then forgets it.
    static std::string takeFailure();

  private:
    std::unique_ptr<Networking::IHttpClient> const inner;
};

// Remembers, per logging thread, the text of the last ERROR line (the library's file helpers
// name the path and the system's reason). Install with google::AddLogSink.
class ErrorLineSink final : public google::LogSink {
  public:
    void send(google::LogSeverity severity, char const* fullFilename, char const* baseFilename,
              int line, struct ::tm const* time, char const* message, size_t length) override;

    // The last ERROR line logged on this thread, then forgets it.
    static std::string takeLine();
};

// Wraps the real downloader: feeds progress and outcomes into the SyncState, turns exceptions of
// the wrapped downloader into a failed result, and attaches the reason of every failure to its
// file. Every descriptor it is given must be a SyncFile. Thread-safe like the downloader.
class MeteredDownloader final : public App::IResourceDownloader {
  public:
    MeteredDownloader(std::shared_ptr<App::IResourceDownloader> inner, SyncState& state);

    Result exec(Task task) const override;
    void abort() override;
    // The wrapped answer; -1 (never newer than the local file) when it throws, as it does for a
    // file missing from a source folder.
    int64_t requestLastModified(App::ResourceDescriptor const* descriptor) const override;

  private:
    std::shared_ptr<App::IResourceDownloader> const inner;
    SyncState& state;
};

}  // namespace Tiskel::ResourceSync
