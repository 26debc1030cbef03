// The HTTP client against loopback servers: bodies and progress, Last-Modified, each class of
// failure, cancellation, and one client shared by many threads.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Networking/IHttpClient.h"

#include "Support/HttpTestServer.h"

namespace Tiskel::Test {
namespace {

using namespace Networking;
using Fault = HttpTestServer::Fault;

struct Fetched {
    Response response;
    std::string body;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
};

Fetched fetch(Networking::IHttpClient& client, std::string const& url,
              RequestOptions options = {}) {
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
    std::unique_ptr<Networking::IHttpClient> client =
        Networking::createHttpClient(Networking::HttpClientDefault);
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
    for (size_t i = 1; i < got.progress.size(); ++i) {
        EXPECT_GT(got.progress[i].first, got.progress[i - 1].first);
        EXPECT_EQ(got.progress[i].second, body.size());
    }
    EXPECT_EQ(got.progress.back().first, body.size());
    EXPECT_EQ(got.response.getLastModified(), 1600000000);

    server.addFile("/undated", "abc");
    RequestOptions noBody;
    noBody.onData = [](std::string) { ADD_FAILURE() << "HEAD delivered a body"; };
    Response const head = client->head(Request(Url(server.url("/big.bin")), {}, {}), noBody);
    EXPECT_EQ(head.getLastModified(), 1600000000) << head.errorText;
    EXPECT_EQ(client->head(Request(Url(server.url("/undated")), {}, {}), {}).getLastModified(), -1);
}

TEST_F(HttpClientTest, EachFailureEndsInItsErrorClassWithAText) {
    HttpTestServer tls(HttpTestServer::Scheme::HttpsSelfSigned);
    tls.addFile("/file", "secret");
    server.addFile("/file", "abc");
    server.addFault("/short", patternBody(200000), Fault::ShortBody, 50000);
    server.addFault("/dropped", patternBody(200000), Fault::Drop, 50000);
    server.addFault("/stall", patternBody(200000), Fault::Stall, 1000);
    server.addStatus("/500", 500);
    server.addRedirect("/loopA", "/loopB");
    server.addRedirect("/loopB", "/loopA");
    std::string const nowhere = "127.0.0.1:" + std::to_string(freeLoopbackPort());
    struct Case {
        std::string url;
        int32_t error;
        std::string text = "";  // part of the error text
        std::string proxy = "";
    };
    std::vector<Case> cases = {
        {"http://" + nowhere + "/x", Response::CouldNotConnect},
        {server.url("/file"), Response::CouldNotConnect, "", "http://" + nowhere},
        {server.url("/short"), Response::ConnectionLost},
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
        Fetched const got = fetch(*client, c.url, options);
        EXPECT_EQ(got.response.error, c.error) << got.response.errorText;
        EXPECT_NE(got.response.errorText, "");
        EXPECT_THAT(got.response.errorText, ::testing::HasSubstr(c.text));
        if (c.error != Response::ConnectionLost) {
            EXPECT_EQ(got.body, "");  // no error page
        }
    }
    // Nothing went past a dead or malformed proxy, and a loop ends after three redirects.
    EXPECT_EQ(server.requestCount("/file"), 0u);
    EXPECT_EQ(server.requestCount("/loopA") + server.requestCount("/loopB"), 4u);
    EXPECT_EQ(tls.requestCount("/file"), 0u);
}

TEST_F(HttpClientTest, CancellationStopsBeforeTheStartAndDuringAStall) {
    server.addFile("/file", "abc");
    RequestOptions always;
    always.shouldCancel = [] { return true; };
    EXPECT_EQ(fetch(*client, server.url("/file"), always).response.error, Response::Cancelled);
    EXPECT_EQ(server.requestCount("/file"), 0u);

    // Without the cancellation the stall would only end after the 20 s stall time-out.
    server.addFault("/stall", patternBody(100000), Fault::Stall, 1000);
    RequestOptions onStall;
    onStall.shouldCancel = [this] { return server.stalledNow() == 1; };
    auto const start = std::chrono::steady_clock::now();
    Fetched const got = fetch(*client, server.url("/stall"), onStall);
    EXPECT_EQ(got.response.error, Response::Cancelled);
    EXPECT_EQ(got.response.errorText, "cancelled");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Many threads downloading many small files at once through one client: every body arrives
// intact, and connections are reused across threads instead of one per file.
TEST_F(HttpClientTest, ConcurrentDownloadsShareFewConnections) {
    // No more threads than the test server queues connections for (five); more only add a
    // second of waiting for a retried connection.
    constexpr int kThreads = 5;
    constexpr int kFilesPerThread = 40;
    for (int i = 0; i < kThreads * kFilesPerThread; ++i) {
        server.addFile("/f" + std::to_string(i), std::string(4096 + i, static_cast<char>(i)));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t * kFilesPerThread; i < (t + 1) * kFilesPerThread; ++i) {
                Fetched const got = fetch(*client, server.url("/f" + std::to_string(i)));
                EXPECT_EQ(got.response.error, Response::NoError) << got.response.errorText;
                EXPECT_EQ(got.body, std::string(4096 + i, static_cast<char>(i))) << i;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_LE(server.connectionCount(), size_t{kThreads});
}

}  // namespace
}  // namespace Tiskel::Test
