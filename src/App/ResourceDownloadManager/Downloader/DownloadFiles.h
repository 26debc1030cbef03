#pragma once

// File work of the HTTP downloader beyond the temporary file itself: durable renames, free space,
// the server's time and entity tag on a finished file, and the record that lets a broken-off
// transfer resume. Internal to the library; every function is thread-safe and never throws.

#include <cstdint>
#include <optional>
#include <string>

#include "App/ResourceDownloadManager/FileEvents.h"
#include "Platform/Filesystem/ioPath.h"

namespace Tiskel::App::DownloadFiles {

// Makes the renames done so far in the folder holding `file` durable (fsync of the folder).
// Downloads of one folder that finish together share one fsync: a caller whose rename an fsync
// started after it already covers waits for that one instead of starting its own. False, with
// `failure` saying why, when the folder cannot be opened or synced.
bool syncFolderOf(ioPath const& file, FileFailure& failure) noexcept;

// Bytes the caller may still write on the file system that holds `file` (which need not exist
// yet); empty when that cannot be learnt.
std::optional<uint64_t> freeSpaceFor(ioPath const& file) noexcept;

// "not enough space: need 1.5 MiB, 512.0 KiB free" as a FileSystem failure on `file`.
FileFailure noSpaceFailure(ioPath const& file, uint64_t needed, uint64_t free);

// Sets the file's modification time to `seconds` since the Unix epoch. False on failure.
bool setModifiedTime(ioPath const& file, int64_t seconds) noexcept;

// The entity tag kept with the file by `keepEntityTag`; "" when there is none or the file
// system keeps no extended attributes.
std::string entityTagOf(ioPath const& file) noexcept;
// Keeps `tag` (not empty) with the file in an extended attribute, where the file system allows.
// Quietly does nothing where attributes are not supported.
void keepEntityTag(ioPath const& file, std::string const& tag) noexcept;

// What a partial temporary file was fetched under: the URL and the answer's validator (an ETag,
// or an HTTP date from Last-Modified). Kept beside the file at `recordPath`.
struct ResumeRecord {
    std::string url;
    std::string validator;
};
std::string recordPath(ioPath const& partialFile);
std::optional<ResumeRecord> readResumeRecord(ioPath const& partialFile) noexcept;
// False when the record cannot be written; the transfer then simply cannot resume.
bool writeResumeRecord(ioPath const& partialFile, ResumeRecord const& record) noexcept;
void removeResumeRecord(ioPath const& partialFile) noexcept;

// `seconds` since the Unix epoch as an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT").
std::string httpDate(int64_t seconds);

}  // namespace Tiskel::App::DownloadFiles
