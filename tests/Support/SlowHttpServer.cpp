#include "Support/SlowHttpServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace Tiskel::Test {

namespace {

// Waits up to 20 ms for `socket` to become readable, so that every loop sees `stopping` soon.
bool readable(int socket) {
    pollfd entry{socket, POLLIN, 0};
    return ::poll(&entry, 1, 20) > 0;
}

}  // namespace

SlowHttpServer::SlowHttpServer(Mode mode)
    : mode(mode), listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* const generic = reinterpret_cast<sockaddr*>(&address);
    if (::bind(listener, generic, length) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, generic, &length) != 0) {
        ::close(listener);
        throw std::runtime_error("the slow HTTP server could not listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    thread = std::thread([this] {
        while (!stopping) {
            if (readable(listener)) {
                serve(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
            }
        }
    });
}

SlowHttpServer::~SlowHttpServer() {
    stopping = true;
    thread.join();
    ::close(listener);
}

void SlowHttpServer::serve(int connection) {
    std::string request;
    char buffer[4096];
    for (int sent = 0; !stopping;) {
        bool const complete = request.find("\r\n\r\n") != std::string::npos;
        if (complete && mode == Mode::TrickleHeaders) {
            std::string const text = sent++ == 0 ? "HTTP/1.1 200 OK\r\n" : "X-Wait: more\r\n";
            ::send(connection, text.data(), text.size(), MSG_NOSIGNAL);
        }
        if (readable(connection)) {
            ssize_t const got = ::recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;  // the client hung up
            }
            request.append(buffer, static_cast<size_t>(got));
            requests += !complete && request.find("\r\n\r\n") != std::string::npos;
        }
    }
    ::close(connection);
}

}  // namespace Tiskel::Test
