#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

namespace Tiskel::Test {

// A server on a free port of 127.0.0.1 that takes HTTP requests and never finishes an answer:
// it stays silent, or sends a status line and then a header line every 20 ms for ever. It serves
// one connection at a time, on its own thread, until the client hangs up. Thread-safe.
class SlowHttpServer {
  public:
    enum class Mode { Silent, TrickleHeaders };

    // Throws std::runtime_error when it cannot listen.
    explicit SlowHttpServer(Mode mode);
    ~SlowHttpServer();
    SlowHttpServer(SlowHttpServer const&) = delete;
    SlowHttpServer& operator=(SlowHttpServer const&) = delete;

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port); }
    // Requests read completely so far.
    size_t requestCount() const { return requests; }

  private:
    void serve(int connection);

    Mode const mode;
    int listener;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<size_t> requests{0};
    std::thread thread;
};

}  // namespace Tiskel::Test
