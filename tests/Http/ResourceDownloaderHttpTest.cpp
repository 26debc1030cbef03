// The HTTP downloader with the real client against a loopback server and a real proxy: files in
// place, the temporary file handled, and each way a download ends with its reason and log line;
// and with a client written from the networking contract alone.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <glog/logging.h>
#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "Platform/Networking/IHttpClient.h"

#include "Support/HttpTestServer.h"
#include "Support/LogCapture.h"
#include "Support/SlowHttpServer.h"
#include "Support/TempDir.h"
#include "Support/TinyProxy.h"
#include "Support/Wait.h"

namespace Tiskel::App {
namespace {

using namespace Networking;
using namespace testing;
using Result = IResourceDownloader::Result;
using Tiskel::Test::HttpTestServer;
using Tiskel::Test::SlowHttpServer;
using Tiskel::Test::TempDir;

constexpr char kUnit[] = "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp";
// The resource's path holds a space and a non-ASCII name, so every request shows that the remote
// path is percent-encoded (the server decodes the path before it looks the file up).
constexpr char kPath[] = "/pack/r\xC3\xA9s b.bin";

// A client written from the networking contract alone: the body goes to `onData` in pieces,
// then `afterBody` runs and the scripted answer comes back.
class ContractClient final : public IHttpClient {
  public:
    Response download(Request const&, RequestOptions const& options) override {
        for (std::string const& piece : pieces) {
            options.onData(piece);
        }
        afterBody();
        return answer;
    }
    Response head(Request const&, RequestOptions const&) override { return answer; }

    std::vector<std::string> pieces;
    std::function<void()> afterBody = [] {};
    Response answer;
};

class HttpDownloaderTest : public Test {
  protected:
    HttpDownloaderTest() {
        descriptor.downloadPath = dir.ioFile("res.bin");
        descriptor.tempPath = dir.ioFile("res.tmp");
        descriptor.baseUrl = server.baseUrl();
        descriptor.remotePath = kPath + 1;  // joined to the base URL by one '/'
        dir.write("res.bin", "old content");
        // Direct connections unless a test names a proxy.
        ::unsetenv("http_proxy");
    }

    // Runs the download; why it failed lands in `failure`.
    Result download() {
        auto const onProgress = [this](uint64_t done, uint64_t total) {
            progress = {done, total};
            duringTransfer();
        };
        failure = {};
        return downloader.exec(
            {&descriptor, onProgress, [this] { return cancelTask.load(); }, &failure});
    }
    std::string resourceUrl() const { return descriptor.baseUrl + "/pack/r%C3%A9s%20b.bin"; }
    std::string downloaded() const { return TempDir::read(descriptor.downloadPath.string()); }

    TempDir dir;
    HttpTestServer server;
    Tiskel::Test::LogCapture log;
    ResourceDescriptor descriptor;
    std::atomic<bool> cancelTask{false};
    // Runs on each progress report, that is while the body arrives.
    std::function<void()> duringTransfer = [] {};
    // The last progress report.
    std::pair<uint64_t, uint64_t> progress;
    FileFailure failure;
    // The system proxy lookup, as the application uses it.
    ResourceDownloaderHttp downloader{
        createHttpClient(HttpClientDefault), std::make_shared<QtProxyProvider>(),
        std::make_shared<NetworkStateEmulator>(dir.ioFile("offline-marker"))};
};

TEST_F(HttpDownloaderTest, DownloadsReplaceTheFileOverOneConnectionAndLastModifiedIsTheFilesTime) {
    std::string const body(2 * 1024 * 1024 + 3, 'x');
    server.addFile(kPath, body);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(download(), Result::Success);
        EXPECT_EQ(downloaded(), body);
        EXPECT_FALSE(fileExists(descriptor.tempPath));
        EXPECT_EQ(progress, std::make_pair(uint64_t{body.size()}, uint64_t{body.size()}));
    }
    EXPECT_EQ(server.requestCount(kPath), 10u);
    EXPECT_EQ(server.connectionCount(), 1u);
    EXPECT_EQ(log.textsFrom(kUnit), std::vector<std::string>(10, "HTTP download=" + resourceUrl()));

    int64_t const fileTime = fileLastModifiedTime(ioPath(dir.write("server-copy.bin", "abc")));
    server.addFile(kPath, "abc", fileTime);
    EXPECT_EQ(downloader.requestLastModified(&descriptor), fileTime);

    // A failed query carries its reason; a file without a time is no failure.
    server.addStatus("/broken.bin", 500);
    server.addFile("/undated.bin", "no time");
    for (auto [path, status] : {std::pair{"/broken.bin", 500}, {"/undated.bin", 0}}) {
        descriptor.remotePath = path;
        IResourceDownloader::LastModified const answer = downloader.checkLastModified(&descriptor);
        EXPECT_EQ(answer.time, -1);
        EXPECT_EQ(answer.failure.kind, status ? FileFailure::HttpStatus : FileFailure::None);
        EXPECT_EQ(answer.failure.httpStatus, status);
    }
    EXPECT_EQ(log.textsFrom(kUnit).size(), 10u);  // requests for the time are not logged
}

// A download that may resume looks at its temporary path once: nothing there is left as it is,
// and a leftover too small to go on with, or a symbolic link, is removed, the link not followed.
TEST_F(HttpDownloaderTest, AResumableDownloadClearsItsTemporaryPathWithoutFollowingALink) {
    ResourceDownloaderHttp::Features features;
    features.resume = true;
    ResourceDownloaderHttp const resuming{
        createHttpClient(HttpClientDefault), std::make_shared<QtProxyProvider>(),
        std::make_shared<NetworkStateEmulator>(dir.ioFile("offline-marker")), features};
    server.addFile(kPath, "new content");
    std::string const tempPath = descriptor.tempPath.string();
    std::string const elsewhere = dir.file("elsewhere");
    auto const run = [&] {
        return resuming.exec(
            {&descriptor, [](uint64_t, uint64_t) {}, [] { return false; }, &failure});
    };
    EXPECT_EQ(run(), Result::Success);
    EXPECT_EQ(downloaded(), "new content");
    std::filesystem::create_symlink(elsewhere, tempPath);
    dir.write("res.bin", "old content");
    EXPECT_EQ(run(), Result::Success);
    EXPECT_EQ(downloaded(), "new content");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(elsewhere)));
    dir.write("res.tmp", "a stale part too small to go on with");
    dir.write("res.bin", "old content");
    EXPECT_EQ(run(), Result::Success);
    EXPECT_EQ(downloaded(), "new content");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(tempPath)));
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
        FileFailure::Kind kind;
        std::string line;  // how it starts; the offline note only where it must show
    } const rows[] = {
        {server.baseUrl(), [] {}, Result::Failed, FileFailure::HttpStatus,
         "failed with error=HTTP 404"},
        {"http://127.0.0.1:" + std::to_string(Tiskel::Test::freeLoopbackPort()), [] {},
         Result::ConnectionLost, FileFailure::Transport, "failed with error="},
        {server.url("/short"), [] {}, Result::ConnectionLost, FileFailure::Transport,
         "failed with error="},
        {tls.baseUrl(), [] {}, Result::Failed, FileFailure::Transport, "failed with error="},
        {stall, [this] { cancelTask = true; }, Result::Cancelled, FileFailure::Cancelled,
         "was cancelled."},
        {stall, [this] { dir.write("offline-marker", ""); }, Result::ConnectionLost,
         FileFailure::Offline, "failed with error=cancelled" + offline},
        {stall, [this] { downloader.abort(); }, Result::Cancelled, FileFailure::Cancelled,
         "was cancelled."},
    };
    tls.addFile(kPath, "secret");
    std::string const body(100000, 's');
    server.addFault(std::string("/short") + kPath, body, HttpTestServer::Fault::ShortBody, 40000);
    server.addFault(std::string("/stall") + kPath, body, HttpTestServer::Fault::Stall, 30000);
    for (Row const& row : rows) {
        descriptor.baseUrl = row.baseUrl;
        SCOPED_TRACE(row.baseUrl + " " + row.line);
        log.clear();
        duringTransfer = row.during;
        EXPECT_EQ(download(), row.result);
        EXPECT_EQ(failure.kind, row.kind);
        EXPECT_EQ(failure.httpStatus, row.kind == FileFailure::HttpStatus ? 404 : 0);
        std::filesystem::remove(dir.file("offline-marker"));
        cancelTask = false;
        std::vector<Tiskel::Test::LogLine> const lines = log.lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1].severity,
                  row.result == Result::Cancelled ? google::GLOG_INFO : google::GLOG_WARNING);
        EXPECT_THAT(lines[1].text, StartsWith("request=" + resourceUrl() + " " + row.line));
        EXPECT_EQ(Value(lines[1].text, EndsWith(offline)),
                  row.line.find(offline) != std::string::npos);
        EXPECT_EQ(downloaded(), "old content");
        EXPECT_FALSE(fileExists(descriptor.tempPath));
    }
    // An aborted downloader cancels every later download.
    server.addFile(std::string("/stall") + kPath, "new content");
    EXPECT_EQ(download(), Result::Cancelled);
}

// An abort stops a Last-Modified query as promptly as a download, also while the server says
// nothing or sends header lines that never end. The bound asserted leaves room for loaded
// sanitizer builds.
TEST_F(HttpDownloaderTest, AbortStopsQueriesAndDownloadsWhileTheServerKeepsThemWaiting) {
    SlowHttpServer silent(SlowHttpServer::Mode::Silent);
    SlowHttpServer trickle(SlowHttpServer::Mode::TrickleHeaders);
    server.addFault(std::string("/stall") + kPath, std::string(100000, 's'),
                    HttpTestServer::Fault::Stall, 30000);
    struct Row {
        std::string baseUrl;
        std::function<bool()> waiting;  // true once the server keeps the request waiting
    } const rows[] = {
        {silent.baseUrl(), [&] { return silent.requestCount() == 1; }},
        {trickle.baseUrl(), [&] { return trickle.requestCount() == 1; }},
        {server.url("/stall"), [&] { return server.stalledNow() == 1; }},  // a download
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].baseUrl);
        descriptor.baseUrl = rows[i].baseUrl;
        ResourceDownloaderHttp aborted(createHttpClient(HttpClientDefault),
                                       std::make_shared<QtProxyProvider>(),
                                       std::make_shared<NetworkStateCheckerStub>());
        std::atomic<int64_t> answer{0};
        std::atomic<bool> returned{false};
        std::thread caller([&] {
            answer =
                i < 2
                    ? aborted.requestLastModified(&descriptor)
                    : int64_t{aborted.exec({&descriptor, [](auto, auto) {}, [] { return false; }})};
            returned = true;
        });
        ASSERT_TRUE(Tiskel::Test::waitUntil(rows[i].waiting));
        aborted.abort();
        EXPECT_TRUE(
            Tiskel::Test::waitUntil([&] { return returned.load(); }, std::chrono::seconds(2)));
        caller.join();
        EXPECT_EQ(answer.load(), i < 2 ? -1 : int64_t{Result::Cancelled});
    }
}

// Through a real proxy named by the environment, as the system proxy provider reads it.
TEST_F(HttpDownloaderTest, DownloadGoesThroughTheSystemProxy) {
    Tiskel::Test::TinyProxy tinyProxy;
    server.addFile(kPath, "new content");
    ::unsetenv("no_proxy");
    ::setenv("http_proxy", ("http://" + tinyProxy.address()).c_str(), 1);
    EXPECT_EQ(download(), Result::Success);
    // The proxy logs each request it forwards.
    EXPECT_THAT(tinyProxy.log(), HasSubstr("GET " + resourceUrl()));
}

// Any client true to the networking contract works: one that knows only the contract's own body
// receiver (`onData`) gets the body into place like the library's own client, and its answers map
// to results and reasons (the answers the real client gives in the tests above are not repeated).
TEST_F(HttpDownloaderTest, AContractClientFeedsTheFileAndItsAnswersMapToResultsAndReasons) {
    auto client = std::make_shared<ContractClient>();
    ResourceDownloaderHttp const contract(
        client, std::make_shared<QtProxyProvider>(),
        std::make_shared<NetworkStateEmulator>(dir.ioFile("offline-marker")));
    auto const run = [&] {
        failure = {};
        return contract.exec({&descriptor, [](auto, auto) {}, [] { return false; }, &failure});
    };
    client->pieces = {"new ", "content ", "in three pieces"};
    ASSERT_EQ(run(), Result::Success);
    EXPECT_EQ(downloaded(), "new content in three pieces");

    struct Row {
        int32_t error;
        bool offline;
        Result result;
        FileFailure::Kind kind;
    } const rows[] = {
        {Response::CouldNotConnect, false, Result::ConnectionLost, FileFailure::Transport},
        {Response::HttpStatus, true, Result::ConnectionLost, FileFailure::Offline},
        // A transfer that completes as the network goes offline still puts the file in place.
        {Response::NoError, true, Result::ConnectionLost, FileFailure::Offline},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(std::to_string(row.error) + (row.offline ? " offline" : ""));
        client->pieces = {"body"};
        client->answer = Response{};
        client->answer.error = row.error;
        client->answer.errorText = "scripted";
        // The checker turns offline once the body is in: the transfer itself is not stopped.
        client->afterBody = [&] {
            if (row.offline) {
                dir.write("offline-marker", "");
            }
        };
        EXPECT_EQ(run(), row.result);
        std::filesystem::remove(dir.file("offline-marker"));
        bool const completed = row.error == Response::NoError;
        EXPECT_EQ(downloaded(), completed ? "body" : "new content in three pieces");
        EXPECT_EQ(failure.kind, row.kind);
        if (row.kind == FileFailure::Transport) {
            EXPECT_EQ(failure.transportError, row.error);
            EXPECT_EQ(failure.text, "scripted");
        }
        EXPECT_FALSE(fileExists(descriptor.tempPath));
    }
}

}  // namespace
}  // namespace Tiskel::App
