#include "Support/HttpTestServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include <httplib.h>

#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::Test {
namespace {

struct Route {
    enum class Kind { File, Status, Redirect, Fault };
    Kind kind = Kind::File;
    std::shared_ptr<std::string const> body;
    int64_t lastModified = -1;
    int status = 200;
    std::string location;
    int failuresLeft = 0;
    int failureStatus = 500;
    HttpTestServer::Fault fault = HttpTestServer::Fault::Stall;
    size_t afterBytes = 0;
};

std::string httpDate(int64_t seconds) {
    std::time_t const time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    static char const* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static char const* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[parts.tm_wday],
                  parts.tm_mday, months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                  parts.tm_min, parts.tm_sec);
    return text;
}

// Makes a self-signed certificate for 127.0.0.1 in `dir` with the openssl command.
void makeCertificate(TempDir const& dir) {
    std::string const command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        dir.file("key.pem") + "' -out '" + dir.file("cert.pem") + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("openssl could not make a test certificate");
    }
}

// The compiled cpp-httplib listens with a backlog of 5: a burst of simultaneous connections
// (several download threads starting at once) overflows it, and the dropped connection attempts
// are only retried by the client a second later. Listening again on the same socket widens the
// queue; the socket is found by its port since httplib does not expose it.
void widenBacklog(int port) {
    for (int fd = 0; fd < 1024; ++fd) {
        int listening = 0;
        socklen_t optionLength = sizeof listening;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optionLength) != 0 ||
            listening == 0) {
            continue;
        }
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            address.sin_family == AF_INET && ntohs(address.sin_port) == port &&
            address.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
            ::listen(fd, 256);
            return;
        }
    }
}

}  // namespace

struct HttpTestServer::Impl {
    void handle(httplib::Request const& request, httplib::Response& response);
    void serveFault(Route const& route, httplib::Response& response);
    void waitInStall();

    Scheme scheme = Scheme::Http;
    TempDir certificateDir;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int port = -1;

    mutable std::mutex mutex;
    std::condition_variable stallEnded;
    // Guarded by mutex:
    bool stallsReleased = false;
    size_t stalled = 0;
    std::map<std::string, Route> routes;
    std::map<std::string, size_t> counts;
    size_t total = 0;
    std::set<std::pair<std::string, int>> connections;
    std::map<std::string, RequestRecord> latest;
};

void HttpTestServer::Impl::handle(httplib::Request const& request, httplib::Response& response) {
    Route route;
    bool found = false;
    bool failNow = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++total;
        ++counts[request.path];
        connections.emplace(request.remote_addr, request.remote_port);
        RequestRecord& record = latest[request.path];
        record.method = request.method;
        record.headers.clear();
        for (auto const& header : request.headers) {
            record.headers.insert(header);
        }
        record.query.clear();
        for (auto const& parameter : request.params) {
            record.query.insert(parameter);
        }
        auto const it = routes.find(request.path);
        if (it != routes.end()) {
            found = true;
            if (it->second.failuresLeft > 0) {
                --it->second.failuresLeft;
                failNow = true;
            }
            route = it->second;
        }
    }
    if (!found) {
        response.status = 404;
        response.set_content("no such file", "text/plain");
        return;
    }
    if (failNow) {
        response.status = route.failureStatus;
        response.set_content("failing on purpose", "text/plain");
        return;
    }
    switch (route.kind) {
        case Route::Kind::File:
            if (route.lastModified >= 0) {
                response.set_header("Last-Modified", httpDate(route.lastModified));
            }
            response.set_content(*route.body, "application/octet-stream");
            return;
        case Route::Kind::Status:
            response.status = route.status;
            response.set_content("status " + std::to_string(route.status), "text/plain");
            return;
        case Route::Kind::Redirect:
            response.status = 302;
            response.set_header("Location", route.location);
            return;
        case Route::Kind::Fault:
            serveFault(route, response);
            return;
    }
}

void HttpTestServer::Impl::serveFault(Route const& route, httplib::Response& response) {
    auto const body = route.body;
    size_t const afterBytes = std::min(route.afterBytes, body->size());
    Fault const fault = route.fault;
    // Writes the part of the body before the fault; false once it is all out.
    auto writeHead = [body, afterBytes](size_t offset, size_t length, httplib::DataSink& sink) {
        if (offset >= afterBytes) {
            return false;
        }
        sink.write(body->data() + offset, std::min(length, afterBytes - offset));
        return true;
    };
    if (fault == Fault::Drop) {
        response.set_chunked_content_provider(
            "application/octet-stream", [writeHead, body](size_t offset, httplib::DataSink& sink) {
                // Returning false closes the connection without the final chunk.
                return writeHead(offset, body->size() - std::min(offset, body->size()), sink);
            });
        return;
    }
    response.set_content_provider(
        body->size(), "application/octet-stream",
        [this, writeHead, fault](size_t offset, size_t length, httplib::DataSink& sink) {
            if (writeHead(offset, length, sink)) {
                return true;
            }
            if (fault == Fault::Stall) {
                waitInStall();
            }
            // Returning false closes the connection short of the announced length.
            return false;
        });
}

void HttpTestServer::Impl::waitInStall() {
    std::unique_lock<std::mutex> lock(mutex);
    ++stalled;
    stallEnded.wait(lock, [this] { return stallsReleased; });
    --stalled;
}

HttpTestServer::HttpTestServer(Scheme scheme) : impl(std::make_unique<Impl>()) {
    impl->scheme = scheme;
    if (scheme == Scheme::HttpsSelfSigned) {
        makeCertificate(impl->certificateDir);
        impl->server =
            std::make_unique<httplib::SSLServer>(impl->certificateDir.file("cert.pem").c_str(),
                                                 impl->certificateDir.file("key.pem").c_str());
    } else {
        impl->server = std::make_unique<httplib::Server>();
    }
    if (!impl->server->is_valid()) {
        throw std::runtime_error("the test HTTP server could not be set up");
    }
    // Enough workers for many kept-alive connections plus stalled ones; a connection holds a
    // worker for as long as it stays open.
    impl->server->new_task_queue = [] { return new httplib::ThreadPool(64); };
    impl->server->set_keep_alive_max_count(1000000);
    impl->server->set_keep_alive_timeout(2);
    // Headers and body go out in separate writes; without this, Nagle and delayed ACKs add
    // 40 ms to every answer on a kept-alive connection.
    impl->server->set_tcp_nodelay(true);
    Impl* const self = impl.get();
    impl->server->Get(".*", [self](httplib::Request const& request, httplib::Response& response) {
        self->handle(request, response);
    });
    impl->port = impl->server->bind_to_any_port("127.0.0.1");
    if (impl->port <= 0) {
        throw std::runtime_error("the test HTTP server could not bind to 127.0.0.1");
    }
    widenBacklog(impl->port);
    // The socket already listens; connections made before the accept loop runs are queued.
    impl->thread = std::thread([self] { self->server->listen_after_bind(); });
    // stop() only takes effect once the accept loop runs; stopping earlier would leave the loop
    // running for ever.
    if (!waitUntil([self] { return self->server->is_running(); })) {
        throw std::runtime_error("the test HTTP server did not start");
    }
}

HttpTestServer::~HttpTestServer() {
    releaseStalls();
    impl->server->stop();
    impl->thread.join();
}

int HttpTestServer::port() const {
    return impl->port;
}

std::string HttpTestServer::baseUrl() const {
    return std::string(impl->scheme == Scheme::Http ? "http" : "https") +
           "://127.0.0.1:" + std::to_string(impl->port);
}

std::string HttpTestServer::url(std::string const& path) const {
    return baseUrl() + path;
}

void HttpTestServer::addFile(std::string const& path, std::string body, int64_t lastModified) {
    Route route;
    route.kind = Route::Kind::File;
    route.body = std::make_shared<std::string const>(std::move(body));
    route.lastModified = lastModified;
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->routes[path] = route;
}

void HttpTestServer::addStatus(std::string const& path, int status) {
    Route route;
    route.kind = Route::Kind::Status;
    route.status = status;
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->routes[path] = route;
}

void HttpTestServer::addRedirect(std::string const& path, std::string const& target) {
    Route route;
    route.kind = Route::Kind::Redirect;
    route.location = target;
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->routes[path] = route;
}

void HttpTestServer::addFlakyFile(std::string const& path, std::string body, int failures,
                                  int failureStatus) {
    Route route;
    route.kind = Route::Kind::File;
    route.body = std::make_shared<std::string const>(std::move(body));
    route.failuresLeft = failures;
    route.failureStatus = failureStatus;
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->routes[path] = route;
}

void HttpTestServer::addFault(std::string const& path, std::string body, Fault fault,
                              size_t afterBytes) {
    Route route;
    route.kind = Route::Kind::Fault;
    route.body = std::make_shared<std::string const>(std::move(body));
    route.fault = fault;
    route.afterBytes = afterBytes;
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->routes[path] = route;
}

void HttpTestServer::releaseStalls() {
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->stallsReleased = true;
    }
    impl->stallEnded.notify_all();
}

size_t HttpTestServer::stalledNow() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->stalled;
}

size_t HttpTestServer::requestCount(std::string const& path) const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    auto const it = impl->counts.find(path);
    return it == impl->counts.end() ? 0 : it->second;
}

size_t HttpTestServer::totalRequests() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->total;
}

size_t HttpTestServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->connections.size();
}

HttpTestServer::RequestRecord HttpTestServer::lastRequest(std::string const& path) const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    auto const it = impl->latest.find(path);
    return it == impl->latest.end() ? RequestRecord{} : it->second;
}

int freeLoopbackPort() {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw std::runtime_error("socket() failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace Tiskel::Test
