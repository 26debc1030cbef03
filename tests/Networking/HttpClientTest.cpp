#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Networking/IHttpClient.h"

#include "Networking/Fetch.h"
#include "Support/HttpTestServer.h"
#include "Support/Wait.h"

namespace Tiskel::Test {
namespace {

using Networking::Request;
using Networking::RequestOptions;
using Networking::Response;
using Networking::Url;
using ::testing::HasSubstr;

class HttpClientTest : public ::testing::Test {
  protected:
    // The server is declared first so that the client, and its open connections, go first.
    HttpTestServer server;
    std::unique_ptr<Networking::IHttpClient> client =
        Networking::createHttpClient(Networking::HttpClientDefault);
};

// A listening socket whose accept queue is full, so that further connection attempts get no
// answer at all and can only time out.
class UnansweredListener {
  public:
    UnansweredListener() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 0) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot set up the listener");
        }
        port = ntohs(address.sin_port);
        for (int i = 0; i < 3; ++i) {
            int const filler = ::socket(AF_INET, SOCK_STREAM, 0);
            ::fcntl(filler, F_SETFL, O_NONBLOCK);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fillers.push_back(filler);
        }
    }
    ~UnansweredListener() {
        for (int fd : fillers) {
            ::close(fd);
        }
        ::close(listener);
    }
    int port = 0;

  private:
    int listener = -1;
    std::vector<int> fillers;
};

TEST_F(HttpClientTest, StreamsTheBodyInPiecesWithProgress) {
    std::string const body = patternBody(3 * 1024 * 1024 + 17);
    server.addFile("/big.bin", body);

    Fetched const got = fetch(*client, server.url("/big.bin"));

    ASSERT_EQ(got.response.error, Response::NoError) << got.response.errorText;
    EXPECT_EQ(got.response.httpStatus, 200);
    EXPECT_TRUE(got.response.errorText.empty());
    EXPECT_EQ(got.body, body);
    EXPECT_GT(got.pieces, 1u);
    ASSERT_EQ(got.progress.size(), got.pieces);
    uint64_t previous = 0;
    for (auto const& [received, expected] : got.progress) {
        EXPECT_GT(received, previous);
        EXPECT_EQ(expected, body.size());
        previous = received;
    }
    EXPECT_EQ(got.progress.back().first, body.size());
}

TEST_F(HttpClientTest, ReportsLastModifiedFromGetAndHead) {
    server.addFile("/dated", "abc", 1600000000);
    server.addFile("/undated", "abc");
    server.addStatus("/missing", 404);

    EXPECT_EQ(fetch(*client, server.url("/dated")).response.getLastModified(), 1600000000);

    bool gotData = false;
    RequestOptions options;
    options.onData = [&gotData](std::string) { gotData = true; };
    Response const head = client->head(Request(Url(server.url("/dated")), {}, {}), options);
    EXPECT_EQ(head.error, Response::NoError) << head.errorText;
    EXPECT_EQ(head.getLastModified(), 1600000000);
    EXPECT_FALSE(gotData);
    EXPECT_EQ(server.lastRequest("/dated").method, "HEAD");

    EXPECT_EQ(client->head(Request(Url(server.url("/undated")), {}, {}), {}).getLastModified(), -1);
    Response const missing = client->head(Request(Url(server.url("/missing")), {}, {}), {});
    EXPECT_EQ(missing.error, Response::HttpStatus);
    EXPECT_EQ(missing.getLastModified(), -1);
}

TEST_F(HttpClientTest, HttpErrorStatusesFailWithoutDeliveringTheErrorPage) {
    for (int status : {404, 500}) {
        server.addStatus("/status", status);
        Fetched const got = fetch(*client, server.url("/status"));
        EXPECT_EQ(got.response.error, Response::HttpStatus);
        EXPECT_EQ(got.response.errorText, "HTTP " + std::to_string(status));
        EXPECT_EQ(got.response.httpStatus, status);
        EXPECT_TRUE(got.body.empty());
    }
}

TEST_F(HttpClientTest, UnreachableHostsAreConnectFailures) {
    Fetched const refused =
        fetch(*client, "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/x");
    EXPECT_EQ(refused.response.error, Response::CouldNotConnect) << refused.response.errorText;
    EXPECT_FALSE(refused.response.errorText.empty());

    Fetched const unknown = fetch(*client, "http://no-such-host.invalid/x");
    EXPECT_EQ(unknown.response.error, Response::CouldNotConnect) << unknown.response.errorText;

    server.addFile("/file", "abc");
    RequestOptions deadProxy;
    deadProxy.proxy = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
    Fetched const proxied = fetch(*client, server.url("/file"), deadProxy);
    EXPECT_EQ(proxied.response.error, Response::CouldNotConnect) << proxied.response.errorText;
    EXPECT_EQ(server.totalRequests(), 0u);
}

TEST_F(HttpClientTest, ConnectTimeOutIsAConnectFailure) {
    UnansweredListener silent;
    RequestOptions options;
    options.connectTimeoutSeconds = 1;
    auto const start = std::chrono::steady_clock::now();

    Fetched const got =
        fetch(*client, "http://127.0.0.1:" + std::to_string(silent.port) + "/x", options);

    EXPECT_EQ(got.response.error, Response::CouldNotConnect) << got.response.errorText;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST_F(HttpClientTest, BrokenTransfersAreLostConnections) {
    std::string const body = patternBody(200000);
    server.addFault("/short", body, HttpTestServer::Fault::ShortBody, 50000);
    server.addFault("/dropped", body, HttpTestServer::Fault::Drop, 50000);

    Fetched const shortBody = fetch(*client, server.url("/short"));
    EXPECT_EQ(shortBody.response.error, Response::ConnectionLost) << shortBody.response.errorText;
    EXPECT_EQ(shortBody.body, body.substr(0, 50000));

    Fetched const dropped = fetch(*client, server.url("/dropped"));
    EXPECT_EQ(dropped.response.error, Response::ConnectionLost) << dropped.response.errorText;
}

// Silence for the stall time-out is a lost connection; the whole-transfer limit is a failure of
// its own.
TEST_F(HttpClientTest, TimeLimitsOnceConnected) {
    server.addFault("/stall", patternBody(100000), HttpTestServer::Fault::Stall, 1000);
    RequestOptions stall;
    stall.stallTimeoutMilliseconds = 300;
    Fetched const stalled = fetch(*client, server.url("/stall"), stall);
    EXPECT_EQ(stalled.response.error, Response::ConnectionLost);
    EXPECT_EQ(stalled.response.errorText, "no data received for 300 ms");

    RequestOptions whole;
    whole.stallTimeoutMilliseconds = 0;
    // Long enough for a loaded machine to connect: a limit hit while connecting is a connect
    // failure.
    whole.transferTimeoutMicroseconds = 1000000;
    EXPECT_EQ(fetch(*client, server.url("/stall"), whole).response.error, Response::TimedOut);
}

TEST_F(HttpClientTest, CancellationBeforeTheStartSendsNothing) {
    server.addFile("/file", "abc");
    RequestOptions options;
    options.shouldCancel = [] { return true; };

    Fetched const got = fetch(*client, server.url("/file"), options);

    EXPECT_EQ(got.response.error, Response::Cancelled);
    EXPECT_EQ(server.requestCount("/file"), 0u);
}

TEST_F(HttpClientTest, CancellationStopsAStalledTransferPromptly) {
    server.addFault("/stall", patternBody(100000), HttpTestServer::Fault::Stall, 1000);
    std::atomic<bool> cancel{false};
    std::atomic<int64_t> cancelledAtNs{0};
    std::thread canceller([&] {
        waitUntil([&] { return server.stalledNow() == 1; });
        cancelledAtNs = std::chrono::steady_clock::now().time_since_epoch().count();
        cancel = true;
    });
    RequestOptions options;
    options.shouldCancel = [&cancel] { return cancel.load(); };

    Fetched const got = fetch(*client, server.url("/stall"), options);
    auto const returnedAt = std::chrono::steady_clock::now().time_since_epoch().count();
    canceller.join();

    EXPECT_EQ(got.response.error, Response::Cancelled);
    EXPECT_EQ(got.response.errorText, "cancelled");
    EXPECT_LT(std::chrono::nanoseconds(returnedAt - cancelledAtNs.load()),
              std::chrono::milliseconds(2500));
}

TEST_F(HttpClientTest, RedirectsAreFollowedUpToTheLimit) {
    server.addFile("/target", "payload");
    server.addRedirect("/hop1", "/target");
    server.addRedirect("/loopA", "/loopB");
    server.addRedirect("/loopB", "/loopA");

    Fetched const followed = fetch(*client, server.url("/hop1"));
    EXPECT_EQ(followed.response.error, Response::NoError) << followed.response.errorText;
    EXPECT_EQ(followed.body, "payload");

    Fetched const loop = fetch(*client, server.url("/loopA"));
    EXPECT_EQ(loop.response.error, Response::TooManyRedirects);
    EXPECT_FALSE(loop.response.errorText.empty());
    // The first request plus three followed redirects.
    EXPECT_EQ(server.requestCount("/loopA") + server.requestCount("/loopB"), 4u);

    RequestOptions noFollow;
    noFollow.followRedirects = 0;
    Fetched const unfollowed = fetch(*client, server.url("/hop1"), noFollow);
    EXPECT_EQ(unfollowed.response.error, Response::HttpStatus);
    EXPECT_EQ(unfollowed.response.errorText, "HTTP 302");
    EXPECT_TRUE(unfollowed.body.empty());
}

TEST_F(HttpClientTest, MalformedAddressesAreRejectedBeforeConnecting) {
    for (char const* url : {"", "not a url", "/relative/path", "127.0.0.1/file", "http:///file",
                            "http:/127.0.0.1/file", "http://exa mple.com/",
                            "nosuchscheme://host/file", "ftp://127.0.0.1/file"}) {
        EXPECT_EQ(fetch(*client, url).response.error, Response::InvalidUrl) << url;
    }

    server.addFile("/file", "abc");
    RequestOptions badProxy;
    badProxy.proxy = "gopher://127.0.0.1:70";
    Fetched const got = fetch(*client, server.url("/file"), badProxy);
    EXPECT_EQ(got.response.error, Response::InvalidUrl);
    EXPECT_THAT(got.response.errorText, HasSubstr("gopher://127.0.0.1:70"));
    EXPECT_EQ(server.totalRequests(), 0u);
}

TEST(HttpClientTls, SelfSignedCertificateIsRefused) {
    HttpTestServer server(HttpTestServer::Scheme::HttpsSelfSigned);
    server.addFile("/file", "secret");
    auto client = Networking::createHttpClient(Networking::HttpClientDefault);

    Fetched const got = fetch(*client, server.url("/file"));

    EXPECT_EQ(got.response.error, Response::TlsFailure);
    EXPECT_THAT(got.response.errorText, HasSubstr("certificate"));
    EXPECT_TRUE(got.body.empty());
    EXPECT_EQ(server.totalRequests(), 0u);
}

TEST_F(HttpClientTest, SendsGivenHeadersAndExtraAsQueryParameters) {
    server.addFile("/file", "abc");
    // Header names are one whatever their case; the last value given wins.
    Networking::HeaderMap headers{{"X-Trace", "41"}};
    headers["x-trace"] = "42";
    std::map<std::string, std::string> extra{{"name", "a b&c"}, {"v", "1"}};

    Response const response =
        client->download(Request(Url(server.url("/file?x=y")), headers, extra), {});

    ASSERT_EQ(response.error, Response::NoError) << response.errorText;
    auto const seen = server.lastRequest("/file");
    ASSERT_EQ(seen.headers.count("X-Trace"), 1u);
    EXPECT_EQ(seen.headers.find("X-Trace")->second, "42");
    EXPECT_EQ(seen.query.find("x")->second, "y");
    EXPECT_EQ(seen.query.find("name")->second, "a b&c");
    EXPECT_EQ(seen.query.find("v")->second, "1");
}

TEST_F(HttpClientTest, ExceptionFromACallbackLeavesTheCallAndTheClientStaysUsable) {
    server.addFile("/file", patternBody(100000));
    RequestOptions throwing;
    throwing.onData = [](std::string) { throw std::runtime_error("disk full"); };

    EXPECT_THROW(client->download(Request(Url(server.url("/file")), {}, {}), throwing),
                 std::runtime_error);

    EXPECT_EQ(fetch(*client, server.url("/file")).response.error, Response::NoError);
}

}  // namespace
}  // namespace Tiskel::Test
