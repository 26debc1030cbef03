#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Networking/IHttpClient.h"

#include "Networking/Fetch.h"
#include "Support/HttpTestServer.h"
#include "Support/TinyProxy.h"

namespace Tiskel::Test {
namespace {

using Networking::RequestOptions;
using Networking::Response;

class HttpClientSharingTest : public ::testing::Test {
  protected:
    HttpTestServer server;
    std::unique_ptr<Networking::IHttpClient> client =
        Networking::createHttpClient(Networking::HttpClientDefault);
};

TEST_F(HttpClientSharingTest, SequentialRequestsReuseOneConnection) {
    server.addFile("/small", "tiny");
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(fetch(*client, server.url("/small")).response.error, Response::NoError);
    }
    EXPECT_EQ(server.totalRequests(), 20u);
    EXPECT_EQ(server.connectionCount(), 1u);
}

// Many threads downloading many small files at once through one client: every body arrives
// intact, and connections are reused across threads instead of one per file.
TEST_F(HttpClientSharingTest, ConcurrentDownloadsShareFewConnections) {
    constexpr int kThreads = 8;
    constexpr int kFilesPerThread = 25;
    for (int i = 0; i < kThreads * kFilesPerThread; ++i) {
        server.addFile("/f" + std::to_string(i), patternBody(4096 + i, static_cast<uint32_t>(i)));
    }
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kFilesPerThread; ++k) {
                int const i = t * kFilesPerThread + k;
                Fetched const got = fetch(*client, server.url("/f" + std::to_string(i)));
                if (got.response.error != Response::NoError ||
                    got.body != patternBody(4096 + i, static_cast<uint32_t>(i))) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
    }
    EXPECT_EQ(server.totalRequests(), size_t{kThreads * kFilesPerThread});
    EXPECT_LE(server.connectionCount(), size_t{kThreads});
}

class HttpClientProxyTest : public HttpClientSharingTest {
  protected:
    TinyProxy proxy;
};

TEST_F(HttpClientProxyTest, RequestGoesThroughTheGivenProxy) {
    server.addFile("/file", "via proxy");
    RequestOptions options;
    options.proxy = proxy.url();

    Fetched const got = fetch(*client, server.url("/file"), options);

    ASSERT_EQ(got.response.error, Response::NoError) << got.response.errorText;
    EXPECT_EQ(got.body, "via proxy");
    EXPECT_TRUE(proxy.loggedRequestFor(server.url("/file"))) << proxy.log();
    EXPECT_EQ(server.lastRequest("/file").headers.count("Via"), 1u);
}

// Proxy variables of the environment never steer the client: "" is a direct connection, and a
// given proxy is used even for hosts that no_proxy lists.
TEST_F(HttpClientProxyTest, EnvironmentProxySettingsAreIgnored) {
    server.addFile("/file", "direct");
    std::string const deadProxy = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
    ::setenv("http_proxy", deadProxy.c_str(), 1);
    ::setenv("HTTP_PROXY", deadProxy.c_str(), 1);
    ::setenv("no_proxy", "127.0.0.1", 1);

    Fetched const direct = fetch(*client, server.url("/file"));
    RequestOptions viaProxy;
    viaProxy.proxy = proxy.url();
    Fetched const proxied = fetch(*client, server.url("/file"), viaProxy);

    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    ::unsetenv("no_proxy");
    EXPECT_EQ(direct.response.error, Response::NoError) << direct.response.errorText;
    EXPECT_EQ(proxied.response.error, Response::NoError) << proxied.response.errorText;
    EXPECT_TRUE(proxy.loggedRequestFor(server.url("/file"))) << proxy.log();
}

}  // namespace
}  // namespace Tiskel::Test
