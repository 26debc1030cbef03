#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace Tiskel::Test {

// An HTTP (or HTTPS, with a self-signed certificate made at start) server on 127.0.0.1 on a
// free port, serving on its own threads while the object lives. Routes can be added at any
// time. It counts requests and client connections, so tests can see keep-alive at work, and can
// misbehave on purpose: stall, break off a body, fail a number of times, redirect.
// Thread-safe.
class HttpTestServer {
  public:
    enum class Scheme { Http, HttpsSelfSigned };

    // How a faulty route breaks off its body after `afterBytes` bytes. Stall announces the whole
    // length and then sends nothing more until the server stops; ShortBody announces it and
    // closes the connection; Drop closes a chunked answer without its final chunk. StallHead
    // sends nothing at all, not even the status line, until the server stops.
    enum class Fault { None, Stall, Drop, ShortBody, StallHead };

    // Starts serving. Throws std::runtime_error when the server cannot start.
    explicit HttpTestServer(Scheme scheme = Scheme::Http);
    // Ends stalls, stops serving and joins the server's threads.
    ~HttpTestServer();

    // "http://127.0.0.1:<port>" (or https).
    std::string baseUrl() const { return base; }
    // baseUrl() followed by `path`, which starts with '/'.
    std::string url(std::string const& path) const { return baseUrl() + path; }

    // Serves `body` at `path` for GET and HEAD, with a Last-Modified header when
    // `lastModified` (seconds since the Unix epoch) is not negative. Files answer as a web server
    // does: an ETag made from the body and the time; 304 to If-None-Match with that tag, or to
    // If-Modified-Since at or after the time; a part (206) to Range, unless an If-Range names
    // another version.
    void addFile(std::string const& path, std::string body, int64_t lastModified = -1) {
        add(path, {std::move(body), lastModified});
    }
    // Answers `status` (with `retryAfter` as its Retry-After when not empty) to the first
    // `failures` requests, then serves `body`.
    void addFlakyFile(std::string const& path, std::string body, int failures, int status = 500,
                      std::string retryAfter = "") {
        Route route{std::move(body), -1, failures, status};
        route.retryAfter = std::move(retryAfter);
        add(path, std::move(route));
    }
    // Serves `body` only to requests with HTTP basic authentication as `user` and `password`;
    // answers 401 to the others.
    void addProtectedFile(std::string const& path, std::string body, std::string const& user,
                          std::string const& password);
    // Always answers `status` (404, 500, ...), with `retryAfter` as its Retry-After when not
    // empty.
    void addStatus(std::string const& path, int status, std::string retryAfter = "") {
        Route route{"", -1, INT_MAX, status};
        route.retryAfter = std::move(retryAfter);
        add(path, std::move(route));
    }
    // Answers 302 with Location `target` (a path on this server or an absolute URL).
    void addRedirect(std::string const& path, std::string const& target) {
        add(path, {target, -1, INT_MAX, 302});
    }
    // Serves `body` at `path` with `fault` after `afterBytes` bytes of it (fewer than the body
    // has).
    void addFault(std::string const& path, std::string body, Fault fault, size_t afterBytes,
                  int64_t lastModified = -1) {
        add(path, {std::move(body), lastModified, 0, 200, fault, afterBytes});
    }
    // Announces a body of `bytes` (Content-Length) and sends zeros for as long as the client
    // reads; for clients that must refuse a body too big for them.
    void addHugeFile(std::string const& path, int64_t bytes) {
        Route route;
        route.announced = bytes;
        add(path, std::move(route));
    }

    // Requests currently held in a stall.
    size_t stalledNow() const;
    // Requests (GET and HEAD) that reached `path`, whatever the answer.
    size_t requestCount(std::string const& path) const;
    // The HTTPS server's certificate (PEM), which a client can trust as its own CA.
    std::string certificateFile() const;
    // The value of header `name` in the latest request for `path`; "" when it had none.
    std::string lastHeader(std::string const& path, std::string const& name) const;
    // Distinct client connections that carried at least one request.
    size_t connectionCount() const;

  private:
    struct Route {
        std::string body = {};  // the Location of a redirect
        int64_t lastModified = -1;
        int failures = 0;  // requests still to be answered with `status` alone
        int status = 200;
        Fault fault = Fault::None;
        size_t afterBytes = 0;
        std::string authorization = {};  // the Authorization header required, if any
        std::string retryAfter = {};     // sent with a failure status, if any
        int64_t announced = 0;           // a huge file's announced length
    };
    void add(std::string const& path, Route route);

    std::string base;
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// A free TCP port on 127.0.0.1 at the time of the call, for servers started as processes.
int freeLoopbackPort();

}  // namespace Tiskel::Test
