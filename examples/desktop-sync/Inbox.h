#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include <QObject>

class QSocketNotifier;

// Hands work from any thread to the GUI thread.
//
// The work waits in a queue under a std::mutex; a poster that makes the queue non-empty writes
// one byte to a pipe that a QSocketNotifier on the GUI thread watches, and that thread empties
// the pipe before it takes the queue. No Qt event crosses threads on the way: Qt hands posted
// events over under its own futex-based lock, which ThreadSanitizer does not model, while
// std::mutex and pipe writes and reads are synchronisation it sees. (Where no race detector
// needs satisfying, a queued signal without arguments does the same job.)
//
// Build, use and destroy it on the GUI thread; `post` may be called from any thread while it
// exists. Work still queued when it is destroyed is dropped.
class Inbox : public QObject {
  public:
    // Throws std::system_error when the system refuses the pipe.
    explicit Inbox(QObject* parent = nullptr);
    ~Inbox() override;
    Inbox(Inbox const&) = delete;
    Inbox& operator=(Inbox const&) = delete;

    void post(std::function<void()> work);

  private:
    void drain();

    int readFd = -1;
    int writeFd = -1;
    QSocketNotifier* notifier;

    std::mutex mutex;
    std::vector<std::function<void()>> pending;  // guarded by mutex
};
