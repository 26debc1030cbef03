// The HTTP client against loopback servers: bodies and progress, Last-Modified, each class of
// failure, cancellation; and its one network thread: it starts with the first request and ends
// with the client, runs the callbacks of every caller's transfer, shares connections among them,
// and multiplexes transfers to an HTTP/2 server over one connection.

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
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

struct Fetched {
    Response response;
    std::string body;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
};

Fetched fetch(IHttpClient& client, std::string const& url, RequestOptions options = {}) {
    Fetched result;
    options.onData = [&result](std::string piece) { result.body += piece; };
    options.onProgress = [&result](uint64_t received, uint64_t expected) {
        result.progress.emplace_back(received, expected);
    };
    result.response = client.download(Request(Url(url), {}, {}), options);
    return result;
}

// Position-dependent bytes, so that misplaced or lost pieces show in a comparison.
std::string patternBody(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        body[i] = static_cast<char>(i * 131 + i / 7);
    }
    return body;
}

class HttpClientTest : public ::testing::Test {
  protected:
    // The server is declared first so that the client, and its open connections, go first.
    HttpTestServer server;
    std::unique_ptr<IHttpClient> client = createHttpClient(HttpClientDefault);
};

TEST_F(HttpClientTest, FollowsARedirectAndStreamsTheBodyWithProgressAndLastModified) {
    std::string const body = patternBody(3 * 1024 * 1024 + 17);
    server.addFile("/big.bin", body, 1600000000);
    server.addRedirect("/moved", "/big.bin");

    Fetched const got = fetch(*client, server.url("/moved"));

    ASSERT_EQ(got.response.error, Response::NoError) << got.response.errorText;
    EXPECT_EQ(got.response.httpStatus, 200);
    EXPECT_EQ(got.body, body);
    ASSERT_GT(got.progress.size(), 1u);
    EXPECT_THAT(got.progress, Each(Pair(_, body.size())));
    EXPECT_TRUE(std::is_sorted(got.progress.begin(), got.progress.end()));
    EXPECT_EQ(got.progress.back().first, body.size());
    EXPECT_EQ(got.response.getLastModified(), 1600000000);
}

TEST_F(HttpClientTest, EachFailureEndsInItsErrorClassWithAText) {
    HttpTestServer tls(HttpTestServer::Scheme::HttpsSelfSigned);
    tls.addFile("/file", "secret");
    server.addFile("/file", "abc");
    server.addFault("/dropped", patternBody(200000), HttpTestServer::Fault::Drop, 50000);
    server.addFault("/stall", patternBody(200000), HttpTestServer::Fault::Stall, 1000);
    server.addStatus("/500", 500);
    server.addRedirect("/loopA", "/loopB");
    server.addRedirect("/loopB", "/loopA");
    std::string const nowhere = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    struct Case {
        std::string url;
        int32_t error;
        std::string text = "";  // part of the error text
        std::string proxy = "";
        std::function<bool()> cancel = nullptr;
    };
    std::vector<Case> cases = {
        {server.url("/file"), Response::CouldNotConnect, "", "http://" + nowhere},
        {server.url("/file"), Response::Cancelled, "cancelled", "", [] { return true; }},
        // Before the stall below, which stays held until the server stops.
        {server.url("/stall"), Response::Cancelled, "cancelled", "",
         [this] { return server.stalledNow() == 1; }},
        {server.url("/dropped"), Response::ConnectionLost},
        {server.url("/stall"), Response::ConnectionLost, "no data received for 300 ms"},
        {server.url("/500"), Response::HttpStatus, "HTTP 500"},
        {server.url("/loopA"), Response::TooManyRedirects},
        {tls.url("/file"), Response::TlsFailure, "certificate"},
        {server.url("/file"), Response::InvalidUrl, "gopher://127.0.0.1:70",
         "gopher://127.0.0.1:70"},
    };
    for (char const* url : {"", "not a url", "127.0.0.1/file", "http:///file", "ftp://h/file"}) {
        cases.push_back({url, Response::InvalidUrl});
    }
    for (Case const& c : cases) {
        SCOPED_TRACE("'" + c.url + "' via '" + c.proxy + "'");
        RequestOptions options;
        options.proxy = c.proxy;
        options.stallTimeoutMilliseconds = 300;
        options.shouldCancel = c.cancel;
        Fetched const got = fetch(*client, c.url, options);
        EXPECT_EQ(got.response.error, c.error) << got.response.errorText;
        EXPECT_THAT(got.response.errorText, AllOf(Not(IsEmpty()), HasSubstr(c.text)));
        // A transfer broken off may have delivered part of the body; an error page never shows.
        EXPECT_TRUE(got.body.empty() || c.error == Response::ConnectionLost ||
                    c.error == Response::Cancelled);
    }
    // Nothing went out when cancelled at once or past a dead or malformed proxy, and a loop ends
    // after three redirects.
    EXPECT_EQ(server.requestCount("/file"), 0u);
    EXPECT_EQ(server.requestCount("/loopA") + server.requestCount("/loopB"), 4u);
    EXPECT_EQ(tls.requestCount("/file"), 0u);
}

TEST(PercentEncodePath, EscapesWhatAUrlCannotHoldAndKeepsTheRest) {
    struct Row {
        char const* path;
        char const* encoded;
    } const rows[] = {
        {"", ""},
        {"dir/file-1.0_final~.txt", "dir/file-1.0_final~.txt"},
        {"a b/c d.txt", "a%20b/c%20d.txt"},
        {"\xC3\xBC.txt", "%C3%BC.txt"},  // UTF-8, byte by byte
        {"!$&'()*+,;=:@/x?y=1&z=/?", "!$&'()*+,;=:@/x?y=1&z=/?"},
        {"\"#<>[\\]^`{|}", "%22%23%3C%3E%5B%5C%5D%5E%60%7B%7C%7D"},
        {"tab\tnl\n\x7F", "tab%09nl%0A%7F"},
        {"%41%e9%2F", "%41%e9%2F"},  // existing escapes stay
        {"100%", "100%25"},
        {"%4", "%254"},
        {"%4z", "%254z"},  // an escape needs two hex digits, not one of them
        {"%z4", "%25z4"},
        {"%%41", "%25%41"},
    };
    for (Row const& row : rows) {
        EXPECT_EQ(percentEncodePath(row.path), row.encoded) << row.path;
        // Encoding twice changes nothing.
        EXPECT_EQ(percentEncodePath(row.encoded), row.encoded) << row.path;
    }
    // What the encoder gives is a valid URL once joined to a base.
    EXPECT_TRUE(Url("http://h/" + percentEncodePath("a b/\xC3\xBC \"x\".txt")).isValid());
}

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
        std::string const prefix = dir.path() + "/";
        std::string const configFile = dir.write("nginx.conf", config());
        std::string const errorLog = dir.file("error.log");
        std::vector<char const*> argv = {binary.c_str(),     "-p", prefix.c_str(),   "-c",
                                         configFile.c_str(), "-e", errorLog.c_str(), nullptr};
        if (::posix_spawn(&pid, binary.c_str(), nullptr, nullptr, const_cast<char**>(argv.data()),
                          environ) != 0) {
            throw std::runtime_error("nginx did not start");
        }
        // nginx writes its pid file after it has opened its listening socket.
        bool const listening =
            waitUntil([this] { return std::filesystem::exists(dir.file("nginx.pid")); },
                      [this] { return ::waitpid(pid, nullptr, WNOHANG) == 0; });
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
    // The requests answered so far, a line each.
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

using NetworkThread = HttpClientTest;

// The network thread starts with the first request, not with the client, and ends with the
// client. It keeps the request handles of ended transfers for the next ones; each transfer still
// runs with its own options, and the handle of a transfer stopped midway is not kept.
TEST_F(NetworkThread, StartsWithTheFirstRequestReusesRequestHandlesAndEndsWithTheClient) {
    std::string const body = patternBody(32 * 1024);
    server.addFile("/file", body, 1700000000);
    EXPECT_EQ(networkThreads(), 0u);
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
    // A HEAD gives the date without a body (a file without a date, -1, is in the HTTP
    // downloader's tests) and leaves no "no body" behind; a rate-limited transfer gets its small
    // receive buffer (an eighth of a second's worth) on a handle that had the large one.
    RequestOptions noBody;
    noBody.onData = [](std::string) { ADD_FAILURE() << "HEAD delivered a body"; };
    Response const head = client->head(request, noBody);
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
    EXPECT_EQ(networkThreads(), 1u);
    client.reset();
    // The kernel may list a joined thread for a moment after the join returns.
    EXPECT_TRUE(waitUntil([] { return networkThreads() == 0; }));
}

// Many callers at once: every callback of every transfer runs on one thread, which is none of
// the callers'; an exception thrown there still leaves the call of the caller it belongs to.
// Every body arrives intact, and connections are reused across callers instead of one per file.
TEST_F(NetworkThread, RunsTheCallbacksOfEveryCallerAndCarriesTheirExceptionsBack) {
    // No more callers than the test server queues connections for (five); more only add a
    // second of waiting for a retried connection.
    constexpr int kCallers = 5;
    constexpr int kFilesEach = 10;
    std::mutex mutex;
    std::set<std::thread::id> callers;
    std::set<std::thread::id> callbackThreads;
    // Notes the thread a callback runs on; gives back the callback's answer.
    auto const note = [&](auto answer) {
        std::lock_guard<std::mutex> lock(mutex);
        callbackThreads.insert(std::this_thread::get_id());
        return answer;
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
                options.shouldCancel = [&] { return note(false); };
                options.receiveRateLimit = [&] { return note(int64_t{0}); };
                options.onHead = [&](Response const&) { return note(true); };
                options.onProgress = [&](uint64_t, uint64_t) { note(0); };
                options.bodySink = [&](char const* data, size_t length) {
                    got.append(data, note(length));
                };
                Request const request(Url(server.url(path)), {}, {});
                EXPECT_EQ(client->download(request, options).error, Response::NoError);
                EXPECT_EQ(got, body) << path;
                // The last file of the first caller: its head receiver throws.
                if (c == 0 && i + 1 == kFilesEach) {
                    options.onHead = [&](Response const&) -> bool {
                        throw Failure(note("head refused on purpose"));
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
    EXPECT_LE(server.connectionCount(), size_t{kCallers});
}

// Over plain HTTP, always HTTP/1.1, a transfer to a host gets a connection of its own at once,
// even while another transfer's connection to that host has not shown its protocol yet: libcurl
// looks again at a transfer that waits to share a connection only when some transfer ends.
TEST_F(NetworkThread, APlainHttpTransferDoesNotWaitForAnotherToTheSameHost) {
    server.addFault("/held", "", HttpTestServer::Fault::StallHead, 0);
    server.addFile("/small", "small");
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
        // Waiting behind the held transfer, this one would get its turn only when the stall
        // timeout ends that one.
        got = fetch(*client, server.url("/small")).body;
        endedFirst = heldEnded;
    }
    release = true;
    held.join();
    EXPECT_TRUE(asked);
    EXPECT_FALSE(endedFirst) << "waited for the other transfer to end";
    EXPECT_EQ(got, "small");
}

// Concurrent downloads from a server that speaks HTTP/2 share one connection.
TEST_F(NetworkThread, MultiplexesConcurrentDownloadsOverOneHttp2Connection) {
    // Where the distributions' packages put it.
    std::string const nginx = "/usr/sbin/nginx";
    if (::access(nginx.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "nginx is not installed";
    }
    Http2Server nginxServer(nginx);
    constexpr int kCallers = 8;
    constexpr int kFilesEach = 5;
    for (int i = 0; i < kCallers * kFilesEach; ++i) {
        std::ofstream(nginxServer.root() + "/f" + std::to_string(i))
            << std::string(4096 + i, static_cast<char>(i));
    }
    HttpClientSettings settings;
    settings.caFile = nginxServer.caFile();
    client = createHttpClient(HttpClientDefault, settings);
    std::vector<std::thread> threads;
    for (int c = 0; c < kCallers; ++c) {
        threads.emplace_back([&, c] {
            for (int i = c; i < kCallers * kFilesEach; i += kCallers) {
                Fetched const got = fetch(*client, nginxServer.url("/f" + std::to_string(i)));
                EXPECT_EQ(got.response.error, Response::NoError) << got.response.errorText;
                EXPECT_EQ(got.body, std::string(4096 + i, static_cast<char>(i)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // nginx logs a request after its answer has gone out, as "<connection> <protocol>": one
    // HTTP/2 connection makes every line the same.
    std::string log;
    EXPECT_TRUE(waitUntil([&] {
        log = nginxServer.accessLog();
        return std::count(log.begin(), log.end(), '\n') >= kCallers * kFilesEach;
    }));
    std::string const first = log.substr(0, log.find('\n') + 1);
    EXPECT_THAT(first, EndsWith(" HTTP/2.0\n"));
    std::string expected;
    for (int i = 0; i < kCallers * kFilesEach; ++i) {
        expected += first;
    }
    EXPECT_EQ(log, expected);
}

}  // namespace
}  // namespace Tiskel::Test
