#include "Platform/Filesystem/ioPath.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>

namespace Tiskel {

namespace {

[[noreturn]] void throwError(char const* what, std::string const& path, int error) {
    throw std::filesystem::filesystem_error(what, std::filesystem::path(path),
                                            std::error_code(error, std::generic_category()));
}

}  // namespace

ioPath ioPath::operator/(ioPath const& other) const {
    if (text.empty() || text.back() == '/') {
        return ioPath(text + other.text);
    }
    return ioPath(text + "/" + other.text);
}

bool ioPath::exists() const {
    struct stat info {};
    if (::stat(text.c_str(), &info) == 0) {
        return true;
    }
    if (errno == ENOENT) {
        return false;
    }
    throwError("ioPath::exists", text, errno);
}

bool ioPath::remove() const {
    // std::filesystem::remove handles files and empty directories alike and throws with the
    // system's reason otherwise (ENOTEMPTY, EACCES, ...).
    std::filesystem::remove(std::filesystem::path(text));
    return !exists();
}

bool ioPath::rename(ioPath const& from, ioPath const& to) noexcept {
    return ::rename(from.text.c_str(), to.text.c_str()) == 0;
}

int64_t ioPath::last_write_time() const {
    struct stat info {};
    if (::stat(text.c_str(), &info) != 0) {
        throwError("ioPath::last_write_time", text, errno);
    }
    return static_cast<int64_t>(info.st_mtime);
}

std::optional<ioPath::Status> ioPath::try_status() const noexcept {
    struct stat info {};
    if (::stat(text.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return Status{static_cast<int64_t>(info.st_size), static_cast<int64_t>(info.st_mtime)};
}

std::ostream& operator<<(std::ostream& stream, ioPath const& path) {
    return stream << path.string();
}

}  // namespace Tiskel
