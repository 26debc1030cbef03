#pragma once

#include <cstdint>

#include "Platform/Core/IRefCountable.h"
#include "Platform/Export.h"

namespace Tiskel::Core {

// A writable byte stream, reference-counted. Not thread-safe.
//
// A failure is never silent: a write that cannot store every byte, or a close that reports an
// error, throws, and from then on the stream is failed: every later write and close throws the
// same failure again. Releasing the last reference without `close` closes quietly, so a caller
// that must know whether its bytes reached the file calls `close` itself.
class TISKEL_EXPORT IDataOutput : public virtual IRefCountable {
  public:
    // Writes all `count` bytes from `source`. Throws Tiskel::Exception carrying the system's
    // error text as ErrorDetails when they cannot all be written (a full disk, a file-size limit,
    // an I/O error) or the stream is already failed or closed.
    virtual void write(void const* source, uint64_t count) = 0;
    // Makes the bytes written so far durable: they survive a power cut once this returns
    // (fdatasync; on macOS F_FULLFSYNC). Throws like `write` when the device reports an error.
    virtual void flushToDisk() = 0;
    // Closes the stream. Throws Tiskel::Exception when the close reports an error (some
    // filesystems report a full disk only here) or an earlier write failed; the stream is closed
    // either way. Closing a closed stream does nothing.
    virtual void close() = 0;
};

}  // namespace Tiskel::Core
