#include "Support/HttpTestServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <set>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <httplib.h>

#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::Test {
namespace {

struct Route {
    std::shared_ptr<std::string const> body;
    int64_t lastModified = -1;
    int failuresLeft = 0;
    int failureStatus = 500;
    std::string location;  // redirects only
    std::optional<HttpTestServer::Fault> fault;
    size_t afterBytes = 0;
};

std::string httpDate(int64_t seconds) {
    std::time_t const time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[64];
    // The test programs never change the C locale, so the names come out in English.
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

}  // namespace

struct HttpTestServer::Impl {
    void handle(httplib::Request const& request, httplib::Response& response) {
        Route route;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++counts[request.path];
            connections.emplace(request.remote_addr, request.remote_port);
            auto const it = routes.find(request.path);
            route = it == routes.end() ? Route{nullptr, -1, 1, 404, "", {}, 0} : it->second;
            if (it != routes.end() && it->second.failuresLeft > 0) {
                --it->second.failuresLeft;
            }
        }
        if (route.lastModified >= 0) {
            response.set_header("Last-Modified", httpDate(route.lastModified));
        }
        if (route.failuresLeft > 0) {
            response.status = route.failureStatus;
        } else if (!route.location.empty()) {
            response.status = 302;
            response.set_header("Location", route.location);
        } else if (route.fault) {
            serveFault(route, response);
        } else {
            response.set_content(*route.body, "application/octet-stream");
        }
    }

    void serveFault(Route const& route, httplib::Response& response) {
        auto const body = route.body;
        size_t const cut = std::min(route.afterBytes, body->size());
        bool const stall = *route.fault == Fault::Stall;
        // Sends the body up to the cut. Returning false then makes httplib close the connection
        // short of the announced length, or without the final chunk of a chunked answer.
        auto provider = [this, body, cut, stall](size_t offset, size_t length,
                                                 httplib::DataSink& sink) {
            if (offset < cut) {
                return sink.write(body->data() + offset, std::min(length, cut - offset));
            }
            std::unique_lock<std::mutex> lock(mutex);
            stalled += stall;
            stopping.wait(lock, [this, stall] { return stopped || !stall; });
            stalled -= stall;
            return false;
        };
        if (*route.fault == Fault::Drop) {
            response.set_chunked_content_provider(
                "application/octet-stream", [provider](size_t offset, httplib::DataSink& sink) {
                    return provider(offset, SIZE_MAX, sink);
                });
        } else {
            response.set_content_provider(body->size(), "application/octet-stream", provider);
        }
    }

    void add(std::string const& path, Route route) {
        std::lock_guard<std::mutex> lock(mutex);
        routes[path] = std::move(route);
    }

    TempDir certificateDir;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::string baseUrl;

    mutable std::mutex mutex;
    std::condition_variable stopping;
    // Guarded by mutex:
    bool stopped = false;
    size_t stalled = 0;
    std::map<std::string, Route> routes;
    std::map<std::string, size_t> counts;
    std::set<std::pair<std::string, int>> connections;
};

HttpTestServer::HttpTestServer(Scheme scheme) : impl(std::make_unique<Impl>()) {
    if (scheme == Scheme::HttpsSelfSigned) {
        std::string const cert = impl->certificateDir.file("cert.pem");
        std::string const key = impl->certificateDir.file("key.pem");
        std::string const command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
            "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
            key + "' -out '" + cert + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("openssl could not make a test certificate");
        }
        impl->server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    } else {
        impl->server = std::make_unique<httplib::Server>();
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
    int const port = impl->server->bind_to_any_port("127.0.0.1");
    impl->baseUrl = std::string(scheme == Scheme::Http ? "http" : "https") +
                    "://127.0.0.1:" + std::to_string(port);
    if (port <= 0) {
        throw std::runtime_error("the test HTTP server could not bind to 127.0.0.1");
    }
    impl->thread = std::thread([self] { self->server->listen_after_bind(); });
    // stop() only takes effect once the accept loop runs; stopping earlier would leave the loop
    // running for ever.
    if (!waitUntil([self] { return self->server->is_running(); })) {
        throw std::runtime_error("the test HTTP server did not start");
    }
}

HttpTestServer::~HttpTestServer() {
    std::unique_lock<std::mutex> lock(impl->mutex);
    impl->stopped = true;
    lock.unlock();
    impl->stopping.notify_all();
    impl->server->stop();
    impl->thread.join();
}

std::string HttpTestServer::baseUrl() const {
    return impl->baseUrl;
}

void HttpTestServer::addFile(std::string const& path, std::string body, int64_t lastModified) {
    impl->add(
        path,
        {std::make_shared<std::string const>(std::move(body)), lastModified, 0, 0, "", {}, 0});
}

void HttpTestServer::addFlakyFile(std::string const& path, std::string body, int failures,
                                  int failureStatus) {
    impl->add(path, {std::make_shared<std::string const>(std::move(body)),
                     -1,
                     failures,
                     failureStatus,
                     "",
                     {},
                     0});
}

void HttpTestServer::addRedirect(std::string const& path, std::string const& target) {
    impl->add(path, {nullptr, -1, 0, 0, target, {}, 0});
}

void HttpTestServer::addFault(std::string const& path, std::string body, Fault fault,
                              size_t afterBytes) {
    impl->add(path, {std::make_shared<std::string const>(std::move(body)), -1, 0, 0, "", fault,
                     afterBytes});
}

size_t HttpTestServer::stalledNow() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->stalled;
}

size_t HttpTestServer::requestCount(std::string const& path) const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->counts.count(path) ? impl->counts.at(path) : 0;
}

size_t HttpTestServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->connections.size();
}

int freeLoopbackPort() {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    bool const bound = fd >= 0 &&
                       ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    if (!bound) {
        throw std::runtime_error("cannot find a free loopback port");
    }
    return ntohs(address.sin_port);
}

}  // namespace Tiskel::Test
