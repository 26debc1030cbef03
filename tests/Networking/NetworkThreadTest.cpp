// The HTTP client's one network thread: it starts with the first request and ends with the
// client, runs the callbacks of every caller's transfer, and multiplexes transfers to an HTTP/2
// server over one connection.

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gmock/gmock.h>

#include "Platform/Networking/IHttpClient.h"

#include "Support/HttpTestServer.h"
#include "Support/TempDir.h"
#include "Support/Wait.h"

extern char** environ;

// Request handles libcurl made in this process. The program's own curl_easy_init comes before
// libcurl's for the library's calls: it counts the call and hands it on to libcurl.
static std::atomic<int> curlHandlesMade{0};

extern "C" __attribute__((visibility("default"))) void* curl_easy_init();
extern "C" void* curl_easy_init() {
    using Init = void* (*)();
    static Init const next = reinterpret_cast<Init>(::dlsym(RTLD_NEXT, "curl_easy_init"));
    ++curlHandlesMade;
    return next != nullptr ? next() : nullptr;
}

namespace Tiskel::Test {
namespace {

using namespace Networking;
using namespace ::testing;

// Threads of this process that carry the name the client gives its network thread.
size_t networkThreads() {
    size_t count = 0;
    for (auto const& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        count += name == "http-network" ? 1 : 0;
    }
    return count;
}

bool acceptsConnections(int port) {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool const connected =
        ::connect(fd, reinterpret_cast<sockaddr const*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

std::string nginxBinary() {
    for (char const* candidate : {"/usr/sbin/nginx", "/usr/bin/nginx", "/usr/local/sbin/nginx"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// nginx serving a folder over HTTPS with HTTP/2 on 127.0.0.1, with a self-signed certificate
// made for it, as one process of the test's user; stopped when destroyed. Its access log names
// the connection of every request.
class Http2Server {
  public:
    explicit Http2Server(std::string const& binary) : port(freeLoopbackPort()) {
        std::string const certificate =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 2"
            " -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1"
            " -keyout " +
            dir.file("key.pem") + " -out " + caFile() + " >/dev/null 2>&1";
        if (std::system(certificate.c_str()) != 0) {
            throw std::runtime_error("openssl could not make a certificate");
        }
        std::filesystem::create_directories(root());
        dir.write("nginx.conf", config());
        std::string const prefix = dir.path() + "/";
        std::string const configFile = dir.file("nginx.conf");
        std::string const errorLog = dir.file("error.log");
        std::vector<char const*> argv = {binary.c_str(),     "-p", prefix.c_str(),   "-c",
                                         configFile.c_str(), "-e", errorLog.c_str(), nullptr};
        if (::posix_spawn(&pid, binary.c_str(), nullptr, nullptr, const_cast<char**>(argv.data()),
                          environ) != 0) {
            throw std::runtime_error("nginx did not start");
        }
        int status = 0;
        bool const listening =
            waitUntil([this] { return acceptsConnections(port); },
                      [this, &status] { return ::waitpid(pid, &status, WNOHANG) == 0; });
        if (!listening) {
            stop();
            throw std::runtime_error("nginx does not listen: " + TempDir::read(errorLog));
        }
    }
    ~Http2Server() { stop(); }

    std::string url(std::string const& path) const {
        return "https://127.0.0.1:" + std::to_string(port) + path;
    }
    std::string root() const { return dir.file("site"); }
    std::string caFile() const { return dir.file("cert.pem"); }
    // Lines "<connection> <protocol>" of the requests answered so far.
    std::string accessLog() const { return TempDir::read(dir.file("access.log")); }

  private:
    // Everything nginx writes goes to the test's folder ("{dir}").
    std::string config() const {
        std::string text = R"(daemon off; master_process off; pid {dir}/nginx.pid;
events { worker_connections 64; }
http {
  log_format conn '$connection $server_protocol';
  access_log {dir}/access.log conn;
  client_body_temp_path {dir}/body; proxy_temp_path {dir}/proxy; fastcgi_temp_path {dir}/fcgi;
  uwsgi_temp_path {dir}/uwsgi; scgi_temp_path {dir}/scgi;
  server {
    listen 127.0.0.1:{port} ssl http2; root {dir}/site;
    ssl_certificate {dir}/cert.pem; ssl_certificate_key {dir}/key.pem;
  }
})";
        for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;) {
            text.replace(at, 5, dir.path());
        }
        return text.replace(text.find("{port}"), 6, std::to_string(port));
    }

    void stop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }

    TempDir dir;
    int const port;
    pid_t pid = -1;
};

TEST(NetworkThread, StartsWithTheFirstRequestAndEndsWithTheClient) {
    HttpTestServer server;
    server.addFile("/a", "abc");
    {
        auto const unused = createHttpClient(HttpClientDefault);
        EXPECT_EQ(networkThreads(), 0u);
    }
    auto client = createHttpClient(HttpClientDefault);
    EXPECT_EQ(client->download(Request(Url(server.url("/a")), {}, {}), {}).error,
              Response::NoError);
    EXPECT_EQ(client->download(Request(Url(server.url("/a")), {}, {}), {}).error,
              Response::NoError);
    EXPECT_EQ(networkThreads(), 1u);
    client.reset();
    // The kernel may list a joined thread for a moment after the join returns.
    EXPECT_TRUE(waitUntil([] { return networkThreads() == 0; }));
}

// The network thread keeps the request handles of ended transfers for the next ones; each
// transfer still runs with its own options, and the handle of a transfer stopped midway is not
// kept.
TEST(NetworkThread, ReusesRequestHandlesAndGivesEachTransferItsOwnOptions) {
    HttpTestServer server;
    std::string body(32 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>(i * 131 + i / 7);
    }
    server.addFile("/file", body, 1700000000);
    auto const client = createHttpClient(HttpClientDefault);
    Request const request(Url(server.url("/file")), {}, {});
    std::string received;
    size_t largestPiece = 0;
    auto const download = [&](RequestOptions options) {
        received.clear();
        largestPiece = 0;
        options.bodySink = [&](char const* data, size_t length) {
            received.append(data, length);
            largestPiece = std::max(largestPiece, length);
        };
        return client->download(request, options);
    };

    // The first request also starts libcurl, which makes handles of its own.
    EXPECT_EQ(download({}).error, Response::NoError);
    int const before = curlHandlesMade.load();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(download({}).error, Response::NoError);
        EXPECT_EQ(received, body);
    }
    // A HEAD leaves no "no body" behind, and a rate-limited transfer gets its small receive
    // buffer (an eighth of a second's worth) on a handle that had the large one.
    Response const head = client->head(request, {});
    EXPECT_EQ(head.httpStatus, 200);
    EXPECT_EQ(head.getLastModified(), 1700000000);
    RequestOptions limited;
    limited.receiveRateLimit = [] { return int64_t{64 * 1024}; };
    EXPECT_EQ(download(limited).error, Response::NoError);
    EXPECT_EQ(received, body);
    EXPECT_LE(largestPiece, 8u * 1024);
    EXPECT_EQ(download({}).error, Response::NoError);
    EXPECT_EQ(received, body);
    EXPECT_EQ(curlHandlesMade.load() - before, 0);

    RequestOptions refusing;
    refusing.bodySink = [](char const*, size_t) { throw std::runtime_error("disk full"); };
    EXPECT_EQ(client->download(request, refusing).error, Response::ClientError);
    EXPECT_EQ(download({}).error, Response::NoError);
    EXPECT_EQ(received, body);
    EXPECT_EQ(curlHandlesMade.load() - before, 1);
}

// Many callers at once: every callback of every transfer runs on one thread, which is none of
// the callers'; an exception thrown there still leaves the call of the caller it belongs to.
TEST(NetworkThread, RunsTheCallbacksOfEveryCallerAndCarriesTheirExceptionsBack) {
    HttpTestServer server;
    auto const client = createHttpClient(HttpClientDefault);
    constexpr int kCallers = 6;
    constexpr int kFilesEach = 10;
    std::mutex mutex;
    std::set<std::thread::id> callers;
    std::set<std::thread::id> callbackThreads;
    auto const note = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        callbackThreads.insert(std::this_thread::get_id());
    };
    struct Failure : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    std::vector<std::thread> threads;
    for (int c = 0; c < kCallers; ++c) {
        threads.emplace_back([&, c] {
            {
                std::lock_guard<std::mutex> lock(mutex);
                callers.insert(std::this_thread::get_id());
            }
            for (int i = 0; i < kFilesEach; ++i) {
                std::string const path = "/f" + std::to_string(c) + "-" + std::to_string(i);
                std::string const body(20000 + c * 100 + i, static_cast<char>('a' + c));
                server.addFile(path, body);
                std::string got;
                RequestOptions options;
                options.shouldCancel = [&] {
                    note();
                    return false;
                };
                options.receiveRateLimit = [&] {
                    note();
                    return int64_t{0};
                };
                options.onHead = [&](Response const&) {
                    note();
                    return true;
                };
                options.onProgress = [&](uint64_t, uint64_t) { note(); };
                options.bodySink = [&](char const* data, size_t length) {
                    note();
                    got.append(data, length);
                };
                Request const request(Url(server.url(path)), {}, {});
                EXPECT_EQ(client->download(request, options).error, Response::NoError);
                EXPECT_EQ(got, body) << path;
                // The last file of the first caller: its head receiver throws.
                if (c == 0 && i + 1 == kFilesEach) {
                    options.onHead = [&](Response const&) -> bool {
                        note();
                        throw Failure("head refused on purpose");
                    };
                    EXPECT_THROW(client->download(request, options), Failure);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_EQ(callbackThreads.size(), 1u);
    EXPECT_EQ(callers.count(*callbackThreads.begin()), 0u);
}

// Over plain HTTP, always HTTP/1.1, a transfer to a host gets a connection of its own at once,
// even while another transfer's connection to that host has not shown its protocol yet: libcurl
// looks again at a transfer that waits to share a connection only when some transfer ends.
TEST(NetworkThread, APlainHttpTransferDoesNotWaitForAnotherToTheSameHost) {
    HttpTestServer server;
    server.addFault("/held", "", HttpTestServer::Fault::StallHead, 0);
    server.addFile("/small", "small");
    auto const client = createHttpClient(HttpClientDefault);
    std::atomic<bool> release{false}, heldEnded{false};
    std::thread held([&] {
        RequestOptions options;
        options.shouldCancel = [&] { return release.load(); };
        client->download(Request(Url(server.url("/held")), {}, {}), options);
        heldEnded = true;
    });
    bool const asked = waitUntil([&] { return server.stalledNow() == 1; });
    std::string got;
    bool endedFirst = false;
    if (asked) {
        RequestOptions options;
        options.bodySink = [&got](char const* data, size_t length) { got.append(data, length); };
        // Waiting behind the held transfer, this one would get its turn only when the stall
        // timeout ends that one.
        client->download(Request(Url(server.url("/small")), {}, {}), options);
        endedFirst = heldEnded;
    }
    release = true;
    held.join();
    EXPECT_TRUE(asked);
    EXPECT_FALSE(endedFirst) << "waited for the other transfer to end";
    EXPECT_EQ(got, "small");
}

// Concurrent downloads from a server that speaks HTTP/2 share one connection.
TEST(NetworkThread, MultiplexesConcurrentDownloadsOverOneHttp2Connection) {
    std::string const nginx = nginxBinary();
    if (nginx.empty()) {
        GTEST_SKIP() << "nginx is not installed";
    }
    Http2Server server(nginx);
    constexpr int kCallers = 8;
    constexpr int kFilesEach = 5;
    for (int i = 0; i < kCallers * kFilesEach; ++i) {
        std::ofstream(server.root() + "/f" + std::to_string(i))
            << std::string(4096 + i, static_cast<char>(i));
    }
    HttpClientSettings settings;
    settings.caFile = server.caFile();
    auto const client = createHttpClient(HttpClientDefault, settings);
    std::vector<std::thread> threads;
    for (int c = 0; c < kCallers; ++c) {
        threads.emplace_back([&, c] {
            for (int i = c; i < kCallers * kFilesEach; i += kCallers) {
                std::string got;
                RequestOptions options;
                options.bodySink = [&got](char const* data, size_t length) {
                    got.append(data, length);
                };
                Response const response = client->download(
                    Request(Url(server.url("/f" + std::to_string(i))), {}, {}), options);
                EXPECT_EQ(response.error, Response::NoError) << response.errorText;
                EXPECT_EQ(got, std::string(4096 + i, static_cast<char>(i)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // nginx logs a request after its answer has gone out.
    auto const logged = [&server] {
        std::string const log = server.accessLog();
        return std::count(log.begin(), log.end(), '\n');
    };
    EXPECT_TRUE(waitUntil([&] { return logged() >= kCallers * kFilesEach; }));
    std::istringstream log(server.accessLog());
    std::set<std::string> connections;
    std::string connection;
    std::string protocol;
    size_t requests = 0;
    while (log >> connection >> protocol) {
        ++requests;
        connections.insert(connection);
        EXPECT_EQ(protocol, "HTTP/2.0");
    }
    EXPECT_EQ(requests, size_t{kCallers * kFilesEach});
    EXPECT_EQ(connections.size(), 1u);
}

}  // namespace
}  // namespace Tiskel::Test
