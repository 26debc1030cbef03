// The HTTP client against loopback servers: bodies and progress, Last-Modified, each class of
// failure, cancellation, and one client shared by many threads.

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "Platform/Networking/IHttpClient.h"

#include "Support/HttpTestServer.h"

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

    // HEAD gives the date without a body (a file without a date, -1, is in the HTTP downloader's
    // tests).
    RequestOptions noBody;
    noBody.onData = [](std::string) { ADD_FAILURE() << "HEAD delivered a body"; };
    Response const head = client->head(Request(Url(server.url("/big.bin")), {}, {}), noBody);
    EXPECT_EQ(head.getLastModified(), 1600000000) << head.errorText;
}

TEST_F(HttpClientTest, EachFailureEndsInItsErrorClassWithAText) {
    HttpTestServer tls(HttpTestServer::Scheme::HttpsSelfSigned);
    tls.addFile("/file", "secret");
    server.addFile("/file", "abc");
    server.addFault("/short", patternBody(200000), HttpTestServer::Fault::ShortBody, 50000);
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
        {"http://" + nowhere + "/x", Response::CouldNotConnect},
        {server.url("/file"), Response::CouldNotConnect, "", "http://" + nowhere},
        {server.url("/file"), Response::Cancelled, "cancelled", "", [] { return true; }},
        // Before the stall below, which stays held until the server stops.
        {server.url("/stall"), Response::Cancelled, "cancelled", "",
         [this] { return server.stalledNow() == 1; }},
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
        {"%zz", "%25zz"},
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

// Many threads downloading many small files at once through one client: every body arrives
// intact, and connections are reused across threads instead of one per file.
TEST_F(HttpClientTest, ConcurrentDownloadsShareFewConnections) {
    // No more threads than the test server queues connections for (five); more only add a
    // second of waiting for a retried connection.
    constexpr int kThreads = 5;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // 200 files, each thread taking every fifth.
            for (int i = t; i < 200; i += kThreads) {
                std::string const body(4096 + i, static_cast<char>(i));
                server.addFile("/f" + std::to_string(i), body);
                EXPECT_EQ(fetch(*client, server.url("/f" + std::to_string(i))).body, body) << i;
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
