#pragma once

namespace Tiskel::App {

// A non-blocking pipe by which any thread wakes a thread that watches its read end (with a
// QSocketNotifier): `signal` writes one byte, `drain` empties the pipe. Neither blocks nor
// allocates, and race detectors model pipe reads and writes as synchronisation, unlike a Qt
// event posted across threads. The caller signals at most a few times between drains, so the
// pipe never fills. Thread-safe; not copyable.
class WakePipe {
  public:
    // Throws std::system_error, naming `owner`, when the system refuses the pipe.
    explicit WakePipe(char const* owner);
    ~WakePipe();
    WakePipe(WakePipe const&) = delete;
    WakePipe& operator=(WakePipe const&) = delete;

    int readEnd() const noexcept { return readFd; }
    void signal() noexcept;
    void drain() noexcept;

  private:
    int readFd = -1;
    int writeFd = -1;
};

}  // namespace Tiskel::App
