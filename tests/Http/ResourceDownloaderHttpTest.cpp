// The downloader with the real HTTP client against a loopback server: files in place, the
// temporary file handled, and each way a download can end, with its log line.

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
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

using ::testing::EndsWith;
using ::testing::StartsWith;
using Tiskel::Test::HttpTestServer;
using Result = IResourceDownloader::Result;

constexpr char kUnit[] = "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp";

std::string patterned(size_t size) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        content[i] = static_cast<char>(i * 131 + i / 7);
    }
    return content;
}

class NoProxy : public Networking::IProxyProvider {
  public:
    Proxy getProxy(std::string const& /*url*/) const override { return {}; }
};

class HttpDownloaderTest : public testing::Test {
  protected:
    HttpDownloaderTest() {
        std::filesystem::create_directories(dir.file("local"));
        descriptor.localPath = dir.file("local/res.bin");
        descriptor.tempPath = dir.file("local/res.tmp");
        descriptor.downloadPath = dir.file("local/res.bin");
        descriptor.baseUrl = server.baseUrl();
        descriptor.remotePath = "/pack/res.bin";
        dir.write("local/res.bin", "old content");
    }

    std::string resourceUrl() const { return server.url("/pack/res.bin"); }

    IResourceDownloader::Task task() {
        IResourceDownloader::Task result;
        result.descriptor = &descriptor;
        // The client calls back on the thread running exec.
        result.onProgress = [this](uint64_t received, uint64_t total) {
            progress.emplace_back(received, total);
        };
        result.isCancelled = [this] { return cancelTask.load(); };
        return result;
    }

    // The downloader's log lines after the start line, which every download writes first.
    std::vector<Tiskel::Test::LogLine> linesAfterStart() {
        std::vector<Tiskel::Test::LogLine> lines;
        for (auto const& line : log.lines()) {
            if (line.file == kUnit) {
                lines.push_back(line);
            }
        }
        EXPECT_FALSE(lines.empty());
        if (lines.empty()) {
            return lines;
        }
        EXPECT_EQ(lines.front().text, "HTTP download=" + resourceUrl());
        EXPECT_EQ(lines.front().severity, google::GLOG_INFO);
        lines.erase(lines.begin());
        return lines;
    }

    void expectOldFileKept() {
        EXPECT_EQ(Tiskel::Test::TempDir::read(descriptor.downloadPath.string()), "old content");
        EXPECT_FALSE(fileExists(descriptor.tempPath));
    }

    // When the server holds the transfer in a stall, runs `action` on another thread.
    std::thread onStall(std::function<void()> action) {
        return std::thread([this, action = std::move(action)] {
            Tiskel::Test::waitUntil([this] { return server.stalledNow() == 1; });
            action();
        });
    }

    Tiskel::Test::TempDir dir;
    HttpTestServer server;
    Tiskel::Test::LogCapture log;
    ResourceDescriptor descriptor;
    std::atomic<bool> cancelTask{false};
    std::vector<std::pair<uint64_t, uint64_t>> progress;
    std::shared_ptr<Networking::IHttpClient> client =
        Networking::createHttpClient(Networking::HttpClientDefault);
    std::shared_ptr<NetworkStateEmulator> network =
        std::make_shared<NetworkStateEmulator>(ioPath(dir.file("offline-marker")));
    ResourceDownloaderHttp downloader{client, std::make_shared<NoProxy>(), network};
};

TEST_F(HttpDownloaderTest, DownloadReplacesTheFileAndReportsProgress) {
    std::string const body = patterned(2 * 1024 * 1024 + 3);
    server.addFile("/pack/res.bin", body);

    EXPECT_EQ(downloader.exec(task()), Result::Success);

    EXPECT_EQ(Tiskel::Test::TempDir::read(descriptor.downloadPath.string()), body);
    EXPECT_FALSE(fileExists(descriptor.tempPath));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(uint64_t{body.size()}, uint64_t{body.size()}));
    EXPECT_TRUE(linesAfterStart().empty());
}

TEST_F(HttpDownloaderTest, LastModifiedMatchesTheFilesOwnClock) {
    std::string const original = dir.write("server-copy.bin", "abc");
    int64_t const fileTime = fileLastModifiedTime(ioPath(original));
    server.addFile("/pack/res.bin", "abc", fileTime);

    EXPECT_EQ(downloader.requestLastModified(&descriptor), fileTime);
    EXPECT_EQ(server.lastRequest("/pack/res.bin").method, "HEAD");

    descriptor.remotePath = "/missing.bin";
    EXPECT_EQ(downloader.requestLastModified(&descriptor), -1);
    EXPECT_TRUE(log.textsFrom(kUnit).empty());
}

TEST_F(HttpDownloaderTest, NotFoundFailsAndKeepsTheOldFile) {
    server.addStatus("/pack/res.bin", 404);

    EXPECT_EQ(downloader.exec(task()), Result::Failed);

    auto const lines = linesAfterStart();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "request=" + resourceUrl() + " failed with error=HTTP 404");
    EXPECT_EQ(lines[0].severity, google::GLOG_WARNING);
    expectOldFileKept();
}

TEST_F(HttpDownloaderTest, BrokenConnectionsAreLostConnections) {
    server.addFault("/pack/res.bin", patterned(100000), HttpTestServer::Fault::ShortBody, 40000);
    EXPECT_EQ(downloader.exec(task()), Result::ConnectionLost);
    expectOldFileKept();

    descriptor.baseUrl = "http://127.0.0.1:" + std::to_string(Tiskel::Test::freeLoopbackPort());
    log.clear();
    EXPECT_EQ(downloader.exec(task()), Result::ConnectionLost);
    auto const lines = log.textsFrom(kUnit);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[1],
                StartsWith("request=" + descriptor.baseUrl + "/pack/res.bin failed with error="));
    EXPECT_THAT(lines[1], ::testing::Not(EndsWith("(App OFFLINE mode activated!)")));
    expectOldFileKept();
}

TEST_F(HttpDownloaderTest, CancelledByTheTask) {
    server.addFault("/pack/res.bin", patterned(100000), HttpTestServer::Fault::Stall, 30000);
    std::thread canceller = onStall([this] { cancelTask = true; });

    EXPECT_EQ(downloader.exec(task()), Result::Cancelled);
    canceller.join();

    auto const lines = linesAfterStart();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "request=" + resourceUrl() + " was cancelled.");
    EXPECT_EQ(lines[0].severity, google::GLOG_INFO);
    expectOldFileKept();
}

TEST_F(HttpDownloaderTest, AbortStopsTheRunningAndEveryLaterDownload) {
    server.addFault("/pack/res.bin", patterned(100000), HttpTestServer::Fault::Stall, 30000);
    std::thread aborter = onStall([this] { downloader.abort(); });

    EXPECT_EQ(downloader.exec(task()), Result::Cancelled);
    aborter.join();
    expectOldFileKept();

    server.addFile("/pack/res.bin", "new content");
    log.clear();
    EXPECT_EQ(downloader.exec(task()), Result::Cancelled);
    EXPECT_EQ(log.textsFrom(kUnit).back(), "request=" + resourceUrl() + " was cancelled.");
    expectOldFileKept();
}

TEST_F(HttpDownloaderTest, GoingOfflineStopsTheTransfer) {
    server.addFault("/pack/res.bin", patterned(100000), HttpTestServer::Fault::Stall, 30000);
    std::thread offline = onStall([this] { dir.write("offline-marker", ""); });

    EXPECT_EQ(downloader.exec(task()), Result::ConnectionLost);
    offline.join();

    auto const lines = linesAfterStart();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "request=" + resourceUrl() +
                                 " failed with error=cancelled (App OFFLINE mode activated!)");
    EXPECT_EQ(lines[0].severity, google::GLOG_WARNING);
    expectOldFileKept();
}

// File problems end in Failed with the file helpers' own lines and nothing else.
TEST_F(HttpDownloaderTest, FileProblemsFail) {
    std::string const files = "App/ResourceDownloadManager/FileUtils";
    server.addFile("/pack/res.bin", "new content");
    // A directory with something in it can neither be cleared away nor renamed over.
    dir.write("local/res.tmp/inside", "x");
    EXPECT_EQ(downloader.exec(task()), Result::Failed);
    // Once when the download starts, once more when it gives up.
    std::string const removeFailed = "Failed to remove file=" + descriptor.tempPath.string();
    EXPECT_EQ(log.textsFrom(files), (std::vector<std::string>{removeFailed, removeFailed}));
    EXPECT_EQ(server.totalRequests(), 0u);

    descriptor.tempPath = dir.file("no-such-folder/res.tmp");
    EXPECT_EQ(downloader.exec(task()), Result::Failed);
    EXPECT_EQ(server.totalRequests(), 0u);

    descriptor.tempPath = dir.file("local/other.tmp");
    std::filesystem::remove(descriptor.downloadPath.string());
    dir.write("local/res.bin/inside", "x");
    log.clear();
    EXPECT_EQ(downloader.exec(task()), Result::Failed);
    EXPECT_EQ(log.textsFrom(files),
              std::vector<std::string>{"Failed to rename: " + descriptor.tempPath.string() +
                                       " -> " + descriptor.downloadPath.string()});
    EXPECT_EQ(log.textsFrom(kUnit).size(), 1u);  // the start line only
    EXPECT_FALSE(fileExists(descriptor.tempPath));
}

TEST_F(HttpDownloaderTest, SelfSignedServerLeavesNothingInPlace) {
    HttpTestServer tlsServer(HttpTestServer::Scheme::HttpsSelfSigned);
    tlsServer.addFile("/pack/res.bin", "secret");
    descriptor.baseUrl = tlsServer.baseUrl();

    EXPECT_EQ(downloader.exec(task()), Result::Failed);
    expectOldFileKept();
}

// Through a real proxy named by the environment, as the system proxy provider reads it.
class HttpDownloaderProxyTest : public HttpDownloaderTest {
  protected:
    HttpDownloaderProxyTest() { ::unsetenv("no_proxy"); }
    ~HttpDownloaderProxyTest() override { ::unsetenv("http_proxy"); }
    Tiskel::Test::TinyProxy proxy;
    ResourceDownloaderHttp systemProxied{client, std::make_shared<QtProxyProvider>(), network};
};

TEST_F(HttpDownloaderProxyTest, DownloadGoesThroughTheSystemProxy) {
    server.addFile("/pack/res.bin", "through the proxy");
    ::setenv("http_proxy", proxy.url().c_str(), 1);

    EXPECT_EQ(systemProxied.exec(task()), Result::Success);

    EXPECT_EQ(Tiskel::Test::TempDir::read(descriptor.downloadPath.string()), "through the proxy");
    EXPECT_TRUE(Tiskel::Test::waitUntil([&] { return proxy.loggedRequestFor(resourceUrl()); }))
        << proxy.log();
}

TEST_F(HttpDownloaderProxyTest, ProxyWantingCredentialsIsSkipped) {
    server.addFile("/pack/res.bin", "direct");
    ::setenv("http_proxy",
             ("http://user@" + proxy.host() + ":" + std::to_string(proxy.port())).c_str(), 1);

    EXPECT_EQ(systemProxied.exec(task()), Result::Success);

    EXPECT_EQ(Tiskel::Test::TempDir::read(descriptor.downloadPath.string()), "direct");
    EXPECT_FALSE(proxy.loggedRequestFor(resourceUrl())) << proxy.log();
    EXPECT_EQ(server.lastRequest("/pack/res.bin").headers.count("Via"), 0u);
}

}  // namespace
}  // namespace Tiskel::App
