#pragma once

#include <atomic>
#include <cstddef>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace Tiskel::Test {

// A server on a free port of 127.0.0.1 that takes HTTP requests and never finishes an answer:
// it stays silent, or sends a status line and then a header line every 20 ms for ever. It serves
// one connection at a time, on its own thread, until the client hangs up. Thread-safe.
class SlowHttpServer {
  public:
    enum class Mode { Silent, TrickleHeaders };

    // Throws std::runtime_error when it cannot listen.
    explicit SlowHttpServer(Mode mode)
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
    ~SlowHttpServer() {
        stopping = true;
        thread.join();
        ::close(listener);
    }
    SlowHttpServer(SlowHttpServer const&) = delete;
    SlowHttpServer& operator=(SlowHttpServer const&) = delete;

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port); }
    // Requests read completely so far.
    size_t requestCount() const { return requests; }

  private:
    // Waits up to 20 ms for `socket` to become readable, so that every loop sees `stopping` soon.
    static bool readable(int socket) {
        pollfd entry{socket, POLLIN, 0};
        return ::poll(&entry, 1, 20) > 0;
    }

    void serve(int connection) {
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

    Mode const mode;
    int listener;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> requests{0};
    std::thread thread;
};

}  // namespace Tiskel::Test
