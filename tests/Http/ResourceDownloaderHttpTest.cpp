// The HTTP downloader with the real client against a loopback server and a real proxy: files in
// place, the temporary file handled, and each way a download ends with its log line.

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <glog/logging.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"

#include "Support/HttpTestServer.h"
#include "Support/LogCapture.h"
#include "Support/TempDir.h"
#include "Support/TinyProxy.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

using Proxy = Networking::IProxyProvider::Proxy;
using Result = IResourceDownloader::Result;
using Tiskel::Test::HttpTestServer;
using Tiskel::Test::TempDir;

constexpr char kUnit[] = "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp";

struct FixedProxy : Networking::IProxyProvider {
    Proxy getProxy(std::string const& /*url*/) const override { return proxy; }
    Proxy proxy;
};

class HttpDownloaderTest : public testing::Test {
  protected:
    HttpDownloaderTest() {
        descriptor.downloadPath = dir.ioFile("res.bin");
        descriptor.tempPath = dir.ioFile("res.tmp");
        descriptor.baseUrl = server.baseUrl();
        descriptor.remotePath = "/pack/res.bin";
        dir.write("res.bin", "old content");
    }

    Result download(IResourceDownloader const& downloader) {
        return downloader.exec({&descriptor,
                                [this](uint64_t done, uint64_t total) {
                                    progress.emplace_back(done, total);
                                    if (duringTransfer) {
                                        duringTransfer();
                                    }
                                },
                                [this] { return cancelTask.load(); }});
    }
    std::string resourceUrl() const { return descriptor.baseUrl + descriptor.remotePath; }
    std::string downloaded() const { return TempDir::read(descriptor.downloadPath.string()); }

    TempDir dir;
    HttpTestServer server;
    Tiskel::Test::LogCapture log;
    ResourceDescriptor descriptor;
    std::atomic<bool> cancelTask{false};
    // Runs on each progress report, that is while the body arrives.
    std::function<void()> duringTransfer;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    std::shared_ptr<Networking::IHttpClient> client =
        Networking::createHttpClient(Networking::HttpClientDefault);
    std::shared_ptr<FixedProxy> proxy = std::make_shared<FixedProxy>();
    std::shared_ptr<NetworkStateEmulator> network =
        std::make_shared<NetworkStateEmulator>(dir.ioFile("offline-marker"));
    ResourceDownloaderHttp downloader{client, proxy, network};
};

TEST_F(HttpDownloaderTest, DownloadsReplaceTheFileWithProgressOverOneConnection) {
    std::string const body(2 * 1024 * 1024 + 3, 'x');
    server.addFile("/pack/res.bin", body);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(download(downloader), Result::Success);
        EXPECT_EQ(downloaded(), body);
        EXPECT_FALSE(fileExists(descriptor.tempPath));
        EXPECT_EQ(progress.back(), std::make_pair(uint64_t{body.size()}, uint64_t{body.size()}));
    }
    EXPECT_EQ(server.requestCount("/pack/res.bin"), 10u);
    EXPECT_EQ(server.connectionCount(), 1u);
    EXPECT_EQ(log.textsFrom(kUnit), std::vector<std::string>(10, "HTTP download=" + resourceUrl()));
}

TEST_F(HttpDownloaderTest, LastModifiedIsTheServersFileTime) {
    int64_t const fileTime = fileLastModifiedTime(ioPath(dir.write("server-copy.bin", "abc")));
    server.addFile("/pack/res.bin", "abc", fileTime);
    EXPECT_EQ(downloader.requestLastModified(&descriptor), fileTime);

    descriptor.remotePath = "/missing.bin";
    EXPECT_EQ(downloader.requestLastModified(&descriptor), -1);
    EXPECT_TRUE(log.textsFrom(kUnit).empty());
}

// Each failed download keeps the old file, leaves no temporary file and logs one line after the
// start line: INFO for a cancellation, WARNING otherwise.
TEST_F(HttpDownloaderTest, EachWayADownloadFailsHasItsResultAndLogLine) {
    HttpTestServer tls(HttpTestServer::Scheme::HttpsSelfSigned);
    std::string const offline = " (App OFFLINE mode activated!)";
    std::string const stall = server.url("/stall");
    struct Row {
        std::string baseUrl;
        std::function<void()> during;  // run once the transfer stalls
        Result result;
        std::string line;  // how it starts; the offline note only where it must show
    } const rows[] = {
        {server.baseUrl(), nullptr, Result::Failed, "failed with error=HTTP 404"},
        {"http://127.0.0.1:" + std::to_string(Tiskel::Test::freeLoopbackPort()), nullptr,
         Result::ConnectionLost, "failed with error="},
        {server.url("/short"), nullptr, Result::ConnectionLost, "failed with error="},
        {tls.baseUrl(), nullptr, Result::Failed, "failed with error="},
        {stall, [this] { cancelTask = true; }, Result::Cancelled, "was cancelled."},
        {stall, [this] { dir.write("offline-marker", ""); }, Result::ConnectionLost,
         "failed with error=cancelled" + offline},
        {stall, [this] { downloader.abort(); }, Result::Cancelled, "was cancelled."},
    };
    server.addStatus("/pack/res.bin", 404);
    tls.addFile("/pack/res.bin", "secret");
    server.addFault("/short/pack/res.bin", std::string(100000, 's'),
                    HttpTestServer::Fault::ShortBody, 40000);
    server.addFault("/stall/pack/res.bin", std::string(100000, 's'), HttpTestServer::Fault::Stall,
                    30000);
    for (Row const& row : rows) {
        descriptor.baseUrl = row.baseUrl;
        SCOPED_TRACE(row.baseUrl + " " + row.line);
        log.clear();
        duringTransfer = row.during;
        EXPECT_EQ(download(downloader), row.result);
        std::filesystem::remove(dir.file("offline-marker"));
        cancelTask = false;
        std::vector<Tiskel::Test::LogLine> const lines = log.lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1].severity,
                  row.result == Result::Cancelled ? google::GLOG_INFO : google::GLOG_WARNING);
        EXPECT_THAT(lines[1].text,
                    testing::StartsWith("request=" + resourceUrl() + " " + row.line));
        EXPECT_EQ(testing::Value(lines[1].text, testing::EndsWith(offline)),
                  row.line.find(offline) != std::string::npos);
        EXPECT_EQ(downloaded(), "old content");
        EXPECT_FALSE(fileExists(descriptor.tempPath));
    }
    // An aborted downloader cancels every later download.
    server.addFile("/stall/pack/res.bin", "new content");
    EXPECT_EQ(download(downloader), Result::Cancelled);
    EXPECT_EQ(downloaded(), "old content");
}

struct MockClient : Networking::IHttpClient {
    MOCK_METHOD(Networking::Response, download,
                (Networking::Request const&, Networking::RequestOptions const&), (override));
    MOCK_METHOD(Networking::Response, head,
                (Networking::Request const&, Networking::RequestOptions const&), (override));
};

TEST_F(HttpDownloaderTest, ProxyBecomesAUrlWithALongerConnectTimeOut) {
    using testing::Field;
    auto mock = std::make_shared<testing::StrictMock<MockClient>>();
    ResourceDownloaderHttp mocked{mock, proxy, network};
    std::pair<Proxy, std::string> const cases[] = {
        {{}, ""},
        {{Proxy::Http, "p.lan", 3128}, "http://p.lan:3128"},
        {{Proxy::Https, "s.lan", 443}, "https://s.lan:443"},
        {{Proxy::Socks4, "o.lan", 1081}, "socks4://o.lan:1081"},
        {{Proxy::Socks5, "s.lan", 1080}, "socks5://s.lan:1080"},
        {{static_cast<Proxy::Type>(9), "odd.lan", 1}, ""},
    };
    for (auto const& [given, url] : cases) {
        proxy->proxy = given;
        EXPECT_CALL(*mock,
                    head(testing::_,
                         testing::AllOf(Field(&Networking::RequestOptions::proxy, url),
                                        Field(&Networking::RequestOptions::connectTimeoutSeconds,
                                              url.empty() ? 5 : 20))));
        mocked.requestLastModified(&descriptor);
    }
}

// Through a real proxy named by the environment, as the system proxy provider reads it: an
// entry that wants credentials is skipped for a direct connection.
TEST_F(HttpDownloaderTest, DownloadGoesThroughTheSystemProxyUnlessItWantsCredentials) {
    Tiskel::Test::TinyProxy tinyProxy;
    ResourceDownloaderHttp systemProxied{client, std::make_shared<QtProxyProvider>(), network};
    server.addFile("/pack/res.bin", "new content");
    ::unsetenv("no_proxy");
    for (std::string const user : {"user@", ""}) {
        ::setenv("http_proxy", ("http://" + user + tinyProxy.address()).c_str(), 1);
        EXPECT_EQ(download(systemProxied), Result::Success) << user;
        EXPECT_EQ(downloaded(), "new content");
        EXPECT_EQ(tinyProxy.loggedRequestFor(resourceUrl()), user.empty()) << tinyProxy.log();
    }
    ::unsetenv("http_proxy");
}

}  // namespace
}  // namespace Tiskel::App
