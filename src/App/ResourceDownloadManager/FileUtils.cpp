#include "App/ResourceDownloadManager/FileUtils.h"

#include <cerrno>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_set>

#include <boost/exception/get_error_info.hpp>
#include <glog/logging.h>

#include "Platform/Core/DataFile.h"
#include "Platform/Core/Exception.h"

namespace Tiskel::App {

FileFailure fileSystemFailure(char const* action, ioPath const& path, int systemError,
                              std::string const& reason) {
    FileFailure failure;
    failure.kind = FileFailure::FileSystem;
    failure.path = path.string();
    failure.systemError = systemError;
    failure.text = std::string("cannot ") + action + " " + path.string() + ": " + reason;
    return failure;
}

namespace {

// Every message of this unit is tagged with the unit's name rather than the source file's, so
// that hosts can filter file-level failures of the library by one stable name.
constexpr char kUnit[] = "App/ResourceDownloadManager/FileUtils";

// Logs why a stream could not be created, written or closed, and says it in `failure` when
// there is one. Called from inside a catch block; rethrows to tell the platform's own exception
// apart from anything else.
void logStreamFailure(char const* prefix, char const* action, ioPath const& path,
                      FileFailure* failure) {
    std::string reason = "unknown exception";
    int number = 0;
    try {
        throw;
    } catch (Tiskel::Exception const& error) {
        std::string const* details = boost::get_error_info<Tiskel::ErrorDetails>(error);
        int const* errorNumber = boost::get_error_info<Tiskel::ErrorNumber>(error);
        google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
            << prefix << path << ", errno=" << (details != nullptr ? *details : std::string("?"));
        reason = details != nullptr ? *details : std::string("unknown reason");
        number = errorNumber != nullptr ? *errorNumber : 0;
    } catch (...) {
        google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
            << prefix << path << " (unknown exception)";
    }
    if (failure != nullptr) {
        *failure = fileSystemFailure(action, path, number, reason);
    }
}

// The temporary paths claimed by live TemporaryFile objects of this process.
class TemporaryPathRegistry {
  public:
    // True when `path` was free and is now claimed by the caller.
    bool claim(std::string const& path) {
        std::lock_guard<std::mutex> lock(mutex);
        return paths.insert(path).second;
    }
    void release(std::string const& path) {
        std::lock_guard<std::mutex> lock(mutex);
        paths.erase(path);
    }

  private:
    std::mutex mutex;
    std::unordered_set<std::string> paths;  // guarded by mutex
};

TemporaryPathRegistry& temporaryPaths() {
    // Never destroyed: a download may still be running on another thread while the process
    // runs its static destructors.
    static auto* const registry = new TemporaryPathRegistry();
    return *registry;
}

// Clears `path` of a leftover, a missing file counting as removed. It looks first, because a
// look takes no lock: an unlink, even of nothing, takes the folder's lock, which every create and
// rename in the folder needs too, and the downloads of a folder of small files already contend
// for it (mostly in rename). The look does not follow a symlink, so a symlink planted at the path
// is removed, not its target. Any failure other than a missing file gets removeFile's handling,
// with its result and its log line.
bool removeLeftover(ioPath const& path, FileFailure* failure = nullptr) noexcept {
    char const* const name = path.c_str();
    struct stat info {};
    if (::lstat(name, &info) != 0) {
        if (errno == ENOENT) {
            return true;
        }
    } else if (::unlink(name) == 0 || errno == ENOENT) {
        return true;
    }
    int const error = errno;
    if (removeFile(path)) {
        return true;
    }
    if (failure != nullptr) {
        *failure = fileSystemFailure("remove the leftover", path, error,
                                     std::error_code(error, std::generic_category()).message());
    }
    return false;
}

}  // namespace

namespace {

boost::intrusive_ptr<Core::IDataInput> openInput(ioPath const& path,
                                                 FileFailure* failure) noexcept {
    try {
        return Core::DataInputFile::Create(path);
    } catch (...) {
        logStreamFailure("failed to create file for reading=", "read", path, failure);
    }
    return nullptr;
}

// A new, empty file at `path`, or (with `append`) the file there opened at its end.
boost::intrusive_ptr<Core::IDataOutput> openOutput(ioPath const& path, FileFailure* failure,
                                                   bool append = false) noexcept {
    try {
        return append ? Core::DataOutputFile::Append(path) : Core::DataOutputFile::Create(path);
    } catch (...) {
        logStreamFailure("failed to create file for writing=", append ? "open" : "create", path,
                         failure);
    }
    return nullptr;
}

void write(Core::IDataOutput& output, ioPath const& path, void const* data, uint64_t count,
           FileFailure* failure) {
    try {
        output.write(data, count);
    } catch (...) {
        logStreamFailure("failed to write file=", "write", path, failure);
        throw;
    }
}

bool flushOutput(Core::IDataOutput& output, ioPath const& path, FileFailure* failure) noexcept {
    try {
        output.flushToDisk();
        return true;
    } catch (...) {
        logStreamFailure("failed to flush file=", "write", path, failure);
    }
    return false;
}

bool closeOutput(Core::IDataOutput& output, ioPath const& path, FileFailure* failure) noexcept {
    try {
        output.close();
        return true;
    } catch (...) {
        logStreamFailure("failed to close file=", "write", path, failure);
    }
    return false;
}

bool readWhole(ioPath const& path, std::vector<uint8_t>& buffer, FileFailure* failure) {
    boost::intrusive_ptr<Core::IDataInput> input = openInput(path, failure);
    if (!input) {
        return false;  // the open already logged why
    }
    buffer.resize(input->size());
    uint64_t const count = input->read(buffer.data(), buffer.size());
    input.reset();  // close before returning, so the caller may remove or rename the file
    if (count != buffer.size() && failure != nullptr) {
        *failure = fileSystemFailure("read", path, 0, "the file is shorter than its size");
    }
    return count == buffer.size();
}

}  // namespace

boost::intrusive_ptr<Core::IDataInput> openInputNoexcept(ioPath const& path) noexcept {
    return openInput(path, nullptr);
}

boost::intrusive_ptr<Core::IDataInput> openInputNoexcept(ioPath const& path,
                                                         FileFailure& failure) noexcept {
    return openInput(path, &failure);
}

boost::intrusive_ptr<Core::IDataOutput> openOutputNoexcept(ioPath const& path) noexcept {
    return openOutput(path, nullptr);
}

boost::intrusive_ptr<Core::IDataOutput> openOutputNoexcept(ioPath const& path,
                                                           FileFailure& failure) noexcept {
    return openOutput(path, &failure);
}

boost::intrusive_ptr<Core::IDataOutput> appendOutputNoexcept(ioPath const& path,
                                                             FileFailure& failure) noexcept {
    return openOutput(path, &failure, true);
}

bool flushOutputNoexcept(Core::IDataOutput& output, ioPath const& path,
                         FileFailure& failure) noexcept {
    return flushOutput(output, path, &failure);
}

void writeOutput(Core::IDataOutput& output, ioPath const& path, void const* data, uint64_t count) {
    write(output, path, data, count, nullptr);
}

void writeOutput(Core::IDataOutput& output, ioPath const& path, void const* data, uint64_t count,
                 FileFailure& failure) {
    write(output, path, data, count, &failure);
}

bool closeOutputNoexcept(Core::IDataOutput& output, ioPath const& path) noexcept {
    return closeOutput(output, path, nullptr);
}

bool closeOutputNoexcept(Core::IDataOutput& output, ioPath const& path,
                         FileFailure& failure) noexcept {
    return closeOutput(output, path, &failure);
}

bool readWholeFileToBuffer(ioPath const& path, std::vector<uint8_t>& buffer) {
    return readWhole(path, buffer, nullptr);
}

bool readWholeFileToBuffer(ioPath const& path, std::vector<uint8_t>& buffer, FileFailure& failure) {
    return readWhole(path, buffer, &failure);
}

bool removeFile(ioPath const& path) noexcept {
    try {
        if (!path.exists()) {
            return true;
        }
        return path.remove();
    } catch (...) {
        google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
            << "Failed to remove file=" << path;
    }
    return false;
}

bool fileExists(ioPath const& path) noexcept {
    try {
        return path.exists();
    } catch (...) {
        return false;
    }
}

int64_t fileLastModifiedTime(ioPath const& path) {
    return path.last_write_time();
}

std::optional<int64_t> fileLastModifiedTimeIfExists(ioPath const& path) noexcept {
    // A missing file is the usual answer before a first download; it comes as a value.
    std::optional<FileStatus> const status = path.try_status();
    return status ? std::optional<int64_t>(status->lastWriteTime) : std::nullopt;
}

std::optional<FileStatus> fileStatusIfExists(ioPath const& path) noexcept {
    return path.try_status();
}

PathLook lookAt(ioPath const& path) noexcept {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        // Any other failure (a file where a folder should be, no permission) leaves the path to
        // whoever clears it, which reports the failure.
        return {errno == ENOENT, std::nullopt};
    }
    if (S_ISLNK(info.st_mode)) {
        return {false, path.try_status()};
    }
    return {false,
            FileStatus{static_cast<int64_t>(info.st_size), static_cast<int64_t>(info.st_mtime)}};
}

TemporaryFile::TemporaryFile(ioPath const& tmpPath, ioPath const& destPath) noexcept
    : tmpPath(tmpPath),
      destPath(destPath),
      claimed(temporaryPaths().claim(tmpPath.string())),
      ready(claimed && removeLeftover(tmpPath, &why)) {
    reportIfBusy();
}

TemporaryFile::TemporaryFile(ioPath const& tmpPath, ioPath const& destPath, KeepLeftover) noexcept
    : tmpPath(tmpPath),
      destPath(destPath),
      claimed(temporaryPaths().claim(tmpPath.string())),
      ready(claimed) {
    reportIfBusy();
}

void TemporaryFile::reportIfBusy() noexcept {
    if (!claimed) {
        google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
            << "Temporary file=" << tmpPath << " is in use by another download of this process";
        why =
            fileSystemFailure("use", tmpPath, EBUSY, "in use by another download of this process");
    }
}

TemporaryFile::~TemporaryFile() noexcept {
    if (!claimed) {
        return;  // the file is another download's
    }
    if (!moved && !kept && !clear) {
        removeLeftover(tmpPath);  // a partial download, or nothing
    }
    // Released last, so that the next download on this path finds it cleared.
    temporaryPaths().release(tmpPath.string());
}

bool TemporaryFile::moveToDest() const noexcept {
    if (!claimed) {
        return false;  // never move another download's file; the constructor said why
    }
    if (ioPath::rename(tmpPath, destPath)) {
        moved = true;
        return true;
    }
    int const error = errno;
    google::LogMessage(kUnit, __LINE__, google::GLOG_ERROR).stream()
        << "Failed to rename: " << tmpPath << " -> " << destPath;
    why = fileSystemFailure("rename", tmpPath, error,
                            "to " + destPath.string() + ": " +
                                std::error_code(error, std::generic_category()).message());
    why.path = destPath.string();
    return false;
}

}  // namespace Tiskel::App
