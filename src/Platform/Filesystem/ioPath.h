#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "Platform/Export.h"

namespace Tiskel {

// A filesystem path value holding UTF-8 text. Copyable; operations touch the filesystem only
// when called. Thread-compatible: const operations may run on several threads at once, and
// what they see of the filesystem is whatever other threads and processes leave there. Errors other
// than "not found" are thrown as std::filesystem::filesystem_error.
class TISKEL_EXPORT ioPath {
  public:
    ioPath() = default;
    ioPath(std::string text) : text(std::move(text)) {}  // NOLINT: implicit on purpose
    ioPath(char const* text) : text(text) {}             // NOLINT: implicit on purpose

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
    // The same, or empty when the file cannot be examined (there is none, or any other failure).
    // Never throws: for callers to whom a missing file is an ordinary answer, which an exception
    // would make many times dearer than the look at the file itself.
    // What one stat() tells of the file; empty when there is nothing or it cannot be examined.
    struct Status {
        int64_t size = 0;
        int64_t lastWriteTime = 0;  // seconds since the Unix epoch
    };
    std::optional<Status> try_status() const noexcept;

    bool empty() const { return text.empty(); }
    std::string const& string() const { return text; }

    friend bool operator==(ioPath const& a, ioPath const& b) { return a.text == b.text; }
    friend bool operator!=(ioPath const& a, ioPath const& b) { return a.text != b.text; }

  private:
    std::string text;
};

TISKEL_EXPORT std::ostream& operator<<(std::ostream& stream, ioPath const& path);

}  // namespace Tiskel
