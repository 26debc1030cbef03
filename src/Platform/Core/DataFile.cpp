#include "Platform/Core/DataFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "Platform/Core/Exception.h"

namespace Tiskel::Core {

namespace {

// One read(2) or write(2) never asks for more than this, so the count always fits ssize_t and
// a huge request cannot be refused by the kernel with EINVAL.
constexpr uint64_t kMaxChunk = uint64_t{1} << 30;

// The detail text is the system's error text (strerror), taken through std::error_code because
// that is safe to call from several threads at once.
[[noreturn]] void throwSystemError(int error) {
    throw Exception() << ErrorDetails(std::error_code(error, std::generic_category()).message())
                      << ErrorNumber(error);
}

// Owns one open descriptor and closes it when the last stream reference goes, unless it was
// closed before.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);  // a quiet close: whoever needed its outcome called closeNow()
        }
    }
    Descriptor(Descriptor const&) = delete;
    Descriptor& operator=(Descriptor const&) = delete;

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }

    // Closes the descriptor; 0, or the error close(2) reported. Linux releases the descriptor
    // even when close() fails (EINTR included), so it is never retried.
    int closeNow() {
        int const result = ::close(fd);
        fd = -1;
        return result == 0 ? 0 : errno;
    }

  private:
    int fd;
};

class InputFile final : public IDataInput {
  public:
    explicit InputFile(int fd) : descriptor(fd) {}

    uint64_t size() const override {
        struct stat info {};
        if (::fstat(descriptor.get(), &info) != 0) {
            throwSystemError(errno);
        }
        return static_cast<uint64_t>(info.st_size);
    }

    uint64_t read(void* destination, uint64_t count) override {
        auto* out = static_cast<unsigned char*>(destination);
        uint64_t done = 0;
        while (done < count) {
            ssize_t const got =
                ::read(descriptor.get(), out + done, std::min(count - done, kMaxChunk));
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throwSystemError(errno);
            }
            if (got == 0) {
                break;  // end of file: the caller sees a short count
            }
            done += static_cast<uint64_t>(got);
        }
        return done;
    }

  private:
    Descriptor descriptor;
};

class OutputFile final : public IDataOutput {
  public:
    explicit OutputFile(int fd) : descriptor(fd) {}

    void write(void const* source, uint64_t count) override {
        throwIfUnusable();
        auto const* in = static_cast<unsigned char const*>(source);
        uint64_t done = 0;
        while (done < count) {
            ssize_t const put =
                ::write(descriptor.get(), in + done, std::min(count - done, kMaxChunk));
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                fail(errno);  // ENOSPC, EFBIG, EIO, ...
            }
            if (put == 0) {
                fail(EIO);  // no progress is possible; a retry would spin
            }
            done += static_cast<uint64_t>(put);
        }
    }

    void flushToDisk() override {
        throwIfUnusable();
#ifdef __APPLE__
        // fsync on macOS leaves the data in the drive's cache; only this reaches the medium.
        int const result = ::fcntl(descriptor.get(), F_FULLFSYNC);
#else
        int const result = ::fdatasync(descriptor.get());
#endif
        if (result != 0) {
            fail(errno);
        }
    }

    void close() override {
        if (descriptor.isOpen()) {
            int const error = descriptor.closeNow();
            if (failure == 0 && error != 0) {
                failure = error;
            }
        }
        if (failure != 0) {
            throwSystemError(failure);
        }
    }

  private:
    void throwIfUnusable() const {
        if (failure != 0) {
            throwSystemError(failure);
        }
        if (!descriptor.isOpen()) {
            throwSystemError(EBADF);
        }
    }

    // Marks the stream failed for good and throws.
    [[noreturn]] void fail(int error) {
        failure = error;
        throwSystemError(error);
    }

    Descriptor descriptor;
    int failure = 0;  // the errno of the first failure; 0 while none
};

int openRetryingOnInterrupt(std::string const& path, int flags, mode_t mode = 0) {
    for (;;) {
        int const fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EINTR) {
            return fd;
        }
    }
}

// Hands `fd` to a new stream; closes it when the allocation fails.
template <class Stream>
Stream* adopt(int fd) {
    try {
        return new Stream(fd);
    } catch (...) {
        ::close(fd);
        throw;
    }
}

}  // namespace

boost::intrusive_ptr<IDataInput> DataInputFile::Create(ioPath const& path) {
    int const fd = openRetryingOnInterrupt(path.string(), O_RDONLY);
    if (fd < 0) {
        throwSystemError(errno);
    }
    // open(2) happily opens a directory for reading and only the first read would fail. Refuse
    // it here, where callers expect failures.
    struct stat info {};
    int const error = ::fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
    if (error != 0) {
        ::close(fd);
        throwSystemError(error);
    }
    return boost::intrusive_ptr<IDataInput>(adopt<InputFile>(fd));
}

boost::intrusive_ptr<IDataOutput> DataOutputFile::Create(ioPath const& path) {
    int const fd = openRetryingOnInterrupt(path.string(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        throwSystemError(errno);
    }
    return boost::intrusive_ptr<IDataOutput>(adopt<OutputFile>(fd));
}

boost::intrusive_ptr<IDataOutput> DataOutputFile::Append(ioPath const& path) {
    int const fd = openRetryingOnInterrupt(path.string(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) {
        throwSystemError(errno);
    }
    return boost::intrusive_ptr<IDataOutput>(adopt<OutputFile>(fd));
}

}  // namespace Tiskel::Core
