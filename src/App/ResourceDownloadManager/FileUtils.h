#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/intrusive_ptr.hpp>

#include "App/ResourceDownloadManager/Export.h"
#include "App/ResourceDownloadManager/FileEvents.h"
#include "Platform/Core/IDataInput.h"
#include "Platform/Core/IDataOutput.h"
#include "Platform/Filesystem/ioPath.h"

// The library's only way of touching files. Failures of the filesystem and data I/O libraries
// become a null result or false, with one ERROR log line where noted, instead of an exception.
// Stateless; callable from any thread.
//
// The overloads with a FileFailure argument do the same and, on failure, also say why in it:
// kind FileSystem, the path, the system's error number and "cannot <do> <path>: <reason>".
namespace Tiskel::App {

// A FileSystem failure: "cannot <action> <path>: <reason>", with the path and the system's error
// number (0 when not known).
RDM_EXPORT FileFailure fileSystemFailure(char const* action, ioPath const& path, int systemError,
                                         std::string const& reason);

// Opens `path` for reading; null (and an ERROR line) on failure. Never throws.
RDM_EXPORT boost::intrusive_ptr<Core::IDataInput> openInputNoexcept(ioPath const& path) noexcept;
RDM_EXPORT boost::intrusive_ptr<Core::IDataInput> openInputNoexcept(ioPath const& path,
                                                                    FileFailure& failure) noexcept;
// Creates an empty file at `path` for writing; null (and an ERROR line) on failure. Never throws.
RDM_EXPORT boost::intrusive_ptr<Core::IDataOutput> openOutputNoexcept(ioPath const& path) noexcept;
RDM_EXPORT boost::intrusive_ptr<Core::IDataOutput> openOutputNoexcept(
    ioPath const& path, FileFailure& failure) noexcept;
// Opens the file at `path` for writing at its end (creating it when missing); null (and the
// ERROR line of `openOutputNoexcept`) on failure. Never throws.
RDM_EXPORT boost::intrusive_ptr<Core::IDataOutput> appendOutputNoexcept(
    ioPath const& path, FileFailure& failure) noexcept;
// Makes what was written to `output`, the stream created on `path`, durable before a rename
// relies on it. False, with the ERROR line "failed to flush file=" path ", errno=" reason, when
// the device reports an error. Never throws.
RDM_EXPORT bool flushOutputNoexcept(Core::IDataOutput& output, ioPath const& path,
                                    FileFailure& failure) noexcept;
// Writes `count` bytes from `data` to `output`, the stream created on `path`. When the stream
// fails (a full disk, a file-size limit, an I/O error) logs "failed to write file=" path ",
// errno=" reason at ERROR and passes the stream's Tiskel::Exception on, so that whatever feeds
// the stream stops. The stream stays failed.
RDM_EXPORT void writeOutput(Core::IDataOutput& output, ioPath const& path, void const* data,
                            uint64_t count);
RDM_EXPORT void writeOutput(Core::IDataOutput& output, ioPath const& path, void const* data,
                            uint64_t count, FileFailure& failure);
// Closes `output`, the stream created on `path`. False, with the ERROR line "failed to close
// file=" path ", errno=" reason, when the close or an earlier write failed: the file may then be
// incomplete. Never throws.
RDM_EXPORT bool closeOutputNoexcept(Core::IDataOutput& output, ioPath const& path) noexcept;
RDM_EXPORT bool closeOutputNoexcept(Core::IDataOutput& output, ioPath const& path,
                                    FileFailure& failure) noexcept;
// Reads the whole file into `buffer` (resized to the file's size). False when the file cannot be
// opened or fewer bytes than its size were read. Exceptions from the read pass to the caller.
RDM_EXPORT bool readWholeFileToBuffer(ioPath const& path, std::vector<uint8_t>& buffer);
RDM_EXPORT bool readWholeFileToBuffer(ioPath const& path, std::vector<uint8_t>& buffer,
                                      FileFailure& failure);
// True when nothing is left at `path`. False (and an ERROR line when the filesystem threw) on
// failure. Never throws.
RDM_EXPORT bool removeFile(ioPath const& path) noexcept;
// True when something is present at `path`; false on any error, silently. Never throws.
RDM_EXPORT bool fileExists(ioPath const& path) noexcept;
// The file's last-write time in seconds since the Unix epoch. Throws when there is no file.
RDM_EXPORT int64_t fileLastModifiedTime(ioPath const& path);
// The file's last-write time, from one look at the file; empty exactly when `fileExists` would
// answer false (nothing there, or it cannot be examined). Never throws.
RDM_EXPORT std::optional<int64_t> fileLastModifiedTimeIfExists(ioPath const& path) noexcept;
// The file's size and last-write time from one look at it; empty exactly when `fileExists`
// would answer false. Never throws.
using FileStatus = ioPath::Status;
RDM_EXPORT std::optional<FileStatus> fileStatusIfExists(ioPath const& path) noexcept;

// What one look at `path` finds without following a symbolic link there: `absent` when nothing
// at all is at the path, not even a link; `status` as fileStatusIfExists gives it (for a link,
// the file it names, which takes a second look). A caller that finds nothing need not clear the
// path before it creates a file there. Never throws.
struct PathLook {
    bool absent = false;
    std::optional<FileStatus> status;
};
RDM_EXPORT PathLook lookAt(ioPath const& path) noexcept;

// Stages one download: frees the temporary path at construction, moves the finished file into
// place on request, and removes whatever is still at the temporary path when it goes. Lives on
// the stack of one download; not shared.
//
// A temporary path belongs to one download at a time in this process: the object claims its
// path in a process-wide registry for its whole life. A second TemporaryFile on a path that is
// claimed is not `ready`, logs "Temporary file=" path " is in use by another download of this
// process" at ERROR and leaves the file alone, so a download never removes or renames another's
// partial file; the download that wanted it fails at once instead of waiting. Paths are compared
// as text: two spellings of one file ("a/x" and "a/./x") are not recognised as the same.
//
// The stale file at the temporary path is removed without looking first (a missing file counts
// as removed), and after a successful `moveToDest` the destructor does not touch the filesystem
// at all. A symbolic link at the temporary path is removed itself, never followed.
class RDM_EXPORT TemporaryFile {
  public:
    TemporaryFile(ioPath const& tmpPath, ioPath const& destPath) noexcept;
    // The same, but a file already at the temporary path is kept: a partial download that this
    // one goes on with.
    enum KeepLeftover { keepLeftover };
    TemporaryFile(ioPath const& tmpPath, ioPath const& destPath, KeepLeftover) noexcept;
    ~TemporaryFile() noexcept;
    TemporaryFile(TemporaryFile const&) = delete;
    TemporaryFile& operator=(TemporaryFile const&) = delete;

    // Renames the temporary file over the destination. False (and an ERROR line) on failure.
    bool moveToDest() const noexcept;
    // Leaves the file at the temporary path when the object goes: a partial download kept for
    // a later attempt.
    void keep() noexcept { kept = true; }
    // Says that nothing was made at the temporary path since it was freed (a conditional
    // request answered "not modified"): the destructor then does not touch the filesystem.
    void madeNothing() noexcept { clear = true; }
    // Why the object is not `ready`, or why `moveToDest` failed; kind None otherwise.
    FileFailure const& failure() const noexcept { return why; }

  private:
    // Logs and says why when the temporary path is another download's.
    void reportIfBusy() noexcept;

    ioPath tmpPath;
    ioPath destPath;
    // True while this object holds the temporary path's claim.
    bool claimed;
    // True after a successful move: nothing is left at the temporary path.
    mutable bool moved = false;
    bool kept = false;
    bool clear = false;  // nothing is at the temporary path
    mutable FileFailure why;

  public:
    // True when the temporary path was this download's to use and nothing was left there at
    // construction, or the leftover was removed.
    bool const ready;
};

}  // namespace Tiskel::App
