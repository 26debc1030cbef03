// The HTTP downloader's network features against the loopback server: a broken-off download
// resumes, an IfModified check is one conditional GET, servers that say "later" are believed,
// and a download too big for the disk fails before it starts (a private CA: see the Sync tests).
// Each case also runs without its feature where that shows the difference.

#include <atomic>
#include <memory>
#include <string>
#include <sys/stat.h>

#include <gmock/gmock.h>

#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "Platform/Networking/IHttpClient.h"
#include "Platform/Networking/IProxyProvider.h"

#include "Support/HttpTestServer.h"
#include "Support/TempDir.h"

namespace Tiskel::App {
namespace {

using namespace testing;
using Result = IResourceDownloader::Result;
using Features = ResourceDownloaderHttp::Features;
using Tiskel::Test::HttpTestServer;
using Tiskel::Test::TempDir;

constexpr int64_t kServerTime = 1700000000;  // the files' Last-Modified on the server

class DirectProxy final : public Networking::IProxyProvider {
  public:
    Proxy getProxy(std::string const&) const override { return {}; }
};

std::string body(size_t size, char seed) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(seed + i % 61);
    }
    return text;
}

class NetworkFeaturesTest : public Test {
  protected:
    NetworkFeaturesTest() {
        descriptor.downloadPath = dir.ioFile("file.bin");
        descriptor.localPath = descriptor.downloadPath;
        descriptor.tempPath = dir.ioFile("file.bin.part");
        descriptor.baseUrl = server.baseUrl();
        descriptor.remotePath = "file.bin";
    }

    static ResourceDownloaderHttp downloader(Features const& features) {
        return ResourceDownloaderHttp(createHttpClient(Networking::HttpClientDefault),
                                      std::make_shared<DirectProxy>(),
                                      std::make_shared<NetworkStateCheckerStub>(), features);
    }
    Result download(Features const& features, int64_t ifModifiedSince = -1) {
        failure = {};
        IResourceDownloader::Task task{&descriptor, nullptr, [] { return false; }, &failure};
        task.ifModifiedSince = ifModifiedSince;
        return downloader(features).exec(task);
    }
    std::string downloaded() const { return TempDir::read(descriptor.downloadPath.string()); }
    int64_t fileTime() const { return fileLastModifiedTime(descriptor.downloadPath); }

    TempDir dir;
    HttpTestServer server;
    ResourceDescriptor descriptor;
    FileFailure failure;
};

TEST_F(NetworkFeaturesTest, ABrokenOffDownloadGoesOnFromItsPartOnlyWhileTheServerHasThatVersion) {
    std::string const whole = body(3 * 1024 * 1024, 'a');
    struct Case {
        bool resume;
        std::string next;   // what the server has on the next attempt
        char const* range;  // the Range that attempt asks for
    } const cases[] = {
        {true, whole, "bytes=2097152-"},                    // the same version: only the rest
        {true, body(whole.size(), 'b'), "bytes=2097152-"},  // If-Range fails: the whole new file
        {false, whole, ""},                                 // without the feature: from the start
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.range);
        dir.write("file.bin", "old");
        server.addFault("/file.bin", whole, HttpTestServer::Fault::ShortBody, 2 * 1024 * 1024,
                        kServerTime);
        Features features;
        features.resume = c.resume;
        EXPECT_EQ(download(features), Result::ConnectionLost);
        // The part stays beside its record only with the feature; the old file stays in place.
        EXPECT_EQ(fileExists(descriptor.tempPath), c.resume);
        EXPECT_EQ(downloaded(), "old");

        server.addFile("/file.bin", c.next, kServerTime);
        EXPECT_EQ(download(features), Result::Success);
        EXPECT_EQ(server.lastHeader("/file.bin", "Range"), c.range);
        EXPECT_TRUE(downloaded() == c.next) << "the file is not the server's version";
        EXPECT_FALSE(fileExists(descriptor.tempPath));
        EXPECT_FALSE(fileExists(ioPath(descriptor.tempPath.string() + ".resume")));
    }
}

// A transfer held to a rate pauses and resumes all the time; one stopped in the middle of that
// must keep exactly the bytes that arrived, in order, or its resumed file is corrupt.
TEST_F(NetworkFeaturesTest, APartKeptFromAPacedTransferIsExactlyTheBodysBeginning) {
    std::string const whole = body(4 * 1024 * 1024, 'p');
    server.addFile("/file.bin", whole, kServerTime);
    Features features;
    features.resume = true;
    ResourceDownloaderHttp paced = downloader(features);
    paced.limitReceiveRate(4 * 1024 * 1024);
    for (uint64_t const stopAt : {1200 * 1024, 1700 * 1024, 2300 * 1024}) {
        std::atomic<bool> stop{false};
        IResourceDownloader::Task task{
            &descriptor, [&](uint64_t received, uint64_t) { stop = stop || received >= stopAt; },
            [&] { return stop.load(); }, &failure};
        ASSERT_EQ(paced.exec(task), Result::Cancelled);
        std::string const part = TempDir::read(descriptor.tempPath.string());
        ASSERT_GE(part.size(), stopAt);
        EXPECT_TRUE(part == whole.substr(0, part.size())) << "a gap or a repeat in the part";
        ASSERT_TRUE(removeFile(descriptor.tempPath));
    }
}

TEST_F(NetworkFeaturesTest, AConditionalCheckKeepsACurrentFileAndFetchesAnyOtherVersion) {
    Features features;
    features.conditional = true;
    server.addFile("/file.bin", "v2", kServerTime);
    ASSERT_EQ(download(features), Result::Success);
    // The file carries the server's time, so the next check compares like with like.
    EXPECT_EQ(fileTime(), kServerTime);

    EXPECT_EQ(download(features, fileTime()), Result::NotModified);
    EXPECT_EQ(server.requestCount("/file.bin"), 2u);
    EXPECT_EQ(server.lastHeader("/file.bin", "If-Modified-Since"), "Tue, 14 Nov 2023 22:13:20 GMT");
    EXPECT_EQ(downloaded(), "v2");

    // A rollback to an older copy is another version too: its ETag differs.
    server.addFile("/file.bin", "v1", kServerTime - 86400);
    EXPECT_EQ(download(features, fileTime()), Result::Success);
    EXPECT_EQ(downloaded(), "v1");
    EXPECT_EQ(fileTime(), kServerTime - 86400);

    // Without the feature the task's time is not asked about: the file is fetched.
    EXPECT_EQ(download(Features(), fileTime()), Result::Success);
}

TEST_F(NetworkFeaturesTest, ServersThatSayLaterAreRetriedAfterTheirPause) {
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
        server.addStatus("/file.bin", c.status, c.retryAfter);
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

TEST_F(NetworkFeaturesTest, ADownloadTooBigForTheDiskFailsBeforeItsBodyAndKeepsTheOldFile) {
    Features features;
    features.checkFreeSpace = true;
    constexpr int64_t kExabyte = int64_t{1} << 60;
    // Known from the descriptor: no request at all.
    dir.write("file.bin", "old");
    descriptor.expectedSize = kExabyte;
    server.addFile("/file.bin", "new");
    EXPECT_EQ(download(features), Result::Failed);
    EXPECT_EQ(server.requestCount("/file.bin"), 0u);
    // Known from Content-Length only.
    descriptor.expectedSize = -1;
    server.addHugeFile("/file.bin", kExabyte);
    EXPECT_EQ(download(features), Result::Failed);
    for (char const* expected : {"not enough space: need 1073741824.0 GiB, ", " free"}) {
        EXPECT_THAT(failure.text, HasSubstr(expected));
    }
    EXPECT_EQ(failure.kind, FileFailure::FileSystem);
    EXPECT_EQ(downloaded(), "old");
    EXPECT_FALSE(fileExists(descriptor.tempPath));
}

}  // namespace
}  // namespace Tiskel::App
