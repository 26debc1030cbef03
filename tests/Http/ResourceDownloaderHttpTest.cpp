// The HTTP downloader with the real client against a loopback server and a real proxy: files in
// place, the temporary file handled, and each way a download ends with its reason and log line;
// with a client written from the networking contract alone; and its network features: a
// broken-off download resumes, an IfModified check is one conditional GET, servers that say
// "later" are believed, and a download too big for the disk fails before it starts (a private CA:
// see the Sync tests). Each feature also runs without it where that shows the difference.

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
using Features = ResourceDownloaderHttp::Features;
using Tiskel::Test::HttpTestServer;
using Tiskel::Test::SlowHttpServer;
using Tiskel::Test::TempDir;

constexpr char kUnit[] = "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp";
// The resource's path holds a space and a non-ASCII name, so every request shows that the remote
// path is percent-encoded (the server decodes the path before it looks the file up).
constexpr char kPath[] = "/pack/r\xC3\xA9s b.bin";
constexpr int64_t kServerTime = 1700000000;  // a Last-Modified of files on the server

// Position-dependent bytes starting at `seed`, so that misplaced or lost pieces show.
std::string content(size_t size, char seed) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(seed + i % 61);
    }
    return text;
}

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
        descriptor.downloadPath = descriptor.localPath = dir.ioFile("res.bin");
        descriptor.tempPath = dir.ioFile("res.tmp");
        descriptor.baseUrl = server.baseUrl();
        descriptor.remotePath = kPath + 1;  // joined to the base URL by one '/'
        dir.write("res.bin", "old content");
        // Direct connections unless a test names a proxy.
        ::unsetenv("http_proxy");
    }

    // A downloader as the application makes one, with the system proxy lookup.
    ResourceDownloaderHttp make(Features const& features = {},
                                std::shared_ptr<IHttpClient> client = nullptr) const {
        return ResourceDownloaderHttp(
            client ? client : createHttpClient(HttpClientDefault),
            std::make_shared<QtProxyProvider>(),
            std::make_shared<NetworkStateEmulator>(dir.ioFile("offline-marker")), features);
    }
    // Runs a download with `via`; why it failed lands in `failure`.
    Result download(ResourceDownloaderHttp const& via, int64_t ifModifiedSince = -1) {
        auto const onProgress = [this](uint64_t done, uint64_t total) {
            progress = {done, total};
            duringTransfer();
        };
        failure = {};
        IResourceDownloader::Task task{&descriptor, onProgress,
                                       [this] { return cancelTask.load(); }, &failure};
        task.ifModifiedSince = ifModifiedSince;
        return via.exec(task);
    }
    Result download() { return download(downloader); }
    Result download(Features const& features, int64_t ifModifiedSince = -1) {
        return download(make(features), ifModifiedSince);
    }
    int64_t fileTime() const { return fileLastModifiedTime(descriptor.downloadPath); }
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
    ResourceDownloaderHttp downloader = make();
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
    Features features;
    features.resume = true;
    ResourceDownloaderHttp const resuming = make(features);
    server.addFile(kPath, "new content");
    std::string const tempPath = descriptor.tempPath.string();
    std::string const elsewhere = dir.file("elsewhere");
    EXPECT_EQ(download(resuming), Result::Success);
    EXPECT_EQ(downloaded(), "new content");
    std::filesystem::create_symlink(elsewhere, tempPath);
    dir.write("res.bin", "old content");
    EXPECT_EQ(download(resuming), Result::Success);
    EXPECT_EQ(downloaded(), "new content");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(elsewhere)));
    dir.write("res.tmp", "a stale part too small to go on with");
    dir.write("res.bin", "old content");
    EXPECT_EQ(download(resuming), Result::Success);
    EXPECT_EQ(downloaded(), "new content");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(tempPath)));
}

// Each failed download keeps the old file, leaves no temporary file and logs one line after the
// start line: INFO for a cancellation, WARNING otherwise.
TEST_F(HttpDownloaderTest, EachWayADownloadFailsHasItsResultAndLogLine) {
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
        // (A body cut short: the sync's failure test and the broken-off download below.)
        {"http://127.0.0.1:" + std::to_string(Tiskel::Test::freeLoopbackPort()), [] {},
         Result::ConnectionLost, FileFailure::Transport, "failed with error="},
        {stall, [this] { cancelTask = true; }, Result::Cancelled, FileFailure::Cancelled,
         "was cancelled."},
        {stall, [this] { dir.write("offline-marker", ""); }, Result::ConnectionLost,
         FileFailure::Offline, "failed with error=cancelled" + offline},
        {stall, [this] { downloader.abort(); }, Result::Cancelled, FileFailure::Cancelled,
         "was cancelled."},
    };
    std::string const body(100000, 's');
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

// An abort stops a Last-Modified query as promptly as a download (the last row above), also
// while the server says nothing or sends header lines that never end. The bound asserted leaves
// room for loaded sanitizer builds.
TEST_F(HttpDownloaderTest, AbortStopsQueriesWhileTheServerKeepsThemWaiting) {
    SlowHttpServer silent(SlowHttpServer::Mode::Silent);
    SlowHttpServer trickle(SlowHttpServer::Mode::TrickleHeaders);
    for (SlowHttpServer* slow : {&silent, &trickle}) {
        descriptor.baseUrl = slow->baseUrl();
        ResourceDownloaderHttp aborted = make();
        std::atomic<int64_t> answer{0};
        std::atomic<bool> returned{false};
        std::thread caller([&] {
            answer = aborted.requestLastModified(&descriptor);
            returned = true;
        });
        ASSERT_TRUE(Tiskel::Test::waitUntil([&] { return slow->requestCount() == 1; }));
        aborted.abort();
        EXPECT_TRUE(
            Tiskel::Test::waitUntil([&] { return returned.load(); }, std::chrono::seconds(2)));
        caller.join();
        EXPECT_EQ(answer.load(), -1) << slow->baseUrl();
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
    ResourceDownloaderHttp const contract = make({}, client);
    client->pieces = {"new ", "content ", "in three pieces"};
    ASSERT_EQ(download(contract), Result::Success);
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
        EXPECT_EQ(download(contract), row.result);
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

TEST_F(HttpDownloaderTest, ABrokenOffDownloadGoesOnFromItsPartOnlyWhileTheServerHasThatVersion) {
    std::string const whole = content(3 * 1024 * 1024, 'a');
    // (Going on with the same version is the sync's interrupted-download test.)
    struct Case {
        bool resume;
        std::string next;   // what the server has on the next attempt
        char const* range;  // the Range that attempt asks for
    } const cases[] = {
        {true, content(whole.size(), 'b'), "bytes=2097152-"},  // If-Range fails: the whole new file
        {false, whole, ""},  // without the feature: from the start
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.range);
        dir.write("res.bin", "old");
        server.addFault(kPath, whole, HttpTestServer::Fault::ShortBody, 2 * 1024 * 1024,
                        kServerTime);
        Features features;
        features.resume = c.resume;
        EXPECT_EQ(download(features), Result::ConnectionLost);
        // The part stays beside its record only with the feature; the old file stays in place.
        EXPECT_EQ(fileExists(descriptor.tempPath), c.resume);
        EXPECT_EQ(downloaded(), "old");

        server.addFile(kPath, c.next, kServerTime);
        EXPECT_EQ(download(features), Result::Success);
        EXPECT_EQ(server.lastHeader(kPath, "Range"), c.range);
        EXPECT_TRUE(downloaded() == c.next) << "the file is not the server's version";
        EXPECT_FALSE(fileExists(descriptor.tempPath));
        EXPECT_FALSE(fileExists(ioPath(descriptor.tempPath.string() + ".resume")));
    }
}

// A transfer held to a rate pauses and resumes all the time; one stopped in the middle of that
// must keep exactly the bytes that arrived, in order, or its resumed file is corrupt.
TEST_F(HttpDownloaderTest, APartKeptFromAPacedTransferIsExactlyTheBodysBeginning) {
    std::string const whole = content(4 * 1024 * 1024, 'p');
    server.addFile(kPath, whole, kServerTime);
    Features features;
    features.resume = true;
    ResourceDownloaderHttp paced = make(features);
    paced.limitReceiveRate(4 * 1024 * 1024);
    for (uint64_t const stopAt : {1200 * 1024, 1700 * 1024, 2300 * 1024}) {
        cancelTask = false;
        duringTransfer = [&] { cancelTask = cancelTask || progress.first >= stopAt; };
        ASSERT_EQ(download(paced), Result::Cancelled);
        std::string const part = TempDir::read(descriptor.tempPath.string());
        ASSERT_GE(part.size(), stopAt);
        EXPECT_TRUE(part == whole.substr(0, part.size())) << "a gap or a repeat in the part";
        ASSERT_TRUE(removeFile(descriptor.tempPath));
    }
}

TEST_F(HttpDownloaderTest, AConditionalCheckKeepsACurrentFileAndFetchesAnyOtherVersion) {
    Features features;
    features.conditional = true;
    server.addFile(kPath, "v2", kServerTime);
    ASSERT_EQ(download(features), Result::Success);
    // The file carries the server's time, so the next check compares like with like.
    EXPECT_EQ(fileTime(), kServerTime);

    // A stale temporary file from a crashed run goes even when no body comes.
    dir.write("res.tmp", "stale");
    EXPECT_EQ(download(features, fileTime()), Result::NotModified);
    EXPECT_FALSE(fileExists(descriptor.tempPath));
    EXPECT_EQ(server.requestCount(kPath), 2u);
    EXPECT_EQ(server.lastHeader(kPath, "If-Modified-Since"), "Tue, 14 Nov 2023 22:13:20 GMT");
    EXPECT_EQ(downloaded(), "v2");

    // A rollback to an older copy is another version too: its ETag differs.
    server.addFile(kPath, "v1", kServerTime - 86400);
    EXPECT_EQ(download(features, fileTime()), Result::Success);
    EXPECT_EQ(downloaded(), "v1");
    EXPECT_EQ(fileTime(), kServerTime - 86400);

    // Without the feature the task's time is not asked about: the file is fetched.
    EXPECT_EQ(download(Features(), fileTime()), Result::Success);
}

TEST_F(HttpDownloaderTest, ServersThatSayLaterAreRetriedAfterTheirPause) {
    struct Case {
        int status;
        char const* retryAfter;
        bool retryLater;
        Result result;
        int64_t seconds;
    } const cases[] = {
        {503, "7", true, Result::ConnectionLost, 7},
        {503, "", true, Result::ConnectionLost, -1},  // like a lost connection
        {429, "Fri, 31 Dec 2100 23:59:59 GMT", true, Result::ConnectionLost, 1},
        {429, "", true, Result::Failed, -1},
        {503, "7", false, Result::Failed, 7},  // without the feature: a general error
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.retryAfter);
        server.addStatus(kPath, c.status, c.retryAfter);
        Features features;
        features.retryLater = c.retryLater;
        EXPECT_EQ(download(features), c.result);
        EXPECT_EQ(failure.httpStatus, c.status);
        if (c.seconds == 1) {
            // An HTTP date decades ahead: many seconds, whatever the clock says.
            EXPECT_GT(failure.retryAfterSeconds, 1000000);
        } else {
            EXPECT_EQ(failure.retryAfterSeconds, c.seconds);
        }
    }
}

TEST_F(HttpDownloaderTest, ADownloadTooBigForTheDiskFailsBeforeItsBodyAndKeepsTheOldFile) {
    Features features;
    features.checkFreeSpace = true;
    constexpr int64_t kExabyte = int64_t{1} << 60;
    // Known from the descriptor: no request at all.
    descriptor.expectedSize = kExabyte;
    server.addFile(kPath, "new");
    EXPECT_EQ(download(features), Result::Failed);
    EXPECT_EQ(server.requestCount(kPath), 0u);
    // Known from Content-Length only.
    descriptor.expectedSize = -1;
    server.addHugeFile(kPath, kExabyte);
    EXPECT_EQ(download(features), Result::Failed);
    for (char const* expected : {"not enough space: need 1073741824.0 GiB, ", " free"}) {
        EXPECT_THAT(failure.text, HasSubstr(expected));
    }
    EXPECT_EQ(failure.kind, FileFailure::FileSystem);
    EXPECT_EQ(downloaded(), "old content");
    EXPECT_FALSE(fileExists(descriptor.tempPath));
}

}  // namespace
}  // namespace Tiskel::App
