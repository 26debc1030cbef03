#include "Inbox.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include <QSocketNotifier>

Inbox::Inbox(QObject* parent) : QObject(parent) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "inbox pipe");
    }
    readFd = fds[0];
    writeFd = fds[1];
    notifier = new QSocketNotifier(readFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &Inbox::drain);
}

Inbox::~Inbox() {
    delete notifier;
    ::close(readFd);
    ::close(writeFd);
}

void Inbox::post(std::function<void()> work) {
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        first = pending.empty();
        pending.push_back(std::move(work));
    }
    // A non-empty queue has its byte in the pipe already, or is being taken right now.
    if (first) {
        char const byte = 1;
        while (::write(writeFd, &byte, 1) < 0 && errno == EINTR) {
        }
    }
}

void Inbox::drain() {
    // Emptied before the queue is taken: a post that finds the queue empty after this writes a
    // byte that this call does not swallow.
    char bytes[64];
    while (::read(readFd, bytes, sizeof bytes) > 0) {
    }
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(mutex);
        batch.swap(pending);
    }
    for (auto& work : batch) {
        work();
    }
}
