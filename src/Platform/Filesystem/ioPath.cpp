#include "Platform/Filesystem/ioPath.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>

namespace Tiskel {

namespace {

[[noreturn]] void throwError(char const* what, char const* path, int error) {
    throw std::filesystem::filesystem_error(what, std::filesystem::path(path),
                                            std::error_code(error, std::generic_category()));
}

}  // namespace

ioPath::ioPath(char const* text) : block(make(text, std::strlen(text))) {}

ioPath::Block* ioPath::make(char const* text, std::size_t size) {
    return concatenate(std::string_view(text, size), {}, {});
}

ioPath::Block* ioPath::concatenate(std::string_view a, std::string_view b, std::string_view c) {
    std::size_t const size = a.size() + b.size() + c.size();
    if (size == 0) {
        return nullptr;
    }
    if (size >= UINT32_MAX) {
        throw std::length_error("ioPath: path too long");
    }
    // At least the struct itself, which is constructed whole: a one-character path needs no
    // more than the header, the character and the NUL, but the struct is padded past that.
    void* const memory = ::operator new(std::max(sizeof(Block), offsetof(Block, chars) + size + 1));
    Block* const made = new (memory) Block{{1}, static_cast<uint32_t>(size), {}};
    char* out = made->chars;
    for (std::string_view part : {a, b, c}) {
        if (!part.empty()) {
            std::memcpy(out, part.data(), part.size());
            out += part.size();
        }
    }
    *out = '\0';
    return made;
}

void ioPath::release() noexcept {
    if (block != nullptr && block->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block->~Block();
        ::operator delete(block);
    }
    block = nullptr;
}

ioPath ioPath::operator/(ioPath const& other) const {
    std::string_view const head = view();
    if (head.empty()) {
        return other;
    }
    if (other.empty() && head.back() == '/') {
        return *this;
    }
    return ioPath(concatenate(head, head.back() == '/' ? "" : "/", other.view()));
}

bool ioPath::exists() const {
    struct stat info {};
    if (::stat(c_str(), &info) == 0) {
        return true;
    }
    if (errno == ENOENT) {
        return false;
    }
    throwError("ioPath::exists", c_str(), errno);
}

bool ioPath::remove() const {
    // std::filesystem::remove handles files and empty directories alike and throws with the
    // system's reason otherwise (ENOTEMPTY, EACCES, ...).
    std::filesystem::remove(std::filesystem::path(c_str()));
    return !exists();
}

bool ioPath::rename(ioPath const& from, ioPath const& to) noexcept {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

int64_t ioPath::last_write_time() const {
    struct stat info {};
    if (::stat(c_str(), &info) != 0) {
        throwError("ioPath::last_write_time", c_str(), errno);
    }
    return static_cast<int64_t>(info.st_mtime);
}

std::optional<ioPath::Status> ioPath::try_status() const noexcept {
    struct stat info {};
    if (::stat(c_str(), &info) != 0) {
        return std::nullopt;
    }
    return Status{static_cast<int64_t>(info.st_size), static_cast<int64_t>(info.st_mtime)};
}

std::ostream& operator<<(std::ostream& stream, ioPath const& path) {
    return stream << path.view();
}

}  // namespace Tiskel
