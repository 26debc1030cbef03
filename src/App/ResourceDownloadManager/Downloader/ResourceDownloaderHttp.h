#pragma once

#include <cstdint>
#include <memory>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/INetworkStateChecker.h"
#include "App/ResourceDownloadManager/IResourceDownloader.h"
#include "Platform/Networking/IHttpClient.h"
#include "Platform/Networking/IProxyProvider.h"

namespace Tiskel::App {

// The production downloader: fetches a resource from its web server through the shared HTTP
// client and the system proxy, streams the body into the descriptor's temporary path and renames
// the finished file to its download path. While the network-state checker reports offline,
// running downloads stop and every failure counts as a lost connection.
//
// Thread-safe: `exec` and `requestLastModified` run on several download threads at once;
// `abort` may be called from any thread.
class RDM_EXPORT ResourceDownloaderHttp : public IResourceDownloader {
  public:
    // Work beyond fetching a file into place, each off by default (the manager's Params switch
    // them on for the downloader it makes).
    struct Features {
        // A transfer that breaks off (lost connection, stall, cancel, abort, the process killed)
        // after at least 1 MiB of an answer that carried a validator (ETag, else Last-Modified)
        // keeps its partial temporary file, with the URL and the validator in a small record
        // beside it (the temporary path + ".resume"). The next download of the file, a retry or
        // a later run, asks for the rest only (Range, with If-Range): 206 appends, any other
        // answer starts over. The file is never in place before it is whole.
        bool resume = false;
        // A finished file gets the server's Last-Modified as its modification time and keeps
        // the ETag in an extended attribute where the file system has them. A task with
        // `ifModifiedSince` becomes one conditional GET (If-Modified-Since with the local
        // file's time, If-None-Match with its kept ETag): 304 answers NotModified, 200 streams
        // the new file in.
        bool conditional = false;
        // 429 and 503 count as a lost connection (retried as often), with the server's
        // Retry-After in the failure; without this they are general errors.
        bool retryLater = false;
        // The temporary file reaches the disk before the rename and the rename before Success
        // (fdatasync of the file, fsync of its folder, shared by downloads of one folder that
        // finish together), so a power cut never leaves an empty or short file in place.
        bool syncToDisk = false;
        // A transfer of 1 MiB or more whose size is known (the descriptor's expectedSize, the
        // answer's Content-Length) and cannot fit on the temporary file's file system fails at once
        // with "not enough space: need X, Y free"; the old file stays.
        bool checkFreeSpace = false;
    };

    // Keeps its own copies of the three services. No I/O.
    ResourceDownloaderHttp(std::shared_ptr<Networking::IHttpClient> const& client,
                           std::shared_ptr<Networking::IProxyProvider> const& proxyProvider,
                           std::shared_ptr<INetworkStateChecker> const& networkStateChecker);
    ResourceDownloaderHttp(std::shared_ptr<Networking::IHttpClient> const& client,
                           std::shared_ptr<Networking::IProxyProvider> const& proxyProvider,
                           std::shared_ptr<INetworkStateChecker> const& networkStateChecker,
                           Features const& features);
    // Aborts first, so that a download still running on another thread stops at its next poll.
    ~ResourceDownloaderHttp() override;
    ResourceDownloaderHttp(ResourceDownloaderHttp const&) = delete;
    ResourceDownloaderHttp& operator=(ResourceDownloaderHttp const&) = delete;

    // One download of `task.descriptor`. Success leaves the file at `downloadPath`; after any
    // other result the old file there is untouched and nothing is left at `tempPath` (except
    // ConnectionLost from a transfer that completed just as the network went offline, which
    // still puts the new file in place). A temporary file that cannot be written or closed
    // (a full disk, a file-size limit) ends the download as Failed, with an ERROR line naming
    // the file and the reason. Exceptions from the HTTP client pass to the caller, the temporary
    // file removed.
    Result exec(Task task) const override;
    // Limits all downloads running at once to `bytesPerSecond` together, each taking an equal
    // share that follows the number of running downloads; 0 or less (the default) lifts the
    // limit. Running downloads take up a new share within a few seconds.
    void limitReceiveRate(int64_t bytesPerSecond);
    // Makes running and later downloads, and running Last-Modified queries, stop at their next
    // cancellation poll (within a fraction of a second, also while the server sends nothing).
    // Permanent.
    void abort() override;
    // The server's Last-Modified time of the resource in seconds since the Unix epoch; -1 when
    // the server sent none, the request failed or the downloader was aborted.
    int64_t requestLastModified(ResourceDescriptor const* descriptor) const override;
    // The same query; a failed one carries the HTTP status or the transport's reason.
    LastModified checkLastModified(ResourceDescriptor const* descriptor) const override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace Tiskel::App
