#pragma once

#include <cstdint>
#include <functional>

#include "App/ResourceDownloadManager/Export.h"

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
    };

    enum Result : int32_t {
        Success = 0,         // the file is at `downloadPath`
        Failed = 1,          // any failure not listed below
        ConnectionLost = 2,  // connectivity failure, or the network is reported offline
        Cancelled = 3,       // stopped through `isCancelled` or `abort`
    };

    virtual ~IResourceDownloader() = default;

    // Downloads synchronously: writes `tempPath`, renames it to `downloadPath` on success.
    virtual Result exec(Task task) const = 0;
    // Makes the running and every later `exec` stop with Cancelled.
    virtual void abort() = 0;
    // The remote file's last-modified time in seconds since the Unix epoch.
    virtual int64_t requestLastModified(ResourceDescriptor const* descriptor) const = 0;
};

}  // namespace Tiskel::App
