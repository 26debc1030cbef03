#include "App/ResourceDownloadManager/Downloader/DownloadFiles.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>
#if defined(__linux__) || defined(__APPLE__)
#include <sys/xattr.h>
#endif

#include "App/ResourceDownloadManager/FileUtils.h"

namespace Tiskel::App::DownloadFiles {
namespace {

constexpr char kEntityTagAttribute[] = "user.resource.etag";
constexpr char kRecordSuffix[] = ".resume";
// A record is two short lines; anything longer is not one of ours.
constexpr std::size_t kMaxRecordSize = 16 * 1024;

std::string folderOf(ioPath const& file) {
    std::string const& text = file.string();
    auto const slash = text.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : text.substr(0, slash);
}

std::string systemText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// One fsync of a folder covers every rename in it that finished before the fsync started. Each
// folder has a ticket counter: a caller takes the next ticket after its rename; a sync started
// when the counter stood at N covers tickets up to N. A caller waits while a sync that started
// before its ticket runs, then starts one itself unless another caller's sync already covered it.
class FolderSyncs {
  public:
    bool sync(std::string const& folder, FileFailure& failure) {
        std::unique_lock<std::mutex> lock(mutex);
        Folder& state = folders[folder];
        uint64_t const ticket = ++state.issued;
        ++state.users;
        for (;;) {
            if (state.covered >= ticket) {
                release(folder, state);
                return true;
            }
            if (!state.running) {
                break;
            }
            changed.wait(lock);
        }
        state.running = true;
        uint64_t const covers = state.issued;
        lock.unlock();
        int const error = syncNow(folder);
        lock.lock();
        state.running = false;
        if (error == 0) {
            state.covered = covers;
        }
        changed.notify_all();
        release(folder, state);
        if (error != 0) {
            failure =
                fileSystemFailure("sync the folder", ioPath(folder), error, systemText(error));
        }
        return error == 0;
    }

  private:
    struct Folder {
        uint64_t issued = 0;
        uint64_t covered = 0;
        bool running = false;
        int users = 0;
    };

    // REQUIRES: mutex is held. Forgets a folder nobody waits on, so the map stays small.
    void release(std::string const& folder, Folder& state) {
        if (--state.users == 0 && !state.running) {
            folders.erase(folder);
        }
    }

    static int syncNow(std::string const& folder) {
        int const fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return errno;
        }
        int const error = ::fsync(fd) == 0 ? 0 : errno;
        ::close(fd);
        return error;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, Folder> folders;  // guarded by mutex
};

std::string withUnit(double value, char const* unit) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

std::string sizeText(uint64_t bytes) {
    constexpr double kKiB = 1024.0;
    double const value = static_cast<double>(bytes);
    if (value >= kKiB * kKiB * kKiB) {
        return withUnit(value / (kKiB * kKiB * kKiB), "GiB");
    }
    if (value >= kKiB * kKiB) {
        return withUnit(value / (kKiB * kKiB), "MiB");
    }
    if (value >= kKiB) {
        return withUnit(value / kKiB, "KiB");
    }
    return std::to_string(bytes) + " B";
}

}  // namespace

bool syncFolderOf(ioPath const& file, FileFailure& failure) noexcept {
    // Never destroyed: downloads may still finish while the process runs static destructors.
    static auto* const syncs = new FolderSyncs();
    try {
        return syncs->sync(folderOf(file), failure);
    } catch (std::exception const& error) {
        failure = fileSystemFailure("sync the folder of", file, 0, error.what());
        return false;
    }
}

std::optional<uint64_t> freeSpaceFor(ioPath const& file) noexcept {
    struct statvfs info {};
    if (::statvfs(folderOf(file).c_str(), &info) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
}

FileFailure noSpaceFailure(ioPath const& file, uint64_t needed, uint64_t free) {
    FileFailure failure = fileSystemFailure("write", file, ENOSPC, systemText(ENOSPC));
    failure.text = "not enough space: need " + sizeText(needed) + ", " + sizeText(free) + " free";
    return failure;
}

bool setModifiedTime(ioPath const& file, int64_t seconds) noexcept {
    struct timespec times[2] = {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    return ::utimensat(AT_FDCWD, file.c_str(), times, 0) == 0;
}

std::string entityTagOf(ioPath const& file) noexcept {
    char value[1024];
#if defined(__linux__)
    ssize_t const length = ::getxattr(file.c_str(), kEntityTagAttribute, value, sizeof value);
#elif defined(__APPLE__)
    ssize_t const length = ::getxattr(file.c_str(), kEntityTagAttribute, value, sizeof value, 0, 0);
#else
    ssize_t const length = -1;
#endif
    try {
        return length > 0 ? std::string(value, static_cast<std::size_t>(length)) : std::string();
    } catch (...) {
        return {};
    }
}

void keepEntityTag(ioPath const& file, std::string const& tag) noexcept {
    char const* const path = file.c_str();
#if defined(__linux__)
    ::setxattr(path, kEntityTagAttribute, tag.data(), tag.size(), 0);
#elif defined(__APPLE__)
    ::setxattr(path, kEntityTagAttribute, tag.data(), tag.size(), 0, 0);
#else
    (void)path;
    (void)tag;
#endif
}

std::string recordPath(ioPath const& partialFile) {
    return partialFile.string() + kRecordSuffix;
}

std::optional<ResumeRecord> readResumeRecord(ioPath const& partialFile) noexcept {
    try {
        std::FILE* const file = std::fopen(recordPath(partialFile).c_str(), "rbe");
        if (file == nullptr) {
            return std::nullopt;
        }
        std::string text(kMaxRecordSize, '\0');
        std::size_t const length = std::fread(text.data(), 1, text.size(), file);
        std::fclose(file);
        text.resize(length);
        auto const end = text.find('\n');
        if (end == std::string::npos || text.empty() || text.back() != '\n') {
            return std::nullopt;
        }
        ResumeRecord record{text.substr(0, end), text.substr(end + 1, text.size() - end - 2)};
        if (record.url.empty() || record.validator.empty() ||
            record.validator.find('\n') != std::string::npos) {
            return std::nullopt;
        }
        return record;
    } catch (...) {
        return std::nullopt;
    }
}

bool writeResumeRecord(ioPath const& partialFile, ResumeRecord const& record) noexcept {
    try {
        if (record.url.find('\n') != std::string::npos ||
            record.validator.find('\n') != std::string::npos) {
            return false;
        }
        std::string const text = record.url + "\n" + record.validator + "\n";
        std::FILE* const file = std::fopen(recordPath(partialFile).c_str(), "wbe");
        if (file == nullptr) {
            return false;
        }
        bool const written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        return (std::fclose(file) == 0) && written;
    } catch (...) {
        return false;
    }
}

void removeResumeRecord(ioPath const& partialFile) noexcept {
    try {
        ::unlink(recordPath(partialFile).c_str());
    } catch (...) {
    }
}

std::string httpDate(int64_t seconds) {
    std::time_t const time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    static char const* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static char const* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    // Names written out, not strftime's, which follow the locale.
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[parts.tm_wday],
                  parts.tm_mday, months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                  parts.tm_min, parts.tm_sec);
    return text;
}

}  // namespace Tiskel::App::DownloadFiles
