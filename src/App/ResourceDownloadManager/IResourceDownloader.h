#pragma once

#include <cstdint>
#include <functional>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/FileEvents.h"

namespace Tiskel::App {

struct ResourceDescriptor;

// Fetches one file. `exec` and `requestLastModified` run on several download threads at once;
// `abort` may be called from any thread.
class RDM_EXPORT IResourceDownloader {
  public:
    // One download request.
    struct Task {
        ResourceDescriptor const* descriptor = nullptr;
        // (bytes received so far, total bytes); safe to call from any thread.
        std::function<void(uint64_t, uint64_t)> onProgress;
        // Polled by the downloader; true means stop and return Cancelled.
        std::function<bool()> isCancelled;
        // Where the downloader tells why a download that did not succeed failed; may be null.
        // Written only by the thread that runs `exec`, before it returns.
        FileFailure* failure = nullptr;
        // 0 or more: the local file is present with this modification time (seconds since the
        // Unix epoch), and a downloader that can ask conditionally may answer NotModified
        // instead of downloading. -1: download.
        int64_t ifModifiedSince = -1;
    };

    // The answer of a Last-Modified query.
    struct LastModified {
        // Seconds since the Unix epoch; -1 when the server sent no usable time or the query
        // failed.
        int64_t time = -1;
        // Why the query failed; `kind` None when the server answered (with or without a time).
        FileFailure failure;
    };

    enum Result : int32_t {
        Success = 0,         // the file is at `downloadPath`
        Failed = 1,          // any failure not listed below
        ConnectionLost = 2,  // connectivity failure, or the network is reported offline
        Cancelled = 3,       // stopped through `isCancelled` or `abort`
        // Only for a task with `ifModifiedSince`: the server said the local file is current;
        // nothing was written.
        NotModified = 4,
    };

    virtual ~IResourceDownloader() = default;

    // Downloads synchronously: writes `tempPath`, renames it to `downloadPath` on success. After
    // any other result, says why in `*task.failure` when the task has one.
    virtual Result exec(Task task) const = 0;
    // Makes the running and every later `exec` stop with Cancelled.
    virtual void abort() = 0;
    // The remote file's last-modified time in seconds since the Unix epoch.
    virtual int64_t requestLastModified(ResourceDescriptor const* descriptor) const = 0;
    // The same query, telling a failed one apart from an answer without a time. The pipeline
    // asks this one. By default it is `requestLastModified` with no failure: a downloader that
    // can tell why a query failed overrides it (and answers `requestLastModified` from it).
    virtual LastModified checkLastModified(ResourceDescriptor const* descriptor) const;
};

}  // namespace Tiskel::App
