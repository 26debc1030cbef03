#include "TargetFolder.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace Tiskel::ResourceSync {

namespace {

constexpr std::string_view kOwnMark = ".resource-sync-";
// The fixed suffixes of versions that did not name temporaries after the run.
constexpr std::string_view kOldPart = ".resource-sync-part";
constexpr std::string_view kOldStaged = ".resource-sync-new";
// The lock file's text after a run that left no temporary file behind: "PID clean".
constexpr std::string_view kCleanMark = " clean\n";
// Beside a partial download: what it is a part of, so that a later attempt can go on with it.
constexpr std::string_view kRecordSuffix = ".resume";

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string systemError(std::string const& what, std::string const& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// The process id the lock file names ("PID running" or "PID clean"), or 0.
long lockHolder(int fd) {
    char text[64] = {};
    ssize_t const read = ::pread(fd, text, sizeof text - 1, 0);
    return read > 0 ? std::strtol(text, nullptr, 10) : 0;
}

bool writeAll(int fd, std::string const& text) {
    return ::ftruncate(fd, 0) == 0 &&
           ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

}  // namespace

std::string partSuffix() {
    return std::string(kOwnMark) + std::to_string(::getpid()) + ".part";
}

std::string stagedSuffix() {
    return std::string(kOwnMark) + std::to_string(::getpid()) + ".new";
}

pid_t ownerOf(std::string_view name) {
    std::size_t const mark = name.rfind(kOwnMark);
    if (mark == std::string_view::npos) {
        return -1;
    }
    std::string_view rest = name.substr(mark + kOwnMark.size());
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') {
        ++digits;
    }
    std::string_view const suffix = rest.substr(digits);
    if (digits == 0 || digits > 9 ||
        (suffix != ".part" && suffix != ".new" && suffix != ".part.resume")) {
        return -1;
    }
    return static_cast<pid_t>(
        std::strtol(std::string(rest.substr(0, digits)).c_str(), nullptr, 10));
}

bool isOwnName(std::string_view name) {
    return name == kLockName || endsWith(name, kOldPart) || endsWith(name, kOldStaged) ||
           ownerOf(name) > 0;
}

FolderLock::FolderLock(std::string const& folder, bool wait) : path(folder + "/" + kLockName) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        throw std::runtime_error("cannot create the folder " + folder + ": " + error.message());
    }
    bool announced = false;
    for (;;) {
        // Never through a link: the lock file is written.
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            throw std::runtime_error(systemError("cannot open the lock file", path));
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                fail("cannot lock");
            }
            long const holder = lockHolder(fd);
            std::string const who = holder > 0 ? " (pid " + std::to_string(holder) + ")" : "";
            if (!wait) {
                ::close(fd);
                throw FolderBusy("another resource-sync is running in " + folder + who);
            }
            if (!announced) {
                std::fprintf(stderr, "resource-sync: waiting for another resource-sync in %s%s\n",
                             folder.c_str(), who.c_str());
                std::fflush(stderr);
                announced = true;
            }
            // Ended by the lock coming free, or by a signal ending the process: the signal
            // handlers are installed after the lock is held.
            while (::flock(fd, LOCK_EX) != 0) {
                if (errno != EINTR) {
                    fail("cannot lock");
                }
            }
        }
        // A run that ends cleanly removes the lock file while it holds the lock. A run that
        // opened the file before that holds a lock on a file no longer in the folder, which
        // keeps nobody out: it starts over with the file at the path now.
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            break;
        }
        ::close(fd);
    }
    // An empty file is one no run has written to: either there was none (no run, or the last
    // one ended cleanly and removed it) or its run ended before it began.
    char text[64] = {};
    ssize_t const read = ::pread(fd, text, sizeof text - 1, 0);
    cleanBefore = read == 0 || (read > 0 && endsWith(text, kCleanMark));
    if (!writeAll(fd, std::to_string(::getpid()) + " running\n")) {
        fail("cannot write the lock file");
    }
}

void FolderLock::fail(char const* what) {
    std::string const message = systemError(what, path);
    ::close(fd);
    throw std::runtime_error(message);
}

FolderLock::~FolderLock() {
    ::close(fd);  // releases the lock
}

void FolderLock::endCleanly() noexcept {
    // Removed while it is still held, so that no run can take a lock on it in between. Where
    // the file cannot be removed, its text says the same.
    if (::unlink(path.c_str()) != 0) {
        writeAll(fd, std::to_string(::getpid()) + std::string(kCleanMark));
    }
}

std::size_t removeLeftovers(std::string const& folder) {
    namespace fs = std::filesystem;
    std::size_t removed = 0;
    std::error_code error;
    // Links are not followed: nothing outside the folder is looked at, let alone removed.
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied,
                                        error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::string const name = it->path().filename().string();
        if (name == kLockName || !isOwnName(name)) {
            continue;
        }
        std::error_code statusError;
        if (!it->is_regular_file(statusError) || it->is_symlink(statusError)) {
            continue;
        }
        // A run that is still alive (in a folder that overlaps this one) keeps its files.
        pid_t const owner = ownerOf(name);
        if (owner > 0 && (::kill(owner, 0) == 0 || errno == EPERM)) {
            continue;
        }
        std::error_code removeError;
        if (owner > 0 && endsWith(name, kRecordSuffix)) {
            // A part's record goes with its part (below); alone it is of no use.
            fs::path const part =
                it->path().string().substr(0, it->path().string().size() - kRecordSuffix.size());
            if (!fs::exists(part, removeError) && fs::remove(it->path(), removeError)) {
                ++removed;
            }
            continue;
        }
        fs::path const record = it->path().string() + std::string(kRecordSuffix);
        if (owner > 0 && endsWith(name, ".part") && fs::is_regular_file(record, removeError)) {
            // A part an interrupted run kept for resuming: this run takes it over under its own
            // name, where its download will look for it.
            std::string const stem = it->path().string().substr(
                0, it->path().string().size() - name.size() + name.rfind(kOwnMark));
            std::error_code renameError;
            fs::rename(record, stem + partSuffix() + std::string(kRecordSuffix), renameError);
            if (!renameError) {
                fs::rename(it->path(), stem + partSuffix(), renameError);
            }
            continue;
        }
        if (fs::remove(it->path(), removeError)) {
            ++removed;
        }
    }
    return removed;
}

std::vector<std::string> unlistedFiles(std::string const& folder,
                                       std::function<bool(std::string_view)> const& isListed) {
    namespace fs = std::filesystem;
    std::vector<std::string> found;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied,
                                        error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code typeError;
        if (it->is_directory(typeError) && !it->is_symlink(typeError)) {
            continue;
        }
        if (isOwnName(it->path().filename().string())) {
            continue;
        }
        std::string const relative = it->path().lexically_relative(folder).generic_string();
        if (!isListed(relative)) {
            found.push_back(relative);
        }
    }
    return found;
}

Containment::Containment(std::string target) : target(std::move(target)) {
    std::error_code error;
    resolvedTarget = std::filesystem::canonical(this->target, error).string();
}

bool Containment::isInside(std::string const& resolved) const {
    return resolved == resolvedTarget ||
           (resolved.size() > resolvedTarget.size() &&
            resolved.compare(0, resolvedTarget.size(), resolvedTarget) == 0 &&
            (resolvedTarget.back() == '/' || resolved[resolvedTarget.size()] == '/'));
}

std::string const& Containment::escapingLink(std::string_view folder) {
    static std::string const kNone;
    if (folder.empty()) {
        return kNone;
    }
    if (auto const it = known.find(std::string(folder)); it != known.end()) {
        return it->second;
    }
    // The nearest parent first: a link above this folder is found there.
    std::size_t const slash = folder.rfind('/');
    if (slash != std::string_view::npos) {
        if (std::string const& above = escapingLink(folder.substr(0, slash)); !above.empty()) {
            return known.emplace(std::string(folder), above).first->second;
        }
    }
    std::string const path = target + "/" + std::string(folder);
    std::string link;
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        std::error_code error;
        std::filesystem::path const resolved = std::filesystem::canonical(path, error);
        // A link that leads nowhere cannot be written through: making a folder there fails.
        if (!error && !isInside(resolved.string())) {
            link = path;
        }
    }
    return known.emplace(std::string(folder), std::move(link)).first->second;
}

}  // namespace Tiskel::ResourceSync
