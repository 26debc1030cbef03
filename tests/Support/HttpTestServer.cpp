#include "Support/HttpTestServer.h"

#include <cstdlib>
#include <ctime>
#include <stdexcept>

// Also brings the socket, container, functional and threading headers used here.
#include <httplib.h>

#include "Support/TempDir.h"
#include "Support/Wait.h"

namespace Tiskel::Test {

using namespace std::placeholders;

namespace {

// `seconds` since the Unix epoch as an HTTP date; "" for a negative time.
std::string httpDate(int64_t seconds) {
    if (seconds < 0) {
        return {};
    }
    std::time_t const time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[64];
    // The test programs never change the C locale, so the names come out in English.
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&time, &parts));
    return text;
}

// A conditional request whose copy is current: its If-None-Match names the tag, or (without
// one) its If-Modified-Since is at or after the file's time.
bool notModified(httplib::Request const& request, std::string const& tag, int64_t lastModified) {
    std::string const match = request.get_header_value("If-None-Match");
    if (!match.empty()) {
        return match == tag;
    }
    std::string const since = request.get_header_value("If-Modified-Since");
    if (since.empty() || lastModified < 0) {
        return false;
    }
    std::tm parts{};
    if (strptime(since.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts) == nullptr) {
        return false;
    }
    return static_cast<int64_t>(timegm(&parts)) >= lastModified;
}

}  // namespace

struct HttpTestServer::Impl {
    void handle(httplib::Request const& request, httplib::Response& response) {
        Route route;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++counts[request.path];
            lastHeaders[request.path] = request.headers;
            connections.emplace(request.remote_addr, request.remote_port);
            // A path without a route gets one that answers 404.
            Route& stored = routes.emplace(request.path, Route{"", -1, INT_MAX, 404}).first->second;
            route = stored;
            stored.failures -= stored.failures > 0;
        }
        if (route.fault == Fault::StallHead) {
            holdWhileServing();
            return;
        }
        std::string const lastModified = httpDate(route.lastModified);
        if (!lastModified.empty()) {
            response.set_header("Last-Modified", lastModified);
        }
        if (!route.authorization.empty() &&
            request.get_header_value("Authorization") != route.authorization) {
            response.status = 401;
            return;
        }
        if (route.status == 302) {
            response.set_header("Location", route.body);
        }
        if (route.failures > 0) {
            response.status = route.status;
            if (!route.retryAfter.empty()) {
                response.set_header("Retry-After", route.retryAfter);
            }
            return;
        }
        if (route.announced > 0) {
            response.set_content_provider(
                static_cast<size_t>(route.announced), "application/octet-stream",
                [](size_t, size_t length, httplib::DataSink& sink) {
                    static char const zeros[64 * 1024] = {};
                    return sink.write(zeros, std::min(length, sizeof zeros));
                });
            return;
        }
        std::string const tag = "\"" + std::to_string(std::hash<std::string>()(route.body)) + "-" +
                                std::to_string(route.lastModified) + "\"";
        response.set_header("ETag", tag);
        if (route.fault == Fault::None) {
            if (notModified(request, tag, route.lastModified)) {
                response.status = 304;
                return;
            }
            std::string const ifRange = request.get_header_value("If-Range");
            if (!ifRange.empty() && ifRange != tag && ifRange != lastModified) {
                // Another version's part would not fit: the whole file instead. httplib serves
                // a part whenever the request has ranges.
                const_cast<httplib::Request&>(request).ranges.clear();
            }
            response.set_content(route.body, "application/octet-stream");
            return;
        }
        // Sends the body up to the cut; a stall then holds the connection until the server stops.
        // Returning false makes httplib close the connection short of the announced length, or
        // without the final chunk of a chunked answer.
        auto provider = [this, route](size_t offset, httplib::DataSink& sink) {
            if (offset < route.afterBytes) {
                return sink.write(route.body.data() + offset, route.afterBytes - offset);
            }
            if (route.fault == Fault::Stall) {
                holdWhileServing();
            }
            return false;
        };
        if (route.fault == Fault::Drop) {
            response.set_chunked_content_provider("application/octet-stream", provider);
        } else {
            response.set_content_provider(route.body.size(), "application/octet-stream",
                                          std::bind(provider, _1, _3));
        }
    }

    // Holds the calling server thread, counted as stalled, until the server stops.
    void holdWhileServing() {
        ++stalled;
        waitUntil([this] { return stopped.load(); }, std::chrono::hours(1));
        --stalled;
    }

    TempDir certificateDir;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;

    std::atomic<bool> stopped{false};
    std::atomic<size_t> stalled{0};
    mutable std::mutex mutex;
    // Guarded by mutex:
    std::map<std::string, Route> routes;
    std::map<std::string, size_t> counts;
    std::map<std::string, httplib::Headers> lastHeaders;
    std::set<std::pair<std::string, int>> connections;
};

HttpTestServer::HttpTestServer(Scheme scheme) : impl(std::make_unique<Impl>()) {
    // A fresh self-signed certificate for each HTTPS server, made by the openssl tool.
    bool const https = scheme == Scheme::HttpsSelfSigned;
    std::string const dir = impl->certificateDir.path();
    std::string const command =
        "cd '" + dir +
        "' && openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1"
        " -addext subjectAltName=IP:127.0.0.1 -keyout key.pem -out cert.pem 2>/dev/null";
    if (https && std::system(command.c_str()) != 0) {
        throw std::runtime_error("openssl could not make a test certificate");
    }
    impl->server.reset(
        https ? new httplib::SSLServer((dir + "/cert.pem").c_str(), (dir + "/key.pem").c_str())
              : new httplib::Server());
    // Enough workers for many kept-alive connections plus stalled ones; a connection holds a
    // worker for as long as it stays open.
    impl->server->new_task_queue = [] { return new httplib::ThreadPool(64); };
    impl->server->set_keep_alive_max_count(1000000);
    // Headers and body go out in separate writes; without this, Nagle and delayed ACKs add
    // 40 ms to every answer on a kept-alive connection.
    impl->server->set_tcp_nodelay(true);
    impl->server->Get(".*", std::bind(&Impl::handle, impl.get(), _1, _2));
    int const port = impl->server->bind_to_any_port("127.0.0.1");
    base = (scheme == Scheme::Http ? "http://127.0.0.1:" : "https://127.0.0.1:") +
           std::to_string(port);
    // Checked before the serving thread starts, so that a failed start leaves no thread behind.
    if (port <= 0) {
        throw std::runtime_error("the test HTTP server could not bind to 127.0.0.1");
    }
    impl->thread = std::thread([this] { impl->server->listen_after_bind(); });
    // stop() only takes effect once the accept loop runs; stopping earlier would leave the loop
    // running for ever.
    waitUntil([this] { return impl->server->is_running(); });
}

HttpTestServer::~HttpTestServer() {
    impl->stopped = true;
    impl->server->stop();
    impl->thread.join();
}

void HttpTestServer::addProtectedFile(std::string const& path, std::string body,
                                      std::string const& user, std::string const& password) {
    Route route{std::move(body)};
    route.authorization = httplib::make_basic_authentication_header(user, password).second;
    add(path, std::move(route));
}

void HttpTestServer::add(std::string const& path, Route route) {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->routes[path] = std::move(route);
}

size_t HttpTestServer::stalledNow() const {
    return impl->stalled;
}

size_t HttpTestServer::requestCount(std::string const& path) const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->counts.count(path) ? impl->counts.at(path) : 0;
}

std::string HttpTestServer::certificateFile() const {
    return impl->certificateDir.path() + "/cert.pem";
}

std::string HttpTestServer::lastHeader(std::string const& path, std::string const& name) const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    auto const found = impl->lastHeaders.find(path);
    if (found == impl->lastHeaders.end()) {
        return {};
    }
    auto const header = found->second.find(name);
    return header != found->second.end() ? header->second : std::string();
}

size_t HttpTestServer::connectionCount() const {
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->connections.size();
}

int freeLoopbackPort() {
    // The port a server was given is free again once that server has stopped.
    std::string const url = HttpTestServer().baseUrl();
    return std::stoi(url.substr(url.rfind(':') + 1));
}

}  // namespace Tiskel::Test
