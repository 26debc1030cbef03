#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "Platform/Export.h"

namespace Tiskel {

// A filesystem path value holding UTF-8 text. Copyable; operations touch the filesystem only
// when called. Thread-compatible: const operations may run on several threads at once, and
// what they see of the filesystem is whatever other threads and processes leave there. Errors other
// than "not found" are thrown as std::filesystem::filesystem_error.
//
// The text lives in one immutable block shared by every copy (a reference count, the length and
// the characters with a terminating NUL): a path is one pointer, a copy costs no allocation, and
// a host that keeps the same path in several places keeps its text once. The empty path holds
// no block.
class TISKEL_EXPORT ioPath {
  public:
    ioPath() noexcept = default;
    ioPath(std::string const& text) : block(make(text.data(), text.size())) {}  // NOLINT: implicit
    ioPath(char const* text);                                                   // NOLINT: implicit
    ioPath(std::string_view text) : block(make(text.data(), text.size())) {}    // NOLINT: implicit
    ioPath(ioPath const& other) noexcept : block(other.block) { retain(); }
    ioPath(ioPath&& other) noexcept : block(other.block) { other.block = nullptr; }
    ioPath& operator=(ioPath const& other) noexcept {
        if (block != other.block) {
            release();
            block = other.block;
            retain();
        }
        return *this;
    }
    ioPath& operator=(ioPath&& other) noexcept {
        if (this != &other) {
            release();
            block = other.block;
            other.block = nullptr;
        }
        return *this;
    }
    ~ioPath() { release(); }

    // Joins with one '/' between the two (none added when this path ends in '/' or is empty).
    ioPath operator/(ioPath const& other) const;

    // True when something is present at the path. Throws on an error other than "not found"
    // (for example a symbolic-link loop or a parent that is not a directory).
    bool exists() const;
    // Removes a file or an empty directory. True when nothing is left at the path; throws on
    // failure (for example a non-empty directory).
    bool remove() const;
    // Renames `from` to `to`, replacing an existing file at `to`. False on failure; never throws.
    static bool rename(ioPath const& from, ioPath const& to) noexcept;
    // Last modification time in seconds since the Unix epoch. Throws when there is no file.
    int64_t last_write_time() const;
    // What one stat() tells of the file; empty when there is nothing or it cannot be examined.
    // Never throws: for callers to whom a missing file is an ordinary answer, which an exception
    // would make many times dearer than the look at the file itself.
    struct Status {
        int64_t size = 0;
        int64_t lastWriteTime = 0;  // seconds since the Unix epoch
    };
    std::optional<Status> try_status() const noexcept;

    bool empty() const noexcept { return block == nullptr; }
    // A copy of the text. Callers that only read it, or hand it to the system, take `view` or
    // `c_str`, which copy nothing and stay valid as long as this path (or a copy of it) lives.
    std::string string() const { return std::string(view()); }
    std::string_view view() const noexcept {
        return block == nullptr ? std::string_view() : std::string_view(block->chars, block->size);
    }
    // NUL-terminated; "" for the empty path.
    char const* c_str() const noexcept { return block == nullptr ? "" : block->chars; }

    friend bool operator==(ioPath const& a, ioPath const& b) noexcept {
        return a.block == b.block || a.view() == b.view();
    }
    friend bool operator!=(ioPath const& a, ioPath const& b) noexcept { return !(a == b); }

  private:
    struct Block {
        std::atomic<uint32_t> references;
        uint32_t size;
        char chars[1];  // `size` characters and a NUL, allocated past the end of the struct
    };

    // A block holding a copy of `size` characters at `text`; null for none.
    static Block* make(char const* text, std::size_t size);
    // A block holding `a`, `b` and `c` one after another; null when all three are empty.
    static Block* concatenate(std::string_view a, std::string_view b, std::string_view c);
    explicit ioPath(Block* block) noexcept : block(block) {}

    void retain() const noexcept {
        if (block != nullptr) {
            block->references.fetch_add(1, std::memory_order_relaxed);
        }
    }
    void release() noexcept;

    Block* block = nullptr;
};

TISKEL_EXPORT std::ostream& operator<<(std::ostream& stream, ioPath const& path);

}  // namespace Tiskel
