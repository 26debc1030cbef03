#include "Platform/QtUtils/WakePipe.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <unistd.h>

namespace Tiskel::App {

WakePipe::WakePipe(char const* owner) {
    int fds[2];
    if (::pipe(fds) != 0) {
        throw std::system_error(errno, std::generic_category(), std::string(owner) + ": pipe");
    }
    readFd = fds[0];
    writeFd = fds[1];
    for (int fd : fds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

WakePipe::~WakePipe() {
    ::close(readFd);
    ::close(writeFd);
}

void WakePipe::signal() noexcept {
    char const byte = 1;
    while (::write(writeFd, &byte, 1) < 0 && errno == EINTR) {
    }
}

void WakePipe::drain() noexcept {
    char bytes[64];
    while (::read(readFd, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace Tiskel::App
