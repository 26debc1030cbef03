#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace Tiskel::Test {

// An HTTP (or HTTPS, with a self-signed certificate made at start) server on 127.0.0.1 on a
// free port, serving on its own threads while the object lives. Routes can be added at any
// time. It counts requests and client connections, so tests can see keep-alive at work, and can
// misbehave on purpose: stall, close the connection mid-body, fail a number of times, redirect.
// Thread-safe.
class HttpTestServer {
  public:
    enum class Scheme { Http, HttpsSelfSigned };

    // How a faulty route breaks off its body.
    enum class Fault {
        // Announces the whole length, sends `afterBytes` bytes, then sends nothing until
        // `releaseStalls` or the server stops (then closes the connection).
        Stall,
        // Chunked answer: sends `afterBytes` bytes of body, then closes the connection without
        // the final chunk.
        Drop,
        // Announces the whole length, sends `afterBytes` bytes, then closes the connection.
        ShortBody,
    };

    // What the server saw of the latest request to a path.
    struct RequestRecord {
        std::string method;
        std::multimap<std::string, std::string> headers;  // names as sent
        std::multimap<std::string, std::string> query;    // decoded parameters
    };

    // Starts serving. Throws std::runtime_error when the server cannot start.
    explicit HttpTestServer(Scheme scheme = Scheme::Http);
    // Ends stalls, stops serving and joins the server's threads.
    ~HttpTestServer();
    HttpTestServer(HttpTestServer const&) = delete;
    HttpTestServer& operator=(HttpTestServer const&) = delete;

    int port() const;
    // "http://127.0.0.1:<port>" (or https).
    std::string baseUrl() const;
    // baseUrl() followed by `path`, which starts with '/'.
    std::string url(std::string const& path) const;

    // Serves `body` at `path` for GET and HEAD, with a Last-Modified header when
    // `lastModified` (seconds since the Unix epoch) is not negative.
    void addFile(std::string const& path, std::string body, int64_t lastModified = -1);
    // Answers `status` (404, 500, ...) with a short text body.
    void addStatus(std::string const& path, int status);
    // Answers 302 with Location `target` (a path on this server or an absolute URL).
    void addRedirect(std::string const& path, std::string const& target);
    // Answers `failureStatus` to the first `failures` requests, then serves `body`.
    void addFlakyFile(std::string const& path, std::string body, int failures,
                      int failureStatus = 500);
    // Serves `body` at `path` with `fault` after `afterBytes` bytes of it.
    void addFault(std::string const& path, std::string body, Fault fault, size_t afterBytes);

    // Ends every current and later stall.
    void releaseStalls();
    // Requests currently held in a stall.
    size_t stalledNow() const;

    // Requests (GET and HEAD) that reached `path`, whatever the answer.
    size_t requestCount(std::string const& path) const;
    size_t totalRequests() const;
    // Distinct client connections that carried at least one request.
    size_t connectionCount() const;
    // The latest request to `path`; an empty record when none arrived.
    RequestRecord lastRequest(std::string const& path) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// A free TCP port on 127.0.0.1 at the time of the call, for servers started as processes.
int freeLoopbackPort();

}  // namespace Tiskel::Test
