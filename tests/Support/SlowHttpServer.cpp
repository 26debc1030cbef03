#include "Support/SlowHttpServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace Tiskel::Test {

namespace {

// How long a thread of the server sleeps in poll(2) before it looks at `stopping` again.
constexpr int kTickMilliseconds = 20;

bool readable(int socket) {
    pollfd entry{socket, POLLIN, 0};
    return ::poll(&entry, 1, kTickMilliseconds) > 0;
}

}  // namespace

SlowHttpServer::SlowHttpServer(Mode mode) : mode(mode) {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener >= 0) {
            ::close(listener);
        }
        throw std::runtime_error("the slow HTTP server could not listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    acceptor = std::thread([this] { acceptLoop(); });
}

SlowHttpServer::~SlowHttpServer() {
    stopping = true;
    acceptor.join();
    for (std::thread& connection : connections) {
        connection.join();
    }
    ::close(listener);
}

void SlowHttpServer::acceptLoop() {
    while (!stopping) {
        if (!readable(listener)) {
            continue;
        }
        int const connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            connections.emplace_back([this, connection] { serve(connection); });
        }
    }
}

void SlowHttpServer::serve(int connection) {
    std::string request;
    char buffer[4096];
    while (!stopping && request.find("\r\n\r\n") == std::string::npos) {
        if (!readable(connection)) {
            continue;
        }
        ssize_t const got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;  // the client went away
        }
        request.append(buffer, static_cast<size_t>(got));
    }
    if (request.find("\r\n\r\n") != std::string::npos) {
        ++requests;
    }
    if (mode == Mode::TrickleHeaders && !stopping) {
        std::string const status = "HTTP/1.1 200 OK\r\n";
        ::send(connection, status.data(), status.size(), MSG_NOSIGNAL);
    }
    for (int line = 0; !stopping; ++line) {
        if (mode == Mode::TrickleHeaders) {
            std::string const header = "X-Line-" + std::to_string(line) + ": waiting\r\n";
            if (::send(connection, header.data(), header.size(), MSG_NOSIGNAL) < 0) {
                break;  // the client went away
            }
        }
        // Also notices a client that hangs up, so that its thread ends.
        if (readable(connection) && ::recv(connection, buffer, sizeof buffer, 0) <= 0) {
            break;
        }
    }
    ::close(connection);
}

}  // namespace Tiskel::Test
