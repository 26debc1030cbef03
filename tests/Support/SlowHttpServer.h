#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace Tiskel::Test {

// A TCP server on a free port of 127.0.0.1 that takes HTTP requests and never finishes an
// answer, for tests of cancellation while a server keeps a client waiting. Each connection gets
// its own thread, which reads one request and then either stays silent or sends a status line
// followed by one header line every 20 ms, never ending the header, until the server stops.
// Thread-safe.
class SlowHttpServer {
  public:
    enum class Mode { Silent, TrickleHeaders };

    // Starts listening. Throws std::runtime_error when the socket cannot be set up.
    explicit SlowHttpServer(Mode mode);
    // Stops the connections' threads and closes every socket.
    ~SlowHttpServer();
    SlowHttpServer(SlowHttpServer const&) = delete;
    SlowHttpServer& operator=(SlowHttpServer const&) = delete;

    // "http://127.0.0.1:<port>"
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port); }
    // Requests read completely so far.
    size_t requestCount() const { return requests; }

  private:
    void acceptLoop();
    void serve(int connection);

    Mode const mode;
    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> requests{0};
    std::thread acceptor;
    std::vector<std::thread> connections;  // touched by the acceptor thread only, then joined
};

}  // namespace Tiskel::Test
