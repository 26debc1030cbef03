#pragma once

#include <cstdint>
#include <memory>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/IResourceDownloader.h"
#include "Platform/Filesystem/ioPath.h"

namespace Tiskel::App {

// A downloader that copies resources from a local directory mirroring the server, at a simulated
// transfer rate, with progress reports and cancellation like a real transfer. It stages each copy
// in the descriptor's temporary path and renames it into place, so the pipeline cannot tell it
// from the HTTP downloader. Meant for hosts that serve resources from disk, such as tests.
//
// Thread-safe: `exec` and `requestLastModified` may run on several threads at once, and `abort`
// may be called from any thread.
class RDM_EXPORT ResourceDownloaderFileMock : public IResourceDownloader {
  public:
    // `rootPath` is the directory that stands for the server: a resource's source is `rootPath`
    // joined with its `remotePath`, read as a URL's path (%XX escapes decoded); a remote path
    // that leads out of `rootPath` fails. `rateKiBps` is the simulated rate in KiB per second.
    // No I/O.
    ResourceDownloaderFileMock(Tiskel::ioPath rootPath, int rateKiBps);
    // Aborts, so that a copy still running on another thread stops after its current piece.
    ~ResourceDownloaderFileMock() override;
    ResourceDownloaderFileMock(ResourceDownloaderFileMock const&) = delete;
    ResourceDownloaderFileMock& operator=(ResourceDownloaderFileMock const&) = delete;

    // Copies the source to `tempPath` in pieces of 128 KiB (smaller below 2,560 KiB/s: a
    // twentieth of a second's worth), reporting progress before each piece
    // and checking for cancellation after it, then renames it to `downloadPath`. Success, Failed
    // (source unreadable, temporary path busy, output not creatable, a write or the close of the
    // copy failed, rename failed) or Cancelled.
    // Blocks for the simulated transfer time.
    Result exec(Task task) const override;
    // Makes the running copies stop after their current piece, and every later `exec` after its
    // first piece. Permanent.
    void abort() override;
    // The source file's last-write time. Throws the filesystem library's exception when the
    // source cannot be examined (for example when it is missing).
    int64_t requestLastModified(ResourceDescriptor const* descriptor) const override;
    // The same, as the pipeline asks it: a source that cannot be examined is a failed query
    // (FileSystem, naming the source) instead of an exception.
    LastModified checkLastModified(ResourceDescriptor const* descriptor) const override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace Tiskel::App
