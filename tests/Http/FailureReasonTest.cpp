// What the HTTP downloader tells of a failure, from the response and the file helpers, and that
// any client true to the networking contract works: one that knows only the contract's own
// body receiver (`onData`) gets the body into place like the library's own client.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h"
#include "App/ResourceDownloadManager/Downloader/QtProxyProvider.h"
#include "App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h"
#include "App/ResourceDownloadManager/FileUtils.h"
#include "App/ResourceDownloadManager/ResourceDescriptor.h"
#include "Platform/Networking/IHttpClient.h"

#include "Support/HttpTestServer.h"
#include "Support/TempDir.h"

namespace Tiskel::App {
namespace {

using namespace Networking;
using Result = IResourceDownloader::Result;
using Tiskel::Test::TempDir;

// A client written from the networking contract alone: the body goes to `onData` in pieces,
// progress to `onProgress`, `shouldCancel` is polled before each piece. Its answer is scripted.
class ContractClient final : public IHttpClient {
  public:
    Response download(Request const&, RequestOptions const& options) override {
        for (std::string const& piece : pieces) {
            if (options.shouldCancel && options.shouldCancel()) {
                Response cancelled;
                cancelled.error = Response::Cancelled;
                return cancelled;
            }
            options.onData(piece);
            received += piece.size();
            if (options.onProgress) {
                options.onProgress(received, 0);
            }
        }
        if (afterBody) {
            afterBody();
        }
        return answer;
    }
    Response head(Request const&, RequestOptions const&) override { return answer; }

    std::vector<std::string> pieces;
    std::function<void()> afterBody;
    Response answer;
    uint64_t received = 0;
};

class FailureReasonTest : public testing::Test {
  protected:
    FailureReasonTest() {
        descriptor.downloadPath = dir.ioFile("res.bin");
        descriptor.tempPath = dir.ioFile("res.part");
        descriptor.remotePath = "res.bin";
        dir.write("res.bin", "old");
    }

    std::pair<Result, FileFailure> run(IResourceDownloader const& downloader) {
        FileFailure failure;
        IResourceDownloader::Task task{&descriptor, [](uint64_t, uint64_t) {}, [] { return false; },
                                       &failure};
        Result const result = downloader.exec(std::move(task));
        return {result, failure};
    }

    TempDir dir;
    ResourceDescriptor descriptor;
};

TEST_F(FailureReasonTest, AContractClientFeedsTheFileAndItsAnswersMapToResultsAndReasons) {
    auto client = std::make_shared<ContractClient>();
    ResourceDownloaderHttp downloader(client, std::make_shared<QtProxyProvider>(),
                                      std::make_shared<NetworkStateEmulator>(dir.ioFile("off")));
    descriptor.baseUrl = "http://127.0.0.1:9";
    client->pieces = {"new ", "content ", "in three pieces"};
    ASSERT_EQ(run(downloader).first, Result::Success);
    EXPECT_EQ(TempDir::read(descriptor.downloadPath.string()), "new content in three pieces");

    struct Row {
        int32_t error;
        int32_t status;
        bool offline;
        Result result;
        FileFailure::Kind kind;
    } const rows[] = {
        {Response::HttpStatus, 404, false, Result::Failed, FileFailure::HttpStatus},
        {Response::CouldNotConnect, 0, false, Result::ConnectionLost, FileFailure::Transport},
        {Response::ConnectionLost, 200, false, Result::ConnectionLost, FileFailure::Transport},
        {Response::TlsFailure, 0, false, Result::Failed, FileFailure::Transport},
        {Response::HttpStatus, 500, true, Result::ConnectionLost, FileFailure::Offline},
        // A transfer that completes as the network goes offline still puts the file in place.
        {Response::NoError, 200, true, Result::ConnectionLost, FileFailure::Offline},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(std::to_string(row.error) + (row.offline ? " offline" : ""));
        client->pieces = {"body"};
        client->answer = Response{};
        client->answer.error = row.error;
        client->answer.httpStatus = row.status;
        client->answer.errorText = "scripted";
        // The checker turns offline once the body is in: the transfer itself is not stopped.
        client->afterBody = [&] {
            if (row.offline) {
                dir.write("off", "");
            }
        };
        auto const [result, failure] = run(downloader);
        std::remove(dir.file("off").c_str());
        bool const completed = row.error == Response::NoError;
        EXPECT_EQ(TempDir::read(descriptor.downloadPath.string()),
                  completed ? "body" : "new content in three pieces");
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(failure.kind, row.kind);
        if (row.kind == FileFailure::HttpStatus) {
            EXPECT_EQ(failure.httpStatus, row.status);
        }
        if (row.kind == FileFailure::Transport) {
            EXPECT_EQ(failure.transportError, row.error);
            EXPECT_EQ(failure.text, "scripted");
        }
        EXPECT_FALSE(fileExists(descriptor.tempPath));
    }
}

// The library's own client against a loopback server: the reason of a failed download and of a
// failed Last-Modified query, and an answer without a time that is no failure.
TEST_F(FailureReasonTest, RealAnswersCarryTheirStatusOrTransportReason) {
    Tiskel::Test::HttpTestServer server;
    server.addStatus("/missing/res.bin", 404);
    server.addStatus("/broken/res.bin", 500);
    server.addFile("/plain/res.bin", "no time");
    ResourceDownloaderHttp downloader(createHttpClient(HttpClientDefault),
                                      std::make_shared<QtProxyProvider>(),
                                      std::make_shared<NetworkStateCheckerStub>());

    descriptor.baseUrl = server.url("/missing");
    auto const [result, failure] = run(downloader);
    EXPECT_EQ(result, Result::Failed);
    EXPECT_EQ(failure.kind, FileFailure::HttpStatus);
    EXPECT_EQ(failure.httpStatus, 404);
    EXPECT_EQ(failure.text.rfind("HTTP 404", 0), 0u) << failure.text;

    descriptor.baseUrl = "http://127.0.0.1:" + std::to_string(Tiskel::Test::freeLoopbackPort());
    auto const [refused, why] = run(downloader);
    EXPECT_EQ(refused, Result::ConnectionLost);
    EXPECT_EQ(why.kind, FileFailure::Transport);
    EXPECT_EQ(why.transportError, Response::CouldNotConnect);

    descriptor.baseUrl = server.url("/broken");
    IResourceDownloader::LastModified const broken = downloader.checkLastModified(&descriptor);
    EXPECT_EQ(broken.time, -1);
    EXPECT_EQ(broken.failure.kind, FileFailure::HttpStatus);
    EXPECT_EQ(broken.failure.httpStatus, 500);

    descriptor.baseUrl = server.url("/plain");
    IResourceDownloader::LastModified const plain = downloader.checkLastModified(&descriptor);
    EXPECT_EQ(plain.time, -1);
    EXPECT_FALSE(plain.failure.failed());
    EXPECT_EQ(TempDir::read(descriptor.downloadPath.string()), "old");
}

}  // namespace
}  // namespace Tiskel::App
