#pragma once

#include <cstdint>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "App/ResourceDownloadManager/Export.h"
#include "Platform/Core/IDataInput.h"
#include "Platform/Core/IDataOutput.h"
#include "Platform/Filesystem/ioPath.h"

// The library's only way of touching files. Failures of the filesystem and data I/O libraries
// become a null result or false, with one ERROR log line where noted, instead of an exception.
// Stateless; callable from any thread.
namespace Tiskel::App {

// Opens `path` for reading; null (and an ERROR line) on failure. Never throws.
RDM_EXPORT boost::intrusive_ptr<Core::IDataInput> openInputNoexcept(ioPath const& path) noexcept;
// Creates an empty file at `path` for writing; null (and an ERROR line) on failure. Never throws.
RDM_EXPORT boost::intrusive_ptr<Core::IDataOutput> openOutputNoexcept(ioPath const& path) noexcept;
// Reads the whole file into `buffer` (resized to the file's size). False when the file cannot be
// opened or fewer bytes than its size were read. Exceptions from the read pass to the caller.
RDM_EXPORT bool readWholeFileToBuffer(ioPath const& path, std::vector<uint8_t>& buffer);
// True when nothing is left at `path`. False (and an ERROR line when the filesystem threw) on
// failure. Never throws.
RDM_EXPORT bool removeFile(ioPath const& path) noexcept;
// True when something is present at `path`; false on any error, silently. Never throws.
RDM_EXPORT bool fileExists(ioPath const& path) noexcept;
// The file's last-write time in seconds since the Unix epoch. Throws when there is no file.
RDM_EXPORT int64_t fileLastModifiedTime(ioPath const& path);

// Stages one download: frees the temporary path at construction, moves the finished file into
// place on request, and removes whatever is still at the temporary path when it goes. Lives on
// the stack of one download; not shared.
class RDM_EXPORT TemporaryFile {
  public:
    TemporaryFile(ioPath const& tmpPath, ioPath const& destPath) noexcept;
    ~TemporaryFile() noexcept;
    TemporaryFile(TemporaryFile const&) = delete;
    TemporaryFile& operator=(TemporaryFile const&) = delete;

    // Renames the temporary file over the destination. False (and an ERROR line) on failure.
    bool moveToDest() const noexcept;

  private:
    ioPath tmpPath;
    ioPath destPath;

  public:
    // True when nothing was left at the temporary path at construction, or it was removed.
    bool const ready;
};

}  // namespace Tiskel::App
